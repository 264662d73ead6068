// Driver classes: sixteen slots, five of them named, each with the set of
// registered drivers of that class while the library is up.
#include "internal.h"

NET_CLASS net_classes[NET_MAX_CLASSES] = {
  { "None", NULL, NULL },      /* NET_CLASS_NONE */
  { "Internet", NULL, NULL },  /* NET_CLASS_INTERNET */
  { "IPX", NULL, NULL },       /* NET_CLASS_IPX */
  { "Serial", NULL, NULL },    /* NET_CLASS_SERIAL */
  { "Local", NULL, NULL },     /* NET_CLASS_LOCAL */
};

void __netlane_internal__classes_init(void)
{
  for (int i = 0; i < NET_MAX_CLASSES; i++)
    if (net_classes[i].name) net_classes[i].drivers = net_driverlist_create();
}

void __netlane_internal__classes_exit(void)
{
  for (int i = 0; i < NET_MAX_CLASSES; i++) {
    net_driverlist_destroy(net_classes[i].drivers);
    net_classes[i].drivers = NULL;
  }
}
