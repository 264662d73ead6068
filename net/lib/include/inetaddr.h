/* Address texts of the Internet driver ("192.168.0.5:24785", ":24785", "*",
 * "[2001:db8::7]:24785", "[fe80::1%eth0]", "2001:db8::7") and the background
 * preparation that turns host names into addresses. */
#ifndef NETLANE_INETADDR_H
#define NETLANE_INETADDR_H

#include <netinet/in.h>

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes `addr` (network order) as "a.b.c.d:port", or ":port" for address
 * 0, into `p` (at least 22 characters: "255.255.255.255:65535"); returns `p`. */
char *__netlane_internal__write_address(char *p, const struct sockaddr_in *addr);

/* The IPv4 readers: a text read so names IPv4 only.
 * Host text without port to a host-order address: dotted quad, "*" or a
 * host name (which is looked up and may block). 0 success, -1 failure. */
int __netlane_internal__get_address(const char *str, unsigned int *address);

/* "host:port" to a host-order address and a port (0 when none is given).
 * Reads at most 127 characters. 0 success, -1 failure, also for a port
 * outside 0..65535. */
int __netlane_internal__parse_address(const char *str, unsigned int *addr, int *port);

/* Writes `addr` (plain, network order, port included) in the form of its
 * family: IPv4 as above, IPv6 as "[2001:db8::7]:port" (with "%zone" for a
 * scoped address), all interfaces of either family as ":port". `p` has room
 * for NET_MAX_ADDRESS_LENGTH characters; returns `p`. */
char *__netlane_internal__write_inet_address(char *p, const struct sockaddr_storage *addr);

/* An address text of either family to a plain address (port field 0) and
 * a port (0 when none is given): "[address]" with an optional ":port", or a
 * bare text of two or more colons (an IPv6 address, no port); otherwise
 * the IPv4 rules above, a name being looked up in both families. Reads at
 * most 127 characters. 0 success, -1 failure. */
int __netlane_internal__read_address(const char *str, struct sockaddr_storage *addr, int *port);

/* A plain socket address in the binary form of binaddr.h. */
struct bin_addr_t;
void __netlane_internal__bin_addr_from(const struct sockaddr_storage *addr, struct bin_addr_t *out);

/* Starts preparing d->src into d->dest on a worker thread: 0 started, -1 not. */
int __netlane_internal__inet_prepareaddress(NET_PREPADDR_DATA *d);
/* 0 still running; 1 done, d->dest filled; -1 failed (also for a result
 * longer than 127 characters). After a nonzero answer the request is over
 * and a further poll answers -1. */
int __netlane_internal__inet_poll_prepareaddress(NET_PREPADDR_DATA *d);

#ifdef __cplusplus
}
#endif

#endif
