/* Address preparation on worker threads, for drivers whose preparation is
 * one blocking routine (a host-name lookup): starting, collecting and
 * ending requests, whatever the driver. */
#ifndef NETLANE_PREPARE_H
#define NETLANE_PREPARE_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The blocking part of a preparation: `src` is a terminated text of at most
 * 127 characters; `dest` has room for 127 and the NUL. 0: dest holds the
 * prepared text; nonzero: failed. */
typedef int (*prepare_func_t)(const char *src, char *dest);

/* Starts `prepare` on d->src (its first 127 characters) on a worker thread
 * and numbers the request in d->driver_data: 0 started; -1 no d or no dest,
 * no memory, no thread, or 64 workers still running. The worker touches
 * only the library's copy of the request, never `d` or its dest. */
int __netlane_internal__prepare_start(NET_PREPADDR_DATA *d, prepare_func_t prepare);

/* 0 still running; 1 done, d->dest filled; -1 failed, or no such request
 * (never started, collected or cancelled before, or ended by net_shutdown).
 * A nonzero answer ends the request. */
int __netlane_internal__prepare_poll(NET_PREPADDR_DATA *d);

/* Ends every request still under way: their workers' answers are dropped
 * and later polls answer -1. Called by net_shutdown. */
void __netlane_internal__prepare_exit(void);

/* Workers still running, those of ended requests included. */
int __netlane_internal__prepare_workers(void);

#ifdef __cplusplus
}
#endif

#endif
