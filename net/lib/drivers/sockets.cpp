// POSIX sockets behind the Internet driver: the only file that calls the
// socket interface and the host-name lookup.
#include "inetsock.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int __netlane_internal__sock_startup(void)
{
  return 0;
}

int __netlane_internal__sock_cleanup(void)
{
  return 0;
}

inet_socket_t __netlane_internal__sock_open_udp(void)
{
  // SOCK_CLOEXEC: a program that starts other programs must not hand them
  // the chat's port.
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return s < 0 ? INET_NO_SOCKET : s;
}

void __netlane_internal__sock_close(inet_socket_t sock)
{
  if (sock != INET_NO_SOCKET)
    close(sock);
}

int __netlane_internal__sock_set_nonblocking(inet_socket_t sock)
{
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)
    return -1;
  return 0;
}

int __netlane_internal__sock_set_reuse(inet_socket_t sock, int on)
{
  int value = on ? 1 : 0;
  return setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) < 0 ? -1 : 0;
}

int __netlane_internal__sock_set_broadcast(inet_socket_t sock)
{
  // An int rather than one byte: POSIX systems refuse shorter option values.
  int value = 1;
  return setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) < 0 ? -1 : 0;
}

int __netlane_internal__sock_bind(inet_socket_t sock, const struct sockaddr_in *addr)
{
  return bind(sock, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr) < 0 ? -1 : 0;
}

int __netlane_internal__sock_local_name(inet_socket_t sock, struct sockaddr_in *addr)
{
  socklen_t len = sizeof *addr;
  memset(addr, 0, sizeof *addr);
  return getsockname(sock, reinterpret_cast<struct sockaddr *>(addr), &len) < 0 ? -1 : 0;
}

int __netlane_internal__sock_send_to(inet_socket_t sock, const void *buf, int size,
                                     const struct sockaddr_in *to)
{
  if (size < 0)
    return -1;
  ssize_t sent = sendto(sock, buf, static_cast<size_t>(size), 0,
                        reinterpret_cast<const struct sockaddr *>(to), sizeof *to);
  return sent < 0 ? -1 : 0;
}

int __netlane_internal__sock_recv_from(inet_socket_t sock, void *buf, int size,
                                       struct sockaddr_in *from)
{
  if (size < 0)
    return -1;
  socklen_t len = sizeof *from;
  memset(from, 0, sizeof *from);
  // MSG_TRUNC makes the call answer the datagram's real length, so a
  // datagram cut to fit the buffer is never handed on as if it were whole.
  ssize_t got = recvfrom(sock, buf, static_cast<size_t>(size), MSG_TRUNC,
                         reinterpret_cast<struct sockaddr *>(from), &len);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return 0;
    return -1;
  }
  if (got > size)
    return -1;
  return static_cast<int>(got);
}

int __netlane_internal__sock_readable(inet_socket_t sock)
{
  // poll() rather than select(): a descriptor numbered past FD_SETSIZE
  // would overrun an fd_set.
  struct pollfd p;
  p.fd = sock;
  p.events = POLLIN;
  p.revents = 0;
  return poll(&p, 1, 0) == 0 ? 0 : 1;
}

int __netlane_internal__sock_lookup_host(const char *name, unsigned int *address)
{
  struct addrinfo hints;
  struct addrinfo *answer = NULL;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  if (getaddrinfo(name, NULL, &hints, &answer) != 0 || answer == NULL)
    return -1;
  const struct sockaddr_in *first = reinterpret_cast<const struct sockaddr_in *>(answer->ai_addr);
  *address = ntohl(first->sin_addr.s_addr);
  freeaddrinfo(answer);
  return 0;
}
