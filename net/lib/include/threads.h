/* The threads seam: the only place the library starts threads. The default
 * mutex routines behind the mutex hooks live in threads.cpp as well. */
#ifndef NETLANE_THREADS_H
#define NETLANE_THREADS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a detached thread running body(arg); nobody joins it.
 * 0: started; -1: the thread could not be started. */
int __netlane_internal__thread_start(void (*body)(void *arg), void *arg);

#ifdef __cplusplus
}
#endif

#endif
