// The no-network driver (number 1): always present, accepts every channel and
// conn operation and moves no data. Its address text is always "(n/a)".
#include <string.h>

#include "drivers.h"

static char nonet_desc[80] = "No networking";  /* room for a longer text */

static int nonet_detect(void) { return 2; }
static int nonet_init(void) { return 0; }
static int nonet_exit(void) { return 0; }

static int nonet_init_channel(NET_CHANNEL *chan, const char *)
{
  strcpy(chan->local_addr, "(n/a)");
  return 0;
}

static int nonet_destroy_channel(NET_CHANNEL *) { return 0; }
static int nonet_update_target(NET_CHANNEL *) { return 0; }
static int nonet_send(NET_CHANNEL *, const void *, int) { return 0; }
static int nonet_recv(NET_CHANNEL *, void *, int, char *) { return 0; }
static int nonet_query(NET_CHANNEL *) { return 0; }

static int nonet_init_conn(NET_CONN *, const char *) { return 0; }
static int nonet_destroy_conn(NET_CONN *) { return 0; }
static int nonet_listen(NET_CONN *) { return -1; }
static int nonet_poll_listen(NET_CONN *, NET_CONN *) { return 0; }
static int nonet_connect(NET_CONN *, const char *) { return -1; }
static int nonet_poll_connect(NET_CONN *) { return -1; }
static int nonet_send_rdm(NET_CONN *, const void *, int) { return -1; }
static int nonet_recv_rdm(NET_CONN *, void *, int) { return -1; }
static int nonet_query_rdm(NET_CONN *) { return 0; }
static int nonet_ignore_rdm(NET_CONN *) { return 0; }

static int nonet_conn_stats(NET_CONN *, int *in_q, int *out_q)
{
  if (in_q) *in_q = 0;
  if (out_q) *out_q = 0;
  return 0;
}

static void nonet_load_config(NET_DRIVER *, FILE *) {}
static void nonet_load_conn_config(NET_DRIVER *, FILE *, const char *) {}

NET_DRIVER net_driver_nonet = {
  "No network",  /* name */
  nonet_desc,  /* desc */
  NET_CLASS_NONE,  /* class */
  nonet_detect,  /* detect */
  nonet_init,  /* init */
  nonet_exit,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  nonet_init_channel,  /* init_channel */
  nonet_destroy_channel,  /* destroy_channel */
  nonet_update_target,  /* update_target */
  nonet_send,  /* send */
  nonet_recv,  /* recv */
  nonet_query,  /* query */
  nonet_init_conn,  /* init_conn */
  nonet_destroy_conn,  /* destroy_conn */
  nonet_listen,  /* listen */
  nonet_poll_listen,  /* poll_listen */
  nonet_connect,  /* connect */
  nonet_poll_connect,  /* poll_connect */
  nonet_send_rdm,  /* send_rdm */
  nonet_recv_rdm,  /* recv_rdm */
  nonet_query_rdm,  /* query_rdm */
  nonet_ignore_rdm,  /* ignore_rdm */
  nonet_conn_stats,  /* conn_stats */
  nonet_load_config,  /* load_config */
  nonet_load_conn_config,  /* load_conn_config */
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};
