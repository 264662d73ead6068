/* Address texts of the Internet driver ("192.168.0.5:24785", ":24785", "*")
 * and the background preparation that turns host names into dotted quads. */
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

/* Host text without port to a host-order address: dotted quad, "*" or a
 * host name (which is looked up and may block). 0 success, -1 failure. */
int __netlane_internal__get_address(const char *str, unsigned int *address);

/* "host:port" to a host-order address and a port (0 when none is given).
 * Reads at most 127 characters. 0 success, -1 failure, also for a port
 * outside 0..65535. */
int __netlane_internal__parse_address(const char *str, unsigned int *addr, int *port);

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
