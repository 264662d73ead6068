/* The Internet driver's seam to the platform's sockets: POSIX UDP over IPv6
 * and IPv4, the host-name lookup and interface (zone) names. System error codes stop here and come out as
 * the library's small integers. */
#ifndef NETLANE_INETSOCK_H
#define NETLANE_INETSOCK_H

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A socket handle; INET_NO_SOCKET is never a valid one. */
typedef int inet_socket_t;
#define INET_NO_SOCKET (-1)

/* The sockets library needs no start or stop here: both answer 0. */
int __netlane_internal__sock_startup(void);
int __netlane_internal__sock_cleanup(void);

/* A new UDP socket, or INET_NO_SOCKET: one IPv6 socket that also carries
 * IPv4 (its peers arrive as mapped addresses) where the machine has IPv6,
 * else an IPv4 socket. `*family` gets AF_INET6 or AF_INET accordingly. */
inet_socket_t __netlane_internal__sock_open_udp(int *family);
void __netlane_internal__sock_close(inet_socket_t sock);

/* Socket options and binding: 0 done, -1 refused. */
int __netlane_internal__sock_set_nonblocking(inet_socket_t sock);
int __netlane_internal__sock_set_reuse(inet_socket_t sock, int on);
int __netlane_internal__sock_set_broadcast(inet_socket_t sock);

/* Addresses given to and taken from the seam are plain ones: an IPv4
 * address is always AF_INET, never IPv6's mapped form, so that it reads and
 * compares the same whatever socket carried it. */
void __netlane_internal__sock_plain_address(struct sockaddr_storage *addr);

/* `addr` (plain, port included) in the form a socket of `family` takes,
 * into `out` and its length into `*len`: 0 done; -1 the socket cannot
 * reach it (an IPv6 address on an IPv4 socket). */
int __netlane_internal__sock_fit_address(int family, const struct sockaddr_storage *addr,
                                         struct sockaddr_storage *out, int *len);

int __netlane_internal__sock_bind(inet_socket_t sock, int family, const struct sockaddr_storage *addr);
int __netlane_internal__sock_local_name(inet_socket_t sock, struct sockaddr_storage *addr);

/* One datagram of `size` bytes to `to` of `len` bytes (as fitted above):
 * 0 sent; -1 refused or it would block. */
int __netlane_internal__sock_send_to(inet_socket_t sock, const void *buf, int size,
                                     const struct sockaddr *to, int len);

/* One datagram into `buf`: its length (0 also when nothing waits); -1 on
 * failure, and for a datagram longer than `size`, which is then gone.
 * `from` gets the plain sender, or family 0 when nothing came. */
int __netlane_internal__sock_recv_from(inet_socket_t sock, void *buf, int size,
                                       struct sockaddr_storage *from);

/* Up to `n` datagrams in one call, into `bufs[i]` of `size` bytes each:
 * how many came (0 none; -1 on failure), their lengths in `lens` (-1 for
 * one longer than `size`, which is gone) and plain senders in `froms`.
 * Where the kernel has no such call, they are read the plain way, one at a
 * time: either way fewer than `n` means that the socket was found empty. */
int __netlane_internal__sock_recv_many(inet_socket_t sock, unsigned char *const *bufs, int size, int *lens,
                                       struct sockaddr_storage *froms, int n);

/* One datagram of a batch to send: its bytes and where to (as fitted). */
typedef struct sock_out_t {
  const void *buf;
  int size;
  const struct sockaddr *to;
  int len;
} sock_out_t;

/* Sends `n` datagrams, as many to a call as the kernel takes (one at a
 * time where it has no such call): how many went. One that is refused is
 * lost, as a refused sendto's. */
int __netlane_internal__sock_send_many(inet_socket_t sock, const sock_out_t *d, int n);

/* Readable without waiting: 0 only when the test says no; 1 otherwise. */
int __netlane_internal__sock_readable(inet_socket_t sock);

/* First IPv4 address of `name` in host order: 0 found, -1 not found.
 * Safe to call from several threads at once; may block. */
int __netlane_internal__sock_lookup_host(const char *name, unsigned int *address);

/* The address of `name` in either family, port 0: the resolver's first
 * IPv4 answer, else its first IPv6 one. 0 found, -1 not found. The same
 * cautions as above. */
int __netlane_internal__sock_lookup_any(const char *name, struct sockaddr_storage *address);

/* Interface names for IPv6 zones ("eth0" of "fe80::1%eth0"): the index of
 * `name`, 0 when there is no such interface; and the name of `index` into
 * `name` (at least INET_ZONE_SIZE bytes), -1 when it has none. */
#define INET_ZONE_SIZE 16
unsigned int __netlane_internal__sock_zone_index(const char *name);
int __netlane_internal__sock_zone_name(unsigned int index, char *name);

#ifdef __cplusplus
}
#endif

#endif
