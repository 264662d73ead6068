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
/* Takes the conn or channel out of every set, waking the waits that hold
 * it; returns once none of them is using it. */
void __netlane_internal__waitset_forget_conn(NET_CONN *conn);
void __netlane_internal__waitset_forget_channel(NET_CHANNEL *chan);

#ifdef __cplusplus
}
#endif

#endif
