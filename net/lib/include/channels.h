/* The open-channel list that net_shutdown walks. */
#ifndef NETLANE_CHANNELS_H
#define NETLANE_CHANNELS_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __channel_list_t {
  struct __channel_list_t *next;
  NET_CHANNEL *chan;
} __channel_list_t;

/* Dummy head node, then one node per open channel, newest first. */
extern __channel_list_t *__netlane_internal__openchannels;
extern void *__netlane_internal__openchannels_mutex;

#ifdef __cplusplus
}
#endif

#endif
