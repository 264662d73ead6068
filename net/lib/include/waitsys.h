/* The seam to the operating system's ways of sleeping until a descriptor is
 * readable, of the wakers (descriptors another thread makes readable)
 * that net_wait, net_wake and the local driver use, and of letting the
 * processor go. */
#ifndef NETLANE_WAITSYS_H
#define NETLANE_WAITSYS_H

#ifdef __cplusplus
extern "C" {
#endif

/* A new waker, not signalled: its descriptor, or -1 when none can be made. */
int __netlane_internal__waker_open(void);
void __netlane_internal__waker_close(int waker);
/* Makes the waker readable; safe from any thread, never blocks. */
void __netlane_internal__waker_signal(int waker);
/* Makes the waker unreadable again: 1 it had been signalled, 0 not. */
int __netlane_internal__waker_clear(int waker);

/* Sleeps until one of `fds` (negative entries are passed over) is readable
 * or `timeout_ms` passed (negative: no limit). Answers how many are
 * readable, 0 on time-out or an interrupted sleep. With no descriptors it
 * simply sleeps. */
int __netlane_internal__wait_readable(const int *fds, int nfds, int timeout_ms);

/* The readiness interface for many descriptors: a poller, each descriptor
 * registered once. open: the poller's descriptor, or -1. add and remove: 0
 * done, -1 refused. wait: sleeps until registered descriptors are readable
 * or `timeout_ms` passed (negative: no limit) and writes up to `max`
 * readable ones into `fds`: how many, 0 on time-out or an interrupted
 * sleep. */
int __netlane_internal__poller_open(void);
void __netlane_internal__poller_close(int poller);
int __netlane_internal__poller_add(int poller, int fd);
int __netlane_internal__poller_remove(int poller, int fd);
int __netlane_internal__poller_wait(int poller, int *fds, int max, int timeout_ms);

/* Lets the other runnable threads of this processor go first. */
void __netlane_internal__yield(void);

#ifdef __cplusplus
}
#endif

#endif
