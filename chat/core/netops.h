// The conn operations the chat uses, called through one record so that
// tests can run the chat over conns of their own making.
#ifndef YAMMER_NETOPS_H
#define YAMMER_NETOPS_H

#include "netlane.h"

typedef struct chat_net_typ {
  int (*send)(NET_CONN *conn, const void *buffer, int size);   // net_send_rdm
  int (*receive)(NET_CONN *conn, void *buffer, int maxsize);   // net_receive_rdm
  int (*query)(NET_CONN *conn);                                // net_query_rdm
  int (*ignore)(NET_CONN *conn);                               // net_ignore_rdm
  int (*close)(NET_CONN *conn);                                // net_closeconn
  NET_CONN *(*poll_listen)(NET_CONN *conn);                    // net_poll_listen
  int (*figures)(NET_CONN *conn, NET_CONN_FIGURES *figures);   // net_conn_figures
} chat_net;

extern chat_net chat_net_ops;

#endif
