// Driver sets: one heap cell holding a 32-bit mask, bit n for driver n.
#include <stdlib.h>

#include "internal.h"

// Numbers outside 0..31 have no bit; shifting by them would be undefined,
// so they are never members and adding or removing them changes nothing.
static unsigned int bit_of(int driver)
{
  if (driver < 0 || driver > 31) return 0;
  return 1u << driver;
}

NET_DRIVERLIST net_driverlist_create(void)
{
  NET_DRIVERLIST list = static_cast<NET_DRIVERLIST>(malloc(sizeof *list));
  if (list) *list = 0;
  return list;
}

void net_driverlist_destroy(NET_DRIVERLIST list)
{
  free(list);
}

int net_driverlist_clear(NET_DRIVERLIST list)
{
  if (!list) return 0;
  *list = 0;
  return 1;
}

int net_driverlist_add(NET_DRIVERLIST list, int driver)
{
  if (!list) return 0;
  *list |= bit_of(driver);
  return 1;
}

int net_driverlist_remove(NET_DRIVERLIST list, int driver)
{
  if (!list) return 0;
  *list &= ~bit_of(driver);
  return 1;
}

int net_driverlist_test(NET_DRIVERLIST list, int driver)
{
  if (!list) return 0;
  return (*list & bit_of(driver)) ? 1 : 0;
}

// Walks a copy of the mask taken at the start, so a callback may edit the
// set without changing which numbers it is called for.
int net_driverlist_foreach(NET_DRIVERLIST list, int (*func)(int driver, void *dat), void *dat)
{
  if (!list || !func) return 1;
  unsigned int left = *list;
  for (int n = 0; left != 0; n++) {
    unsigned int bit = 1u << n;
    if (!(left & bit)) continue;
    left &= ~bit;
    if (func(n, dat)) return 0;
  }
  return 1;
}

static int count_one(int, void *dat)
{
  ++*static_cast<int *>(dat);
  return 0;
}

static int add_one(int driver, void *dat)
{
  net_driverlist_add(static_cast<NET_DRIVERLIST>(dat), driver);
  return 0;
}

static int remove_one(int driver, void *dat)
{
  net_driverlist_remove(static_cast<NET_DRIVERLIST>(dat), driver);
  return 0;
}

int net_driverlist_count(NET_DRIVERLIST list)
{
  int count = 0;
  net_driverlist_foreach(list, count_one, &count);
  return count;
}

int net_driverlist_add_list(NET_DRIVERLIST list1, NET_DRIVERLIST list2)
{
  if (!list1) return 0;
  net_driverlist_foreach(list2, add_one, list1);
  return 1;
}

int net_driverlist_remove_list(NET_DRIVERLIST list1, NET_DRIVERLIST list2)
{
  if (!list1) return 0;
  net_driverlist_foreach(list2, remove_one, list1);
  return 1;
}
