// POSIX sockets behind the Internet driver: the only file that calls the
// socket interface, the host-name lookup and the interface-name calls.
#include "inetsock.h"
#include "binaddr.h"
#include "cause.h"
#include "inetaddr.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
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
static void note_cause(int err, const struct sockaddr_storage *addr)
{
  char text[NET_MAX_ADDRESS_LENGTH] = "";
  if (addr)
    __netlane_internal__write_inet_address(text, addr);
  __netlane_internal__set_cause(cause_of(err), addr ? text : NULL);
}

inet_socket_t __netlane_internal__sock_open_udp(int *family)
{
  // SOCK_CLOEXEC: a program that starts other programs must not hand them
  // the chat's port. One IPv6 socket with IPV6_V6ONLY off hears both
  // families; a kernel without IPv6 refuses it, and IPv4 alone serves.
  int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s >= 0) {
    int off = 0;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
      *family = AF_INET6;
      return s;
    }
    close(s);
  }
  s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  *family = AF_INET;
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

void __netlane_internal__sock_plain_address(struct sockaddr_storage *addr)
{
  if (addr->ss_family != AF_INET6)
    return;
  struct sockaddr_in6 *six = reinterpret_cast<struct sockaddr_in6 *>(addr);
  if (!IN6_IS_ADDR_V4MAPPED(&six->sin6_addr))
    return;
  struct sockaddr_in four;
  memset(&four, 0, sizeof four);
  four.sin_family = AF_INET;
  four.sin_port = six->sin6_port;
  memcpy(&four.sin_addr, six->sin6_addr.s6_addr + 12, 4);
  memset(addr, 0, sizeof *addr);
  memcpy(addr, &four, sizeof four);
}

int __netlane_internal__sock_fit_address(int family, const struct sockaddr_storage *addr,
                                         struct sockaddr_storage *out, int *len)
{
  memset(out, 0, sizeof *out);
  if (addr->ss_family == family) {
    *len = family == AF_INET6 ? (int)sizeof(struct sockaddr_in6) : (int)sizeof(struct sockaddr_in);
    memcpy(out, addr, (size_t)*len);
    return 0;
  }
  if (family == AF_INET6 && addr->ss_family == AF_INET) {
    // An IPv4 address as the dual-stack socket takes it; all interfaces of
    // IPv4 become all interfaces of both families.
    const struct sockaddr_in *four = reinterpret_cast<const struct sockaddr_in *>(addr);
    struct sockaddr_in6 *six = reinterpret_cast<struct sockaddr_in6 *>(out);
    six->sin6_family = AF_INET6;
    six->sin6_port = four->sin_port;
    if (four->sin_addr.s_addr != htonl(INADDR_ANY)) {
      six->sin6_addr.s6_addr[10] = 0xFF;
      six->sin6_addr.s6_addr[11] = 0xFF;
      memcpy(six->sin6_addr.s6_addr + 12, &four->sin_addr, 4);
    }
    *len = (int)sizeof *six;
    return 0;
  }
  if (family == AF_INET && addr->ss_family == AF_INET6) {
    // Only "all interfaces" of IPv6 has a meaning on an IPv4 socket.
    const struct sockaddr_in6 *six = reinterpret_cast<const struct sockaddr_in6 *>(addr);
    if (!IN6_IS_ADDR_UNSPECIFIED(&six->sin6_addr))
      return -1;
    struct sockaddr_in *four = reinterpret_cast<struct sockaddr_in *>(out);
    four->sin_family = AF_INET;
    four->sin_port = six->sin6_port;
    *len = (int)sizeof *four;
    return 0;
  }
  return -1;
}

int __netlane_internal__sock_bind(inet_socket_t sock, int family, const struct sockaddr_storage *addr)
{
  struct sockaddr_storage fitted;
  int len;
  if (__netlane_internal__sock_fit_address(family, addr, &fitted, &len) != 0)
    return -1;
  if (bind(sock, reinterpret_cast<const struct sockaddr *>(&fitted), (socklen_t)len) == 0)
    return 0;
  note_cause(errno, addr);
  return -1;
}

int __netlane_internal__sock_local_name(inet_socket_t sock, struct sockaddr_storage *addr)
{
  socklen_t len = sizeof *addr;
  memset(addr, 0, sizeof *addr);
  if (getsockname(sock, reinterpret_cast<struct sockaddr *>(addr), &len) < 0)
    return -1;
  __netlane_internal__sock_plain_address(addr);
  return 0;
}

int __netlane_internal__sock_send_to(inet_socket_t sock, const void *buf, int size,
                                     const struct sockaddr *to, int len)
{
  if (size < 0)
    return -1;
  ssize_t sent = sendto(sock, buf, static_cast<size_t>(size), 0,
                        to, (socklen_t)len);
  return sent < 0 ? -1 : 0;
}

int __netlane_internal__sock_recv_from(inet_socket_t sock, void *buf, int size,
                                       struct sockaddr_storage *from)
{
  if (size < 0)
    return -1;
  socklen_t len = sizeof *from;
  // Only the family is cleared: recvfrom writes the rest whenever a
  // datagram came, and the receive path is the hot one.
  from->ss_family = 0;
  // MSG_TRUNC makes the call answer the datagram's real length, so a
  // datagram cut to fit the buffer is never handed on as if it were whole.
  ssize_t got = recvfrom(sock, buf, static_cast<size_t>(size), MSG_TRUNC,
                         reinterpret_cast<struct sockaddr *>(from), &len);
  if (got < 0) {
    from->ss_family = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return 0;
    return -1;
  }
  __netlane_internal__sock_plain_address(from);
  if (got > size)
    return -1;
  return static_cast<int>(got);
}

// Set once the kernel answers ENOSYS (or a test asks): the batch calls
// then go one datagram at a time.
static int batch_off = 0;

void __netlane_internal__sock_batch_off(int off)
{
  __atomic_store_n(&batch_off, off, __ATOMIC_RELAXED);
}

int __netlane_internal__sock_recv_many(inet_socket_t sock, unsigned char *const *bufs, int size, int *lens,
                                       struct sockaddr_storage *froms, int n)
{
  enum { MOST = 32 };
  if (n > MOST)
    n = MOST;
  if (n <= 0 || size < 0)
    return -1;
  if (!__atomic_load_n(&batch_off, __ATOMIC_RELAXED)) {
    struct mmsghdr v[MOST];
    struct iovec io[MOST];
    for (int i = 0; i < n; i++) {
      io[i].iov_base = bufs[i];
      io[i].iov_len = static_cast<size_t>(size);
      memset(&v[i].msg_hdr, 0, sizeof v[i].msg_hdr);
      v[i].msg_hdr.msg_name = &froms[i];
      v[i].msg_hdr.msg_namelen = sizeof froms[i];
      v[i].msg_hdr.msg_iov = &io[i];
      v[i].msg_hdr.msg_iovlen = 1;
    }
    // MSG_TRUNC: each length is the datagram's real one, so one cut to
    // fit is never handed on as whole.
    int got = recvmmsg(sock, v, static_cast<unsigned int>(n), MSG_DONTWAIT | MSG_TRUNC, NULL);
    if (got >= 0) {
      for (int i = 0; i < got; i++) {
        __netlane_internal__sock_plain_address(&froms[i]);
        bool cut = v[i].msg_len > static_cast<unsigned int>(size) || (v[i].msg_hdr.msg_flags & MSG_TRUNC);
        lens[i] = cut ? -1 : static_cast<int>(v[i].msg_len);
      }
      return got;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return 0;
    if (errno != ENOSYS)
      return -1;
    __netlane_internal__sock_batch_off(1);
  }
  // One at a time until the socket is empty, so that fewer than `n` still
  // says that it is.
  int got = 0;
  for (; got < n; got++) {
    int len = __netlane_internal__sock_recv_from(sock, bufs[got], size, &froms[got]);
    if (froms[got].ss_family == 0)
      return got > 0 ? got : len < 0 ? -1 : 0;
    lens[got] = len;
  }
  return got;
}

int __netlane_internal__sock_send_many(inet_socket_t sock, const sock_out_t *d, int n)
{
  enum { MOST = 32 };
  int sent = 0, i = 0;
  // One alone costs the kernel less as a plain send than as a batch.
  while (n > 1 && i < n && !__atomic_load_n(&batch_off, __ATOMIC_RELAXED)) {
    struct mmsghdr v[MOST];
    struct iovec io[MOST];
    int k = n - i < MOST ? n - i : MOST;
    for (int j = 0; j < k; j++) {
      io[j].iov_base = const_cast<void *>(d[i + j].buf);
      io[j].iov_len = static_cast<size_t>(d[i + j].size);
      memset(&v[j].msg_hdr, 0, sizeof v[j].msg_hdr);
      v[j].msg_hdr.msg_name = const_cast<struct sockaddr *>(d[i + j].to);
      v[j].msg_hdr.msg_namelen = static_cast<socklen_t>(d[i + j].len);
      v[j].msg_hdr.msg_iov = &io[j];
      v[j].msg_hdr.msg_iovlen = 1;
    }
    int went = sendmmsg(sock, v, static_cast<unsigned int>(k), MSG_DONTWAIT);
    if (went < 0 && errno == ENOSYS) {
      __netlane_internal__sock_batch_off(1);
      break;
    }
    if (went > 0) {
      sent += went;
      i += went;
    } else {
      i++;  // the first of them is refused (a full buffer, say): lost
    }
  }
  for (; i < n; i++)
    if (__netlane_internal__sock_send_to(sock, d[i].buf, d[i].size, d[i].to, d[i].len) == 0)
      sent++;
  return sent;
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
  struct sockaddr_storage found;
  if (__netlane_internal__sock_lookup_any(name, &found) != 0 || found.ss_family != AF_INET)
    return -1;
  *address = ntohl(reinterpret_cast<const struct sockaddr_in *>(&found)->sin_addr.s_addr);
  return 0;
}

int __netlane_internal__sock_lookup_any(const char *name, struct sockaddr_storage *address)
{
  struct addrinfo hints;
  struct addrinfo *answer = NULL;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
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
  // IPv4 first where the name has both: "localhost" stays 127.0.0.1, and
  // a host that users reached over IPv4 before is reached so still.
  const struct addrinfo *pick = NULL;
  for (const struct addrinfo *a = answer; a && !pick; a = a->ai_next)
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(struct sockaddr_in))
      pick = a;
  for (const struct addrinfo *a = answer; a && !pick; a = a->ai_next)
    if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(struct sockaddr_in6))
      pick = a;
  int result = -1;
  if (pick) {
    memset(address, 0, sizeof *address);
    memcpy(address, pick->ai_addr, pick->ai_addrlen);
    reinterpret_cast<struct sockaddr_in *>(address)->sin_port = 0;  // same place in both families
    __netlane_internal__sock_plain_address(address);
    result = 0;
  }
  freeaddrinfo(answer);
  return result;
}

unsigned int __netlane_internal__sock_zone_index(const char *name)
{
  return if_nametoindex(name);
}

int __netlane_internal__sock_zone_name(unsigned int index, char *name)
{
  char found[IF_NAMESIZE];
  if (if_indextoname(index, found) == NULL)
    return -1;
  memcpy(name, found, INET_ZONE_SIZE - 1);
  name[INET_ZONE_SIZE - 1] = '\0';
  return 0;
}
