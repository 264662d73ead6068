// The wrapper driver (placeholder: no conn operations until it lands).
#include "connhelp.h"

NET_DRIVER __netlane_internal__wrapper_driver = {"Wrapper driver", NULL, 0,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};
