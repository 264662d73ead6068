/* The clock seam: the only place the library reads a platform clock. */
#ifndef NETLANE_TIMER_H
#define NETLANE_TIMER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds since the process started, as a wrapping unsigned 32-bit
 * count; what the timer hook answers unless a program installs its own. */
unsigned int __netlane_internal__default_timer(void);

#ifdef __cplusplus
}
#endif

#endif
