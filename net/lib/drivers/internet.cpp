// The Internet (UDP) driver records (placeholder until the driver lands).
#include "drivers.h"

static void load_config(NET_DRIVER *, FILE *) {}

NET_DRIVER net_driver_wsock_win = {
  "Winsock from Windows",  /* name */
  "Internet driver",  /* desc */
  1,  /* class */
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
  load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};

NET_DRIVER net_driver_sockets = {
  "Berkeley Sockets",  /* name */
  "Internet driver",  /* desc */
  1,  /* class */
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
  load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};

NET_DRIVER net_driver_besocks = {
  "BeOS Sockets",  /* name */
  "Internet driver",  /* desc */
  1,  /* class */
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
  load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};
