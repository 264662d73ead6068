/* The wrapper driver that builds reliable conns out of a driver's channels,
 * and the per-driver conn settings it reads. */
#ifndef NETLANE_CONNHELP_H
#define NETLANE_CONNHELP_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

struct conn_config {
  int outqueue_size;  /* slots of the out queue, a power of two */
  int inqueue_size;   /* slots of the in queue, a power of two */
  int resend_rate;    /* ms between transmissions of one unacknowledged message */
};

extern NET_DRIVER __netlane_internal__wrapper_driver;

#ifdef __cplusplus
}
#endif

#endif
