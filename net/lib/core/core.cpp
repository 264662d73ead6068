// Library start and stop, and detection and initialisation of drivers with
// the three bookkeeping sets.
#include <stdlib.h>
#include <string.h>

#include "internal.h"
#include "prepare.h"

static int initialised = 0;
static int done_atexit = 0;

static NET_DRIVERLIST detected_drivers = NULL;     // detected since net_init
static NET_DRIVERLIST temp_detected_list = NULL;   // detected by the latest call
static NET_DRIVERLIST initialised_drivers = NULL;  // init answered 0, not yet shut down

static void exitfunc(void)
{
  net_shutdown();
}

/* 0: up (also when it was up already); 1: the exit routine could not be
 * registered and the library has been shut down again. */
int net_init(void)
{
  if (initialised) return 0;
  initialised = 1;

  if (!__netlane_internal__mutex_create) net_set_mutex_funcs(NULL, NULL, NULL, NULL);
  if (!__netlane_timer_func) net_set_timer_func(NULL);
  __netlane_timer_func();

  detected_drivers = net_driverlist_create();
  initialised_drivers = net_driverlist_create();
  temp_detected_list = net_driverlist_create();
  net_drivers_all = net_driverlist_create();

  __netlane_internal__classes_init();
  __netlane_internal__drivers_init();
  __netlane_internal__channels_init();
  __netlane_internal__conns_init();

  if (!done_atexit) {
    if (atexit(exitfunc) != 0) {
      exitfunc();
      return 1;
    }
    done_atexit = 1;
  }
  return 0;
}

static int exit_driver(int num, void *)
{
  NET_DRIVER *driver = __netlane_internal__get_driver(num);
  if (driver && driver->exit) driver->exit();
  return 0;
}

/* 0: shut down; 1: the library was not up. Closes conns, then channels,
 * ends address preparations, stops every initialised driver, and forgets
 * registry, sets, settings and hooks. */
int net_shutdown(void)
{
  if (!initialised) return 1;

  __netlane_internal__conns_exit();
  __netlane_internal__channels_exit();
  __netlane_internal__prepare_exit();

  net_driverlist_foreach(initialised_drivers, exit_driver, NULL);
  net_driverlist_clear(initialised_drivers);

  __netlane_internal__drivers_exit();
  __netlane_internal__classes_exit();

  net_driverlist_destroy(detected_drivers);
  net_driverlist_destroy(temp_detected_list);
  net_driverlist_destroy(initialised_drivers);
  net_driverlist_destroy(net_drivers_all);
  detected_drivers = temp_detected_list = initialised_drivers = net_drivers_all = NULL;

  // The next net_init installs the defaults again unless the program
  // installs its own first.
  __netlane_internal__mutex_create = NULL;
  __netlane_timer_func = NULL;

  initialised = 0;
  return 0;
}

static int detect_one(int num, void *)
{
  NET_DRIVER *driver = __netlane_internal__get_driver(num);
  if (driver && driver->detect && driver->detect()) {
    net_driverlist_add(detected_drivers, num);
    net_driverlist_add(temp_detected_list, num);
  }
  return 0;
}

/* The members of `which` that this call detected (the library's own set,
 * not the caller's to destroy); NULL while the library is down. */
NET_DRIVERLIST net_detectdrivers(NET_DRIVERLIST which)
{
  if (!initialised) return NULL;
  net_driverlist_clear(temp_detected_list);
  net_driverlist_foreach(which, detect_one, NULL);
  return temp_detected_list;
}

/* 1 if this call detected driver `which`, else 0. */
int net_detectdriver(int which)
{
  NET_DRIVERLIST one = net_driverlist_create();
  if (!one) return 0;
  net_driverlist_add(one, which);
  NET_DRIVERLIST found = net_detectdrivers(one);
  net_driverlist_destroy(one);
  return net_driverlist_test(found, which);
}

static int init_one(int num, void *)
{
  NET_DRIVER *driver = __netlane_internal__get_driver(num);
  if (driver && driver->init && driver->init() == 0)
    net_driverlist_add(initialised_drivers, num);
  return 0;
}

/* Detects the members of `which` not detected yet, then initialises those
 * detected and not yet initialised. Answers the library's set of all
 * initialised drivers (not the caller's to destroy); NULL while down. */
NET_DRIVERLIST net_initdrivers(NET_DRIVERLIST which)
{
  if (!initialised) return NULL;

  NET_DRIVERLIST fresh = net_driverlist_create();
  if (!fresh) return initialised_drivers;
  net_driverlist_add_list(fresh, which);
  net_driverlist_remove_list(fresh, detected_drivers);
  net_detectdrivers(fresh);

  // The candidates: named, detected, not yet initialised.
  net_driverlist_clear(fresh);
  net_driverlist_add_list(fresh, which);
  if (detected_drivers) *fresh &= *detected_drivers;
  else net_driverlist_clear(fresh);
  net_driverlist_remove_list(fresh, initialised_drivers);
  net_driverlist_foreach(fresh, init_one, NULL);

  net_driverlist_destroy(fresh);
  return initialised_drivers;
}

/* 1 if driver `which` is initialised after the call, else 0. */
int net_initdriver(int which)
{
  NET_DRIVERLIST one = net_driverlist_create();
  if (!one) return 0;
  net_driverlist_add(one, which);
  net_initdrivers(one);
  net_driverlist_destroy(one);
  return net_driverlist_test(initialised_drivers, which);
}

void __netlane_internal__copy_address(char *dest, const char *src)
{
  if (!src) {
    dest[0] = '\0';
    return;
  }
  size_t len = strnlen(src, NET_MAX_ADDRESS_LENGTH - 1);
  // memmove: a caller may hand a channel its own target text, or a part of it.
  memmove(dest, src, len);
  dest[len] = '\0';
}
