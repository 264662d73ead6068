/* The open-conn list that net_shutdown walks. */
#ifndef NETLANE_CONNS_H
#define NETLANE_CONNS_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __conn_list_t {
  struct __conn_list_t *next;
  NET_CONN *conn;
} __conn_list_t;

/* Dummy head node, then one node per open conn, newest first. */
extern __conn_list_t *__netlane_internal__openconns;
extern void *__netlane_internal__openconns_mutex;

#ifdef __cplusplus
}
#endif

#endif
