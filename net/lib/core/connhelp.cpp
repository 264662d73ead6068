// The wrapper driver (placeholder: no conn operations until it lands).
#include "connhelp.h"

NET_DRIVER __netlane_internal__wrapper_driver = {
  "Wrapper driver",  /* name */
  NULL,  /* desc */
  0,  /* class */
  NULL,  /* detect */
  NULL,  /* init */
  NULL,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  NULL,  /* init_channel */
  NULL,  /* destroy_channel */
  NULL,  /* update_target */
  NULL,  /* send */
  NULL,  /* recv */
  NULL,  /* query */
  NULL,  /* init_conn */
  NULL,  /* destroy_conn */
  NULL,  /* listen */
  NULL,  /* poll_listen */
  NULL,  /* connect */
  NULL,  /* poll_connect */
  NULL,  /* send_rdm */
  NULL,  /* recv_rdm */
  NULL,  /* query_rdm */
  NULL,  /* ignore_rdm */
  NULL,  /* conn_stats */
  NULL,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};
