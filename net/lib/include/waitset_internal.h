/* What the rest of the library tells the wait sets: a conn whose shared
 * port filed a datagram for it, and conns and channels that close. */
#ifndef NETLANE_WAITSET_INTERNAL_H
#define NETLANE_WAITSET_INTERNAL_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A datagram waits for the conn whose data record is `owner`: every set
 * holding that conn steps it at its next look. Safe with any port's guard
 * held. */
void __netlane_internal__waitset_notify(void *owner);
/* The same for `n` owners at once (a pump's worth): one look-up. */
void __netlane_internal__waitset_notify_many(void *const *owners, int n);

/* This thread's wait round: a number that changes whenever a wait on this
 * thread may have learnt of new datagrams (the wait begins, or its poller
 * wakes), 0 outside a wait. It lasts a millisecond past the wait's return
 * (or until a conn or channel closes on this thread), so that the
 * program's calls on what the wait found do not read again a socket the
 * wait has just found empty; after that, and for a program that never
 * waits, every read reads. A reader skips at most WAIT_ROUND_SKIPS reads
 * per socket found empty, so that a program spinning after a wait is not
 * held up for long. */
#define WAIT_ROUND_SKIPS 16
unsigned long __netlane_internal__wait_round(void);
/* 1 while net_wait's first looks run, before its poller is asked: they
 * leave unread the sockets the poller watches (it tells at once of any
 * that holds a datagram), and read only what is already filed or kept. */
int __netlane_internal__reads_deferred(void);
/* 1 while a wait's own looks or pump run on this thread: a port its round
 * found empty is not read again in them however often they ask, since the
 * wait asks its poller before it sleeps, which tells of anything that came
 * since (a port without a descriptor is read by the next pass, at most a
 * millisecond on, in a round of its own). The bound of WAIT_ROUND_SKIPS is
 * for the program's reads. */
int __netlane_internal__wait_looking(void);
/* Takes the conn or channel out of every set, waking the waits that hold
 * it; returns once none of them is using it. */
void __netlane_internal__waitset_forget_conn(NET_CONN *conn);
void __netlane_internal__waitset_forget_channel(NET_CHANNEL *chan);

#ifdef __cplusplus
}
#endif

#endif
