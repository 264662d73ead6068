// The Internet (UDP) driver records (placeholder until the driver lands).
#include "drivers.h"

static void load_config(NET_DRIVER *, FILE *) {}

NET_DRIVER net_driver_wsock_win = {"Winsock from Windows", "Internet driver", 1,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, load_config, NULL, NULL};
NET_DRIVER net_driver_sockets = {"Berkeley Sockets", "Internet driver", 1,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, load_config, NULL, NULL};
NET_DRIVER net_driver_besocks = {"BeOS Sockets", "Internet driver", 1,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, load_config, NULL, NULL};
