// Placeholder record of the DOS IPX driver (number 6): registered so its
// number, name and class are listed, never detected on this system.
#include "drivers.h"

static int detect(void) { return 0; }
static void load_config(NET_DRIVER *, FILE *) {}

NET_DRIVER net_driver_ipx_dos = {
  "IPX from DOS",  /* name */
  "Dummy driver",  /* desc */
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
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};
