/* The Internet driver's seam to the platform's sockets: POSIX UDP over IPv4
 * and the host-name lookup. System error codes stop here and come out as
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

/* A new IPv4 UDP socket, or INET_NO_SOCKET. */
inet_socket_t __netlane_internal__sock_open_udp(void);
void __netlane_internal__sock_close(inet_socket_t sock);

/* Socket options and binding: 0 done, -1 refused. */
int __netlane_internal__sock_set_nonblocking(inet_socket_t sock);
int __netlane_internal__sock_set_reuse(inet_socket_t sock, int on);
int __netlane_internal__sock_set_broadcast(inet_socket_t sock);
int __netlane_internal__sock_bind(inet_socket_t sock, const struct sockaddr_in *addr);
int __netlane_internal__sock_local_name(inet_socket_t sock, struct sockaddr_in *addr);

/* One datagram of `size` bytes: 0 sent; -1 refused or it would block. */
int __netlane_internal__sock_send_to(inet_socket_t sock, const void *buf, int size,
                                     const struct sockaddr_in *to);

/* One datagram into `buf`: its length (0 also when nothing waits); -1 on
 * failure, and for a datagram longer than `size`, which is then gone. */
int __netlane_internal__sock_recv_from(inet_socket_t sock, void *buf, int size,
                                       struct sockaddr_in *from);

/* Readable without waiting: 0 only when the test says no; 1 otherwise. */
int __netlane_internal__sock_readable(inet_socket_t sock);

/* First IPv4 address of `name` in host order: 0 found, -1 not found.
 * Safe to call from several threads at once; may block. */
int __netlane_internal__sock_lookup_host(const char *name, unsigned int *address);

#ifdef __cplusplus
}
#endif

#endif
