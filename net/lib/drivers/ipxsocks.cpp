// The IPX drivers: the working one (number 7) and the Linux placeholder
// (number 8). Until the IPX transport is written both records only
// register: detect answers 0, so neither is ever initialised or opened.
#include "drivers.h"

static int detect(void) { return 0; }
static void load_config(NET_DRIVER *, FILE *) {}

static int dummy_detect(void) { return 0; }
static void dummy_load_config(NET_DRIVER *, FILE *) {}

NET_DRIVER net_driver_ipx_win = {
  "IPX in Windows",  /* name */
  "IPX driver",  /* desc */
  NET_CLASS_IPX,  /* class */
  detect,  /* detect */
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
  load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};

NET_DRIVER net_driver_ipx_linux = {
  "IPX in Linux",  /* name */
  "IPX driver",  /* desc */
  NET_CLASS_IPX,  /* class */
  dummy_detect,  /* detect */
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
  dummy_load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};
