// POSIX sockets behind the Internet driver: the only file that calls the
// socket interface and the host-name lookup.
#include "inetsock.h"
#include "cause.h"

#include <cerrno>
#include <cstdio>
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

// What errno says of a refused call, as the library's cause.
static int cause_of(int err)
{
  switch (err) {
    case EADDRINUSE: return NET_CAUSE_ADDRESS_IN_USE;
    case EACCES: case EPERM: return NET_CAUSE_NOT_ALLOWED;
    case EADDRNOTAVAIL: return NET_CAUSE_NOT_LOCAL;
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: return NET_CAUSE_NO_RESOURCES;
    case ENETUNREACH: case EHOSTUNREACH: case ENETDOWN: return NET_CAUSE_UNREACHABLE;
    default: return NET_CAUSE_OTHER;
  }
}

// Notes errno's cause with `addr` in the driver's notation (":24785" for
// all interfaces).
static void note_cause(int err, const struct sockaddr_in *addr)
{
  char text[INET_ADDRSTRLEN + 7] = "";  // "255.255.255.255:65535"
  if (addr) {
    char host[INET_ADDRSTRLEN] = "";
    if (addr->sin_addr.s_addr != htonl(INADDR_ANY))
      inet_ntop(AF_INET, &addr->sin_addr, host, sizeof host);
    snprintf(text, sizeof text, "%s:%u", host, static_cast<unsigned>(ntohs(addr->sin_port)));
  }
  __netlane_internal__set_cause(cause_of(err), addr ? text : NULL);
}

inet_socket_t __netlane_internal__sock_open_udp(void)
{
  // SOCK_CLOEXEC: a program that starts other programs must not hand them
  // the chat's port.
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s < 0)
    note_cause(errno, NULL);
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
  if (bind(sock, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr) == 0)
    return 0;
  note_cause(errno, addr);
  return -1;
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
  int failed = getaddrinfo(name, NULL, &hints, &answer);
  if (failed != 0 || answer == NULL) {
    // EAI_AGAIN: no name server answered, which a user meets as a name
    // that could not be found.
    bool unknown = failed == EAI_NONAME || failed == EAI_FAIL || failed == EAI_NODATA ||
                   failed == EAI_AGAIN || failed == 0;
    __netlane_internal__set_cause(unknown ? NET_CAUSE_NO_SUCH_HOST : NET_CAUSE_OTHER, name);
    return -1;
  }
  const struct sockaddr_in *first = reinterpret_cast<const struct sockaddr_in *>(answer->ai_addr);
  *address = ntohl(first->sin_addr.s_addr);
  freeaddrinfo(answer);
  return 0;
}
