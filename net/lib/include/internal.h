/* Names shared inside the network library: hooks, registry look-ups and the
 * pieces that net_init and net_shutdown bring up and down. */
#ifndef NETLANE_INTERNAL_H
#define NETLANE_INTERNAL_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Mutex hooks: a mutex is an opaque handle made by the create hook. */
extern void (*__netlane_internal__mutex_create)(void **mutex);
extern void (*__netlane_internal__mutex_destroy)(void *mutex);
extern void (*__netlane_internal__mutex_lock)(void *mutex);
extern void (*__netlane_internal__mutex_unlock)(void *mutex);

/* Timer hook: milliseconds, wrapping unsigned 32-bit; compare differences. */
extern unsigned int (*__netlane_timer_func)(void);

/* The timer's time, read once for a stretch of work on this thread: between
 * time_hold and time_release (which nest) now answers the time the
 * outermost hold read, elsewhere the timer's. One wake's looks and reads
 * then reckon one time instead of asking the clock for each. */
void __netlane_internal__time_hold(void);
void __netlane_internal__time_release(void);
unsigned int __netlane_internal__now(void);
/* The monotonic clock in nanoseconds (std::chrono::steady_clock's count),
 * for what the library reckons on the real clock: read once by a hold
 * while the timer is the default one (which counts the same clock), else
 * asked afresh. time_hold_at is time_hold with the clock just read, so
 * that a wait that has read it already need not ask again. */
long long __netlane_internal__clock(void);
void __netlane_internal__time_hold_at(long long clock);

/* Registry look-ups: the newest entry wins. */
NET_DRIVER *__netlane_internal__get_driver(int num);
int __netlane_internal__get_driver_by_ptr(NET_DRIVER *ptr);

void __netlane_internal__classes_init(void);
void __netlane_internal__classes_exit(void);
void __netlane_internal__drivers_init(void);
void __netlane_internal__drivers_exit(void);
void __netlane_internal__channels_init(void);
void __netlane_internal__channels_exit(void);
void __netlane_internal__conns_init(void);
void __netlane_internal__conns_exit(void);

/* The descriptors net_wait sleeps on for `chan`, through its driver's
 * wait_fds slot: how many were written (at most `max`); 0 none. */
int __netlane_internal__channel_wait_fds(NET_CHANNEL *chan, int *fds, int max);

/* Copies at most NET_MAX_ADDRESS_LENGTH - 1 characters and always ends the
 * text, so an overlong address is cut instead of overrunning a field. */
void __netlane_internal__copy_address(char *dest, const char *src);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
/* The time held for a scope (see __netlane_internal__time_hold). */
struct netlane_time_held {
  netlane_time_held() { __netlane_internal__time_hold(); }
  ~netlane_time_held() { __netlane_internal__time_release(); }
  netlane_time_held(const netlane_time_held &) = delete;
  netlane_time_held &operator=(const netlane_time_held &) = delete;
};
#endif

/* The C field `class` of NET_DRIVER, read and written the same way from
 * C and C++ sources of the library. */
#ifdef __cplusplus
#define NET_DRIVER_CLASS(drv) ((drv)->class_)
#else
#define NET_DRIVER_CLASS(drv) ((drv)->class)
#endif

#endif
