/* The built-in driver records, each filled by its own driver source, and
 * the routines that put their settings back to the defaults. */
#ifndef NETLANE_DRIVERS_H
#define NETLANE_DRIVERS_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

extern NET_DRIVER net_driver_nonet;
extern NET_DRIVER net_driver_local;
extern NET_DRIVER net_driver_wsock_dos;
extern NET_DRIVER net_driver_wsock_win;
extern NET_DRIVER net_driver_sockets;
extern NET_DRIVER net_driver_ipx_dos;
extern NET_DRIVER net_driver_ipx_win;
extern NET_DRIVER net_driver_ipx_linux;
extern NET_DRIVER net_driver_serial_dos;
extern NET_DRIVER net_driver_serial_linux;
extern NET_DRIVER net_driver_serial_beos;
extern NET_DRIVER net_driver_besocks;

/* The Internet driver's "port", "forceport", "ip" and "disable" as before
 * any configuration file was read. */
void __netlane_internal__inet_default_settings(void);
/* The same for the local driver's "disable" and the IPX driver's "socket",
 * "port", "forceport", "address" and "disable". */
void __netlane_internal__local_default_settings(void);
void __netlane_internal__ipx_default_settings(void);

#ifdef __cplusplus
}
#endif

#endif
