// The local host driver (number 2): channels between parts of one process,
// addressed by port number ("7" or ":7"). Until its channel operations are
// written the record only registers: detect answers 0, so it is never
// initialised or opened.
#include "drivers.h"

static int local_detect(void) { return 0; }
static void local_load_config(NET_DRIVER *, FILE *) {}

NET_DRIVER net_driver_local = {
  "Local Host",  /* name */
  "Local Host driver",  /* desc */
  NET_CLASS_LOCAL,  /* class */
  local_detect,  /* detect */
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
  local_load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL  /* conn_config */
};
