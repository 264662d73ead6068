// The IPX sockets layer over UDP (see wsipx.h): the only file that carries
// IPX datagrams, and the IPX driver's only way to the network.
//
// Each IPX socket is two UDP sockets: the node's own (bound to the node's
// port; it receives datagrams for the node and sends everything) and the
// socket number's shared one (bound with address reuse to the UDP port of
// the socket number, so that every IPX socket of that number on the machine
// has one; it receives broadcasts only).
//
// Every UDP datagram carries one IPX packet, header first; numbers are high
// byte first, and the addresses are laid out as in ipx_sockaddr_t:
//    0       2       4    5    6            10            16        18
//   +-------+-------+----+----+------------+-------------+---------+
//   | FF FF | length| 0  | 0  | dest net   | dest node   | dest sk |
//   +-------+-------+----+----+------------+-------------+---------+
//   18           22            28        30
//   +------------+-------------+---------+------------------------+
//   | source net | source node | src sk  | data, 0 to 546 bytes   |
//   +------------+-------------+---------+------------------------+
// The length counts header and data. A receiver takes the sender's node from
// the UDP source (address and port), where its replies must go, not from the
// header, which holds what the sender believes its node to be.
#include "wsipx.h"

#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

#define MAX_SOCKETS 8     // IPX sockets open at once; the driver needs one
#define HEADER_SIZE 30
#define MAX_PACKET 576    // header and data; the IPX packet limit
#define DROPS_PER_CALL 32 // datagrams a receive may discard before it answers
#define LOOPBACK_BROADCAST 0x7FFFFFFFu  // 127.255.255.255

static_assert(sizeof(ipx_sockaddr_t) == 14, "the platform's IPX address is 14 bytes");

struct layer_socket {
  int in_use;
  int node_fd;          // the node's UDP socket
  int meet_fd;          // the socket number's shared UDP socket; -1 when it has none
  int bound;            // bind succeeded (with or without meet_fd)
  int blocking;         // receives wait until a datagram comes
  int loopback;         // bound while NETLANE_IPX_LOOPBACK was set
  int read_meet_first;  // alternates, so neither socket starves the other
  ipx_sockaddr_t name;  // the bound address as peers reach it
};

layer_socket sockets[MAX_SOCKETS];

const unsigned char broadcast_node[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void put_be16(unsigned char *p, unsigned int v)
{
  p[0] = static_cast<unsigned char>((v >> 8) & 0xFF);
  p[1] = static_cast<unsigned char>(v & 0xFF);
}

unsigned int get_be16(const unsigned char *p)
{
  return (static_cast<unsigned int>(p[0]) << 8) | p[1];
}

void put_be32(unsigned char *p, unsigned int v)
{
  put_be16(p, (v >> 16) & 0xFFFF);
  put_be16(p + 2, v & 0xFFFF);
}

unsigned int get_be32(const unsigned char *p)
{
  return (get_be16(p) << 16) | get_be16(p + 2);
}

layer_socket *get(ipx_socket_t sock)
{
  if (sock < 0 || sock >= MAX_SOCKETS || !sockets[sock].in_use) return NULL;
  return &sockets[sock];
}

int loopback_wanted(void)
{
  const char *v = getenv("NETLANE_IPX_LOOPBACK");
  return v && v[0] && strcmp(v, "0") != 0;
}

struct sockaddr_in inet_address(unsigned int ip, unsigned int port)
{
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ip);
  a.sin_port = htons(static_cast<unsigned short>(port));
  return a;
}

int set_option(int fd, int option)
{
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
}

// The address this machine sends broadcasts from, which is where peers on
// the segment reach it; 127.0.0.1 when it has no route for broadcasts.
// Connecting a UDP socket sends nothing.
unsigned int machine_address(unsigned int port)
{
  unsigned int ip = INADDR_LOOPBACK;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ip;
  struct sockaddr_in to = inet_address(INADDR_BROADCAST, port);
  struct sockaddr_in me;
  socklen_t len = sizeof me;
  if (set_option(fd, SO_BROADCAST) == 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&to), sizeof to) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr *>(&me), &len) == 0 && me.sin_addr.s_addr != 0)
    ip = ntohl(me.sin_addr.s_addr);
  close(fd);
  return ip;
}

// One datagram from `fd`: its length, more than MAX_PACKET when it was cut;
// -1 when none waits.
long take(int fd, unsigned char *packet, struct sockaddr_in *src)
{
  socklen_t len = sizeof *src;
  memset(src, 0, sizeof *src);
  ssize_t got = recvfrom(fd, packet, MAX_PACKET, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<struct sockaddr *>(src),
                         &len);
  return got < 0 ? -1 : static_cast<long>(got);
}

// Whether a datagram is an IPX packet for this socket that fits `size`
// bytes of data. One taken from the shared socket must be a broadcast: any
// other was meant for a node, which may be another process on this machine.
bool wanted(const layer_socket *s, const unsigned char *packet, long len, bool shared, int size)
{
  if (len < HEADER_SIZE || len > MAX_PACKET) return false;
  if (packet[0] != 0xFF || packet[1] != 0xFF || get_be16(packet + 2) != static_cast<unsigned int>(len)) return false;
  if (len - HEADER_SIZE > size) return false;
  if (memcmp(packet + 16, s->name.socket, 2) != 0) return false;
  // Network 0 is this network, FFFFFFFF every network; a socket that was
  // given no network number of its own takes any.
  unsigned int net = get_be32(packet + 6);
  if (net != 0 && net != 0xFFFFFFFFu && get_be32(s->name.netnum) != 0 && net != get_be32(s->name.netnum))
    return false;
  const unsigned char *node = packet + 10;
  if (memcmp(node, broadcast_node, 6) == 0) return true;
  return !shared && memcmp(node + 4, s->name.nodenum + 4, 2) == 0;
}

}  // namespace

ipx_socket_t __netlane_internal__ipx_open(int family, int type, int protocol)
{
  if (family != IPX_FAMILY || type != IPX_DATAGRAM || protocol != 0) return IPX_NO_SOCKET;
  for (int i = 0; i < MAX_SOCKETS; i++) {
    if (sockets[i].in_use) continue;
    // SOCK_CLOEXEC: programs this one starts must not inherit the ports.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return IPX_NO_SOCKET;
    memset(&sockets[i], 0, sizeof sockets[i]);
    sockets[i].in_use = 1;
    sockets[i].node_fd = fd;
    sockets[i].meet_fd = -1;
    sockets[i].blocking = 1;
    return i;
  }
  return IPX_NO_SOCKET;
}

void __netlane_internal__ipx_close(ipx_socket_t sock)
{
  layer_socket *s = get(sock);
  if (!s) return;
  close(s->node_fd);
  if (s->meet_fd >= 0) close(s->meet_fd);
  s->in_use = 0;
}

int __netlane_internal__ipx_set_nonblocking(ipx_socket_t sock)
{
  layer_socket *s = get(sock);
  if (!s) return -1;
  s->blocking = 0;
  return 0;
}

int __netlane_internal__ipx_bind(ipx_socket_t sock, const ipx_sockaddr_t *addr)
{
  layer_socket *s = get(sock);
  if (!s || s->bound || !addr || addr->family != IPX_FAMILY) return -1;
  unsigned int meet_port = get_be16(addr->socket);
  unsigned int ip = get_be32(addr->nodenum);
  unsigned int port = get_be16(addr->nodenum + 4);
  if (meet_port == 0 || ip == INADDR_BROADCAST) return -1;

  int loopback = loopback_wanted();
  if (loopback) {
    if (ip == 0) ip = INADDR_LOOPBACK;
    if ((ip >> 24) != 127) return -1;  // would let datagrams leave the machine
  }
  struct sockaddr_in local = inet_address(ip, port);
  if (bind(s->node_fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) return -1;
  if (set_option(s->node_fd, SO_BROADCAST) != 0) return -1;

  socklen_t len = sizeof local;
  if (getsockname(s->node_fd, reinterpret_cast<struct sockaddr *>(&local), &len) != 0) return -1;

  // Bound to the loopback broadcast address it hears loopback broadcasts
  // and nothing else. Another program may hold the port without sharing
  // it: the node still works point to point, it just hears no broadcasts.
  int meet_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_in shared = inet_address(loopback ? LOOPBACK_BROADCAST : INADDR_ANY, meet_port);
  if (meet_fd >= 0 && (set_option(meet_fd, SO_REUSEADDR) != 0 ||
                       bind(meet_fd, reinterpret_cast<struct sockaddr *>(&shared), sizeof shared) != 0)) {
    close(meet_fd);
    meet_fd = -1;
  }
  s->meet_fd = meet_fd;
  s->bound = 1;
  s->loopback = loopback;
  s->name.family = IPX_FAMILY;
  memcpy(s->name.netnum, addr->netnum, 4);
  put_be32(s->name.nodenum, ip != 0 ? ip : machine_address(meet_port));
  put_be16(s->name.nodenum + 4, ntohs(local.sin_port));
  memcpy(s->name.socket, addr->socket, 2);
  return 0;
}

int __netlane_internal__ipx_local_name(ipx_socket_t sock, ipx_sockaddr_t *addr)
{
  layer_socket *s = get(sock);
  if (!s || !s->bound || !addr) return -1;
  *addr = s->name;
  return 0;
}

int __netlane_internal__ipx_hears_broadcasts(ipx_socket_t sock)
{
  layer_socket *s = get(sock);
  return s && s->meet_fd >= 0 ? 1 : 0;
}

int __netlane_internal__ipx_readable(ipx_socket_t sock)
{
  layer_socket *s = get(sock);
  if (!s) return 0;
  struct pollfd p[2];
  p[0].fd = s->node_fd;
  p[1].fd = s->meet_fd;  // a negative descriptor is passed over
  p[0].events = p[1].events = POLLIN;
  p[0].revents = p[1].revents = 0;
  return poll(p, 2, 0) > 0 ? 1 : 0;
}

int __netlane_internal__ipx_wait_fds(ipx_socket_t sock, int *fds, int max)
{
  layer_socket *s = get(sock);
  int n = 0;
  if (s && n < max) fds[n++] = s->node_fd;
  if (s && s->meet_fd >= 0 && n < max) fds[n++] = s->meet_fd;
  return n;
}

int __netlane_internal__ipx_send_to(ipx_socket_t sock, const void *buf, int size, const ipx_sockaddr_t *to)
{
  layer_socket *s = get(sock);
  if (!s || !s->bound || !to || to->family != IPX_FAMILY) return -1;
  if (size < 0 || size > IPX_MAX_PAYLOAD || (size > 0 && !buf)) return -1;

  unsigned char packet[MAX_PACKET];
  packet[0] = packet[1] = 0xFF;  // no checksum
  put_be16(packet + 2, static_cast<unsigned int>(HEADER_SIZE + size));
  packet[4] = 0;  // hops so far
  packet[5] = 0;  // packet type: plain datagram
  memcpy(packet + 6, to->netnum, 4);
  memcpy(packet + 10, to->nodenum, 6);
  memcpy(packet + 16, to->socket, 2);
  memcpy(packet + 18, s->name.netnum, 4);
  memcpy(packet + 22, s->name.nodenum, 6);
  memcpy(packet + 28, s->name.socket, 2);
  if (size > 0) memcpy(packet + HEADER_SIZE, buf, static_cast<size_t>(size));

  struct sockaddr_in dest;
  if (memcmp(to->nodenum, broadcast_node, 6) == 0)
    dest = inet_address(s->loopback ? LOOPBACK_BROADCAST : INADDR_BROADCAST, get_be16(to->socket));
  else
    dest = inet_address(get_be32(to->nodenum), get_be16(to->nodenum + 4));
  if (dest.sin_port == 0) return -1;
  ssize_t sent = sendto(s->node_fd, packet, static_cast<size_t>(HEADER_SIZE + size), 0,
                        reinterpret_cast<struct sockaddr *>(&dest), sizeof dest);
  return sent < 0 ? -1 : 0;
}

int __netlane_internal__ipx_recv_from(ipx_socket_t sock, void *buf, int size, ipx_sockaddr_t *from)
{
  layer_socket *s = get(sock);
  if (!s || !s->bound || size < 0 || (size > 0 && !buf)) return -1;

  unsigned char packet[MAX_PACKET];
  struct sockaddr_in src;
  for (int n = 0; n < DROPS_PER_CALL; n++) {
    int first = s->read_meet_first && s->meet_fd >= 0 ? s->meet_fd : s->node_fd;
    int second = first == s->meet_fd ? s->node_fd : s->meet_fd;
    int fd = first;
    long len = take(fd, packet, &src);
    if (len < 0 && second >= 0) {
      fd = second;
      len = take(fd, packet, &src);
    }
    if (len < 0) {
      if (!s->blocking) return -1;
      struct pollfd p[2] = {{s->node_fd, POLLIN, 0}, {s->meet_fd, POLLIN, 0}};
      poll(p, 2, -1);
      continue;
    }
    s->read_meet_first = !s->read_meet_first;
    if (src.sin_family != AF_INET || !wanted(s, packet, len, fd == s->meet_fd, size)) continue;

    int data = static_cast<int>(len - HEADER_SIZE);
    if (from) {
      from->family = IPX_FAMILY;
      memcpy(from->netnum, packet + 18, 4);
      put_be32(from->nodenum, ntohl(src.sin_addr.s_addr));
      put_be16(from->nodenum + 4, ntohs(src.sin_port));
      memcpy(from->socket, packet + 28, 2);
    }
    if (data > 0) memcpy(buf, packet + HEADER_SIZE, static_cast<size_t>(data));
    return data;
  }
  return -1;
}
