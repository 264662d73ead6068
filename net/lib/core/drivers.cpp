// The driver registry: driver numbers to records, newest registration first,
// with the built-in table and automatic numbering.
#include <stdlib.h>

#include "connhelp.h"
#include "drivers.h"
#include "internal.h"

typedef struct driver_table_entry {
  int num;
  NET_DRIVER *driver;
  struct driver_table_entry *next;
} driver_table_entry;

static driver_table_entry *driver_table = NULL;

NET_DRIVERLIST net_drivers_all = NULL;

// A record without conn operations of its own gets the wrapper driver's,
// which build conns out of the record's channels.
static void give_wrapper_conns(NET_DRIVER *driver)
{
  if (driver->init_conn) return;
  const NET_DRIVER *w = &__netlane_internal__wrapper_driver;
  driver->init_conn = w->init_conn;
  driver->destroy_conn = w->destroy_conn;
  driver->listen = w->listen;
  driver->poll_listen = w->poll_listen;
  driver->connect = w->connect;
  driver->poll_connect = w->poll_connect;
  driver->send_rdm = w->send_rdm;
  driver->recv_rdm = w->recv_rdm;
  driver->query_rdm = w->query_rdm;
  driver->ignore_rdm = w->ignore_rdm;
  driver->conn_stats = w->conn_stats;
  driver->load_conn_config = w->load_conn_config;
}

static NET_DRIVERLIST class_set(NET_DRIVER *driver)
{
  int cls = NET_DRIVER_CLASS(driver);
  if (cls < 0 || cls >= NET_MAX_CLASSES) return NULL;
  return net_classes[cls].drivers;
}

/* The number the driver is now registered under; 0 when no automatic number
 * is free, the number lies outside 0..31, the library is down or memory ran
 * out. Registering a number again shadows the older record. */
int net_register_driver(int num, NET_DRIVER *driver)
{
  if (!driver) return 0;
  give_wrapper_conns(driver);

  if (!net_drivers_all || num < 0 || num > 31) return 0;
  if (num == 0) {
    for (int n = 8; n <= 15; n++) {
      if (!net_driverlist_test(net_drivers_all, n)) {
        num = n;
        break;
      }
    }
    if (num == 0) return 0;
  }

  // Remember what the sets held so a failed allocation leaves them as they were.
  int was_all = net_driverlist_test(net_drivers_all, num);
  NET_DRIVERLIST cls = class_set(driver);
  int was_cls = net_driverlist_test(cls, num);
  net_driverlist_add(net_drivers_all, num);
  net_driverlist_add(cls, num);

  driver_table_entry *entry = static_cast<driver_table_entry *>(malloc(sizeof *entry));
  if (!entry) {
    if (!was_all) net_driverlist_remove(net_drivers_all, num);
    if (!was_cls) net_driverlist_remove(cls, num);
    return 0;
  }
  entry->num = num;
  entry->driver = driver;
  entry->next = driver_table;
  driver_table = entry;
  return num;
}

NET_DRIVER *__netlane_internal__get_driver(int num)
{
  for (driver_table_entry *e = driver_table; e; e = e->next)
    if (e->num == num) return e->driver;
  return NULL;
}

int __netlane_internal__get_driver_by_ptr(NET_DRIVER *ptr)
{
  for (driver_table_entry *e = driver_table; e; e = e->next)
    if (e->driver == ptr) return e->num;
  return -1;
}

int net_driver_class(int drvid)
{
  NET_DRIVER *driver = __netlane_internal__get_driver(drvid);
  return driver ? NET_DRIVER_CLASS(driver) : -1;
}

/* One row per registered member of `which`, ascending, then {-1, NULL};
 * the caller frees the array with free(). NULL when memory ran out.
 * Unregistered numbers get no row, so a NULL name only ever ends the array. */
NET_DRIVERNAME *net_getdrivernames(NET_DRIVERLIST which)
{
  int count = net_driverlist_count(which);
  NET_DRIVERNAME *names = static_cast<NET_DRIVERNAME *>(malloc((count + 1) * sizeof *names));
  if (!names) return NULL;
  int row = 0;
  for (int n = 0; n <= 31 && row < count; n++) {
    if (!net_driverlist_test(which, n)) continue;
    NET_DRIVER *driver = __netlane_internal__get_driver(n);
    if (!driver) continue;
    names[row].num = n;
    names[row].name = driver->name;
    row++;
  }
  names[row].num = -1;
  names[row].name = NULL;
  return names;
}

// The built-in drivers in the order they are registered.
static const struct {
  int num;
  NET_DRIVER *driver;
} builtin[] = {
  {NET_DRIVER_NONET, &net_driver_nonet},
  {NET_DRIVER_LOCAL, &net_driver_local},
  {NET_DRIVER_WSOCK_DOS, &net_driver_wsock_dos},
  {NET_DRIVER_WSOCK_WIN, &net_driver_wsock_win},
  {NET_DRIVER_SOCKETS, &net_driver_sockets},
  {NET_DRIVER_IPX_DOS, &net_driver_ipx_dos},
  {NET_DRIVER_IPX_WIN, &net_driver_ipx_win},
  {NET_DRIVER_IPX_LINUX, &net_driver_ipx_linux},
  {NET_DRIVER_SERIAL_DOS, &net_driver_serial_dos},
  {NET_DRIVER_SERIAL_LINUX, &net_driver_serial_linux},
  {NET_DRIVER_SERIAL_BEOS, &net_driver_serial_beos},
  {NET_DRIVER_BESOCKS, &net_driver_besocks},
};

void __netlane_internal__drivers_init(void)
{
  driver_table = NULL;
  for (const auto &b : builtin) net_register_driver(b.num, b.driver);
}

/* Forgets the registry and puts the built-in drivers' settings back to their
 * defaults, so that a file read before does not outlive the start it was
 * read in. The conn settings are the ones the wrapper made; records the
 * program registered are its own and are not touched: they need not even
 * exist any more. */
void __netlane_internal__drivers_exit(void)
{
  while (driver_table) {
    driver_table_entry *next = driver_table->next;
    free(driver_table);
    driver_table = next;
  }
  for (const auto &b : builtin) {
    free(b.driver->conn_config);
    b.driver->conn_config = NULL;
  }
  __netlane_internal__inet_default_settings();
  __netlane_internal__local_default_settings();
  __netlane_internal__ipx_default_settings();
}
