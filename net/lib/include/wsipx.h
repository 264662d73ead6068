/* The IPX sockets layer: datagram sockets of the IPX family (6), carried
 * over UDP because this system has no IPX of its own. Only the IPX driver
 * calls it; a real IPX family could serve behind the same routines.
 *
 * In this layer a node number is an IPv4 address (4 bytes) followed by a
 * UDP port (2 bytes, high byte first): the UDP socket of its own that every
 * IPX socket has, where datagrams for that node arrive. The broadcast node
 * FF FF FF FF FF FF reaches every IPX socket of the socket number on the
 * network segment: an IPX socket number is also a UDP port, read as its two
 * bytes stand in the address (high byte first), which every IPX socket of
 * that number on a machine binds shared, for broadcasts only.
 *
 * With NETLANE_IPX_LOOPBACK set in the environment (to anything but "" or
 * "0") nothing leaves the machine: sockets bind to 127.0.0.1 and broadcasts
 * go to 127.255.255.255. */
#ifndef NETLANE_WSIPX_H
#define NETLANE_WSIPX_H

#ifdef __cplusplus
extern "C" {
#endif

#define IPX_FAMILY 6    /* the address family of IPX sockets */
#define IPX_DATAGRAM 2  /* the datagram socket type, as the platform numbers it */

/* The largest payload of one IPX datagram: a 576-byte packet less its
 * 30-byte header. */
#define IPX_MAX_PAYLOAD 546

/* A socket handle; IPX_NO_SOCKET is never a valid one. */
typedef int ipx_socket_t;
#define IPX_NO_SOCKET (-1)

/* An IPX socket address, 14 bytes as the platform lays it out. */
typedef struct ipx_sockaddr_t {
  short family;             /* IPX_FAMILY */
  unsigned char netnum[4];  /* network number */
  unsigned char nodenum[6]; /* node number; all FF: broadcast */
  unsigned char socket[2];  /* socket number, high byte first */
} ipx_sockaddr_t;

/* A new socket, or IPX_NO_SOCKET for another family or type, or when the
 * system refuses one. */
ipx_socket_t __netlane_internal__ipx_open(int family, int type, int protocol);
void __netlane_internal__ipx_close(ipx_socket_t sock);

/* 0 done; -1 refused. */
int __netlane_internal__ipx_set_nonblocking(ipx_socket_t sock);

/* Binds to a network number, a node (zero: this machine, a port the system
 * picks) and a socket number (not zero). 0 bound; -1 refused. */
int __netlane_internal__ipx_bind(ipx_socket_t sock, const ipx_sockaddr_t *addr);

/* The bound address, with the node as peers reach it. 0 done; -1 not bound. */
int __netlane_internal__ipx_local_name(ipx_socket_t sock, ipx_sockaddr_t *addr);

/* Whether the bound socket hears broadcasts: 1 yes; 0 no, as when another
 * program holds the socket number's UDP port without sharing it (the node
 * still sends and receives point to point). */
int __netlane_internal__ipx_hears_broadcasts(ipx_socket_t sock);

/* Whether a datagram waits, without waiting: 1 yes, 0 no. */
int __netlane_internal__ipx_readable(ipx_socket_t sock);

/* The descriptors that become readable when a datagram for the socket may
 * have come, for a sleep in poll(2): how many were written (at most `max`). */
int __netlane_internal__ipx_wait_fds(ipx_socket_t sock, int *fds, int max);

/* One datagram of 0 to IPX_MAX_PAYLOAD bytes to `to`: 0 sent; -1 refused. */
int __netlane_internal__ipx_send_to(ipx_socket_t sock, const void *buf, int size, const ipx_sockaddr_t *to);

/* One datagram for this socket into `buf`, with its sender in `from`: its
 * length; -1 when none waits (a non-blocking socket) or on failure.
 * Datagrams longer than `size`, not for this socket, or not of this layer
 * are dropped unread. */
int __netlane_internal__ipx_recv_from(ipx_socket_t sock, void *buf, int size, ipx_sockaddr_t *from);

#ifdef __cplusplus
}
#endif

#endif
