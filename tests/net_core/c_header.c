/* The public header compiled as C99 with -pedantic and linked against the
 * library: the types, the `class` field and the C linkage all hold. */
#include <stdlib.h>
#include <string.h>

#include "netlane.h"

static int visits;

static int count_visit(int driver, void *dat)
{
  (void)driver;
  (void)dat;
  visits++;
  return 0;
}

int main(void)
{
  NET_DRIVERLIST want;
  NET_DRIVERNAME *names;
  NET_CHANNEL *chan;
  NET_CONN *conn;
  NET_CONN_FIGURES figures;
  NET_PREPADDR_DATA prep;
  int failures = 0;

  if (net_init() != 0) return 1;
  want = net_driverlist_create();
  net_driverlist_add(want, NET_DRIVER_NONET);
  if (!net_driverlist_test(net_initdrivers(want), NET_DRIVER_NONET)) failures++;
  if (net_driverlist_foreach(net_drivers_all, count_visit, NULL) != 1 || visits != 12) failures++;

  names = net_getdrivernames(want);
  if (!names || names[0].num != 1 || strcmp(names[0].name, "No network") != 0 || names[1].num != -1) failures++;
  free(names);
  net_driverlist_destroy(want);

  if (net_driver_class(NET_DRIVER_WSOCK_WIN) != NET_CLASS_INTERNET) failures++;
  if (strcmp(net_classes[NET_CLASS_IPX].name, "IPX") != 0) failures++;

  chan = net_openchannel(NET_DRIVER_NONET, NULL);
  if (!chan || chan->driver->class != NET_CLASS_NONE) failures++;
  if (chan && strcmp(net_getlocaladdress(chan), "(n/a)") != 0) failures++;
  conn = net_openconn(NET_DRIVER_NONET, NULL);
  if (!conn || conn->status != NET_CONN_IDLE || net_connect(conn, "x") != -1) failures++;
  /* Figures come from conns of the reliable-delivery layer only. */
  if (net_conn_figures(conn, &figures) != -1) failures++;

  memset(&prep, 0, sizeof prep);
  if (net_cancel_prepareaddress(&prep) != -1) failures++;  /* nothing under way */

  /* The channel and conn are left open: shutdown closes them. */
  if (net_shutdown() != 0) failures++;
  return failures;
}
