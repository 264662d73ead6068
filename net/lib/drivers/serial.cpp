// Placeholder records of the serial-port drivers (numbers 9, 11 and 12):
// registered so their numbers, names and class are listed, never detected.
#include "drivers.h"

static int dummy_detect(void) { return 0; }
static void dummy_load_config(NET_DRIVER *, FILE *) {}

NET_DRIVER net_driver_serial_dos = {
  "Serial ports in DOS",  /* name */
  "Dummy driver",  /* desc */
  NET_CLASS_SERIAL,  /* class */
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
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};

NET_DRIVER net_driver_serial_linux = {
  "Serial ports in Linux",  /* name */
  "Dummy driver",  /* desc */
  NET_CLASS_SERIAL,  /* class */
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
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};

NET_DRIVER net_driver_serial_beos = {
  "Serial ports in BeOS",  /* name */
  "Dummy driver",  /* desc */
  NET_CLASS_SERIAL,  /* class */
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
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};
