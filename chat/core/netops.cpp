// The conn operations of a real chat: netlane's.
#include "netops.h"

chat_net chat_net_ops = {
  net_send_rdm,     /* send */
  net_receive_rdm,  /* receive */
  net_query_rdm,    /* query */
  net_ignore_rdm,   /* ignore */
  net_closeconn,    /* close */
  net_poll_listen,  /* poll_listen */
  net_conn_figures, /* figures */
};
