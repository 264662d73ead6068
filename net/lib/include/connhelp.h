/* The wrapper driver that builds reliable conns out of a driver's channels,
 * and the per-driver conn settings it reads. */
#ifndef NETLANE_CONNHELP_H
#define NETLANE_CONNHELP_H

#include <stdio.h>

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Larger queue sizes in a configuration file are taken as this one. */
#define CONN_MAX_QUEUE_SIZE 4096

struct conn_config {
  int outqueue_size;  /* slots of the out queue, a power of two, at most 4096 */
  int inqueue_size;   /* slots of the in queue, a power of two, at most 4096 */
  int resend_rate;    /* ms between transmissions of one unacknowledged
                         message; when adaptive, the longest wait */
  int resend_auto;    /* 1: the wait follows the measured round trip */
  int resend_floor;   /* ms: the shortest adaptive wait */
  int max_in_flight;  /* bytes of unacknowledged packets on the wire before a
                         new message waits (one message always goes); 0: no bound */
  int max_silent_per_address; /* listening: accepted conns from one host not
                                 yet heard from; requests beyond are dropped */
  int max_silent;             /* listening: all such conns together */
  int keepalive;      /* ms a connected conn stays idle before it sends a
                         keep-alive; 0: never; CONN_KEEPALIVE_AUTO: the
                         library's choice (no file set it) */
  int dead_after;     /* ms the oldest unacknowledged message may wait before
                         the peer counts as gone; 0: never */
  int max_silent_per_network; /* listening: such conns from one IPv4 /24
                                 or IPv6 /48 (a host being an IPv4 address
                                 or an IPv6 /64) */
  int queue_grow;     /* slots both queues may grow to, as their traffic
                         needs, between two netlane ends that agree on it
                         (WIRE_FEATURE_WIDE_WINDOWS); 0 once either queue
                         size is set: a size given is kept */
};

/* The features a conn of this configuration offers, or agrees to when it
 * listens: those built, less the wide windows when its queue sizes were
 * given or its channel buffers few datagrams (`roomy` 0: every driver but
 * the Internet one, whose ports hold a few packets each), and less the
 * host's beat when its keep-alive wait was set. */
unsigned __netlane_internal__conn_offered(const struct conn_config *cfg, int roomy);

/* conn_keepalive left to the library: a keep-alive after a second of
 * idleness, but between netlane ends that agreed on the host's beat or
 * the quiet host only one end sends them, every few seconds while they
 * are answered (conn_engine.h). */
#define CONN_KEEPALIVE_AUTO -1

/* The longest resend interval taken, for a rate or for "auto": a file
 * cannot make a conn wait minutes before it tries again. */
#define CONN_LONGEST_RESEND 60000

/* The record whose twelve conn slots the registry copies into every driver
 * that brings no conn operations of its own. Never registered itself. */
extern NET_DRIVER __netlane_internal__wrapper_driver;

/* The conn settings in force for `drv`: its own once a configuration file
 * has been read for it, else the defaults. Never NULL. */
const struct conn_config *__netlane_internal__get_conn_config(NET_DRIVER *drv);

/* The wrapper's load_conn_config slot: reads "conn_outqueue_size",
 * "conn_inqueue_size", "conn_resend_rate", "conn_resend_floor",
 * "conn_max_in_flight", "conn_max_silent_per_address", "conn_max_silent",
 * "conn_keepalive" and "conn_dead_after" from `section` of `fp` into drv->conn_config,
 * creating that record (with the defaults) first. */
void __netlane_internal__load_conn_config(NET_DRIVER *drv, FILE *fp, const char *section);

/* Largest message one conn of `drv` carries: a channel packet of its driver
 * less the 4-byte index header (16380; 508 where packets hold 512 bytes). */
int __netlane_internal__largest_conn_message(NET_DRIVER *drv);

/* net_conn_figures for a wrapper conn: 0 filled; -1 not a wrapper conn. */
int __netlane_internal__wrapper_figures(NET_CONN *conn, NET_CONN_FIGURES *figures);

/* What net_wait needs of a wrapper conn, running no protocol step: its
 * channel's descriptors in `fds` (how many in `*nfds`, at most `max`) and,
 * in `*due_ms`, the ms until the wrapper has a resend, keep-alive or connect
 * request to send, 0 when the shared port has filed datagrams for it (-1:
 * nothing of its own to send). Answers 1 when the conn listens
 * and a datagram waits on its channel, 0 otherwise, -1 when `conn` is not a
 * wrapper conn. */
int __netlane_internal__wrapper_wait_info(NET_CONN *conn, int *fds, int max, int *nfds, int *due_ms);

/* A wait's look at a connected wrapper conn, under one hold of its guard:
 * steps it as net_query_rdm does and fills what wrapper_wait_info gives.
 * The length of the next message in order (0 none), or -1 when `conn` is
 * no connected wrapper conn (nothing is filled then but `*nfds` 0 and
 * `*due_ms` -1). `keeps_ready`: the looking set is the conn's only one and
 * looks again before it sleeps at a conn it finds ready, so that the sends
 * and reads until then need not tell it. */
int __netlane_internal__wrapper_look(NET_CONN *conn, int *fds, int max, int *nfds, int *due_ms, int keeps_ready);

/* 1 when the program's last read of `conn` found nothing and nothing has
 * come for it or stepped it since, with `*due_ms` the ms from `now` (ns on
 * the library's clock) until its next step falls due (-1 none): a wait
 * may pass it over, since a look would find nothing. 0 otherwise. Takes
 * no lock. */
int __netlane_internal__wrapper_dry(NET_CONN *conn, long long now, int *due_ms);

/* For a conn on a listener's shared port (the listener or one it
 * accepted): when `pump`, takes in what waits on the port, filing it with
 * the conns it is for (which the wait sets are told of); answers 1. 0 for
 * any other conn, whose own channel's datagrams are its step's to take. */
int __netlane_internal__wrapper_take_in(NET_CONN *conn, int pump);
/* For such a conn, when the poller has just found the shared port not
 * readable: its reads in this wait round are passed over (share_quiet).
 * Takes no lock. */
void __netlane_internal__wrapper_port_quiet(NET_CONN *conn);

#ifdef __cplusplus
}
#endif

#endif
