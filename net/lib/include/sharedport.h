/* A listener's port, shared by the listener and every conn it accepted: one
 * channel takes in everything that reaches the port and files each datagram
 * with the peer whose address sent it (a hash of peer address texts), or,
 * for a connect request, with the listener. Every accepted conn sends from
 * the same port to its peer's prepared address. The port stays open while
 * the listener or any of its accepted conns is open. */
#ifndef NETLANE_SHAREDPORT_H
#define NETLANE_SHAREDPORT_H

#include "conn_wire.h"
#include "connhelp.h"
#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct port_share_t port_share_t;
typedef struct port_peer_t port_peer_t;

/* A share of `chan`, held once (by the listener), or NULL when memory or
 * random bytes for its cookie secret ran out. `owner` is the listener's:
 * waitset_notify(owner) announces each request queued. */
port_share_t *__netlane_internal__share_create(NET_CHANNEL *chan, void *owner);
NET_CHANNEL *__netlane_internal__share_channel(port_share_t *share);
/* The listener has closed: requests of new pairs are dropped from now on;
 * its hold is let go. */
void __netlane_internal__share_stop_listening(port_share_t *share);

/* Takes up to `max` datagrams from the channel and files them: a peer's
 * with the peer; requests by the port's rules (handshake.h): a repeated
 * request of a known pair answered again (the plain reply, the admit, or
 * the accept of a proved pair); a cookie request answered with a cookie,
 * keeping nothing, unless it may be admitted; a proof whose cookie holds
 * makes a known unproved pair proved, else waits for the listener, as a
 * plain request of a new pair and an admittable cookie request do.
 * Answers how many were taken. */
int __netlane_internal__share_pump(port_share_t *share, int max);
/* The same when the poller has said the port is readable: it is read even
 * when found empty earlier in this thread's wait round, which share_pump
 * does not read again. */
int __netlane_internal__share_pump_readable(port_share_t *share, int max);
/* The poller has just said the port is not readable: it counts as found
 * empty in this thread's wait round, so that the looks of that round do
 * not read it to learn as much. */
void __netlane_internal__share_quiet(port_share_t *share);
/* The next request of a new pair for the listener, proofs before the
 * others: WIRE_PROOF, WIRE_REQUEST or WIRE_COOKIE_REQUEST, its bytes in
 * `buf` (room for WIRE_PROOF_SIZE) and its sender in `from`; 0 none. Datagrams filed for a
 * peer that has an owner are announced to the wait sets through
 * waitset_notify(owner). */
int __netlane_internal__share_next_request(port_share_t *share, unsigned char *buf, char *from);

/* 1 when a connect request waits for the listener. */
int __netlane_internal__share_has_requests(port_share_t *share);
/* The peer of (addr, conn_id), or NULL. */
port_peer_t *__netlane_internal__share_find(port_share_t *share, const char *addr, unsigned int conn_id);
/* A new peer, silent until share_heard, holding the share once; NULL when
 * memory ran out, the address cannot be prepared, the bounds on silent
 * peers (per host, per network and in all; proved and unproved peers
 * counted apart) are reached, for an admitted one any peer has the
 * address, or, for a plain one, an older peer of the address is proved or
 * was heard from within the last few seconds. `how` (an hs_pair): plain;
 * admitted (`hello` the cookie request's, whose nonce its admits echo);
 * proved (`hello` the proof it came with, which makes it proved with the
 * features offered that this library has). It takes over its address
 * from any older peer there (`*took_over` 1), which from then on neither
 * receives nor sends until the newer one is removed; a proved one replaces
 * it for good (share_peer_replaced). */
port_peer_t *__netlane_internal__share_add(port_share_t *share, const char *addr, unsigned int conn_id,
                                           const struct conn_config *cfg, void *owner, const wire_hello_t *hello,
                                           int how, int *took_over);
/* Sends the peer the answer to its request: its accept when proved, its
 * admit (a fresh cookie) when admitted, the plain 8 zero bytes else. */
void __netlane_internal__share_answer(port_share_t *share, port_peer_t *peer);
/* Sends `addr` the plain cookie for `hello`'s id and nonce, keeping nothing. */
void __netlane_internal__share_send_cookie(port_share_t *share, const char *addr, const wire_hello_t *hello);
/* What the peer is to the handshake now: an hs_pair. */
int __netlane_internal__share_pair(port_share_t *share, port_peer_t *peer);
/* The peer is proved by `proof` (its cookie checked), from now on. */
void __netlane_internal__share_prove(port_share_t *share, port_peer_t *peer, const wire_hello_t *proof);
/* 1 once the peer is proved (also when its proof came after its plain
 * request), with the agreed features in `*features`; 0 before. Safe from
 * the conn's thread while the port is pumped elsewhere. */
int __netlane_internal__share_peer_proved(port_peer_t *peer, unsigned *features);
/* 1 once a newer peer proved the peer's address: its client has gone and
 * the address never comes back to it. Safe from the conn's thread. */
int __netlane_internal__share_peer_replaced(port_peer_t *peer);
/* Cookies the port has sent and proofs it refused (a test hook reads them). */
void __netlane_internal__share_counts(port_share_t *share, long *cookies_sent, long *proofs_refused);
/* The peer's conn has closed: its entry and what waits for it go, and its
 * hold on the share is let go (the last hold closes the channel). */
void __netlane_internal__share_remove(port_share_t *share, port_peer_t *peer);
/* The peer has sent a message: it no longer counts against the bounds. */
void __netlane_internal__share_heard(port_share_t *share, port_peer_t *peer);

/* A step's datagrams for the peer, taken out without the port's guard:
 * share_borrow takes out at most `max` of those filed and answers how
 * many; share_lent hands them on in order, with their lengths (NULL once
 * none is left), their bytes valid until share_give_back, which puts those
 * not handed on back in front of the queue and gives the rest back for
 * the pool. Only the peer's conn borrows, under its own guard. */
struct slot_t;
typedef struct port_loan_t {
  struct slot_t *head;  /* taken out, in order */
  struct slot_t *next;  /* the next to hand on */
} port_loan_t;
int __netlane_internal__share_borrow(port_share_t *share, port_peer_t *peer, port_loan_t *loan, int max);
const unsigned char *__netlane_internal__share_lent(port_loan_t *loan, int *len);
void __netlane_internal__share_give_back(port_share_t *share, port_peer_t *peer, port_loan_t *loan);
/* 1 when a datagram waits for the peer (filed, not yet taken). */
int __netlane_internal__share_has_input(port_share_t *share, port_peer_t *peer);
/* Sends one datagram from the port to the peer: 0 sent (or dropped because
 * a newer peer took the address over), nonzero as net_send. */
int __netlane_internal__share_send(port_share_t *share, port_peer_t *peer, const void *buf, int size);

/* Datagrams filed for the peer and not taken, and in `*pooled` (unless
 * NULL) the free buffers the port keeps (a test hook reads them). */
int __netlane_internal__share_queued(port_share_t *share, port_peer_t *peer, int *pooled);

/* A conn's sends during one protocol step: io_hold begins gathering them
 * on this thread, io_flush ends it and hands what was gathered to the
 * kernel together (the Internet driver; others send at once). */
void __netlane_internal__io_hold(void);
void __netlane_internal__io_flush(void);

/* The next datagram on a conn's own channel (not a shared port's): its
 * length (-1 cut short or a failed read), -2 when none waits (or the
 * channel was found empty earlier in this thread's wait round); `*foreign`
 * 1 when it came from another address than the channel's target. The
 * sender is compared in binary on the Internet driver. */
int __netlane_internal__io_read_own(NET_CHANNEL *chan, void *buf, int size, int *foreign);

/* 1 when two address texts name the same machine (what comes before the
 * port; the whole text where there is none). */
int __netlane_internal__same_host(const char *a, const char *b);

/* Peers of the share now (the test hook counts them). */
int __netlane_internal__share_peer_count(port_share_t *share);

#ifdef __cplusplus
}
#endif

#endif
