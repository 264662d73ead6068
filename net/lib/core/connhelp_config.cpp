// Conn settings of the wrapper driver: the defaults, and the reader of the
// three conn keys that every driver with wrapper conns takes from "conns"
// and then from its own section, e.g.
//   [conns]
//   conn_outqueue_size = 32     (rounded up to a power of two, at most 4096)
//   conn_resend_rate = 200
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "config.h"
#include "connhelp.h"

static const struct conn_config conn_config_default = {
  16,   /* outqueue_size */
  16,   /* inqueue_size */
  500   /* resend_rate */
};


const struct conn_config *__netlane_internal__get_conn_config(NET_DRIVER *drv)
{
  if (drv && drv->conn_config) return drv->conn_config;
  return &conn_config_default;
}

/* The smallest power of two not below the decimal value (0 and 1 give 1),
 * at most CONN_MAX_QUEUE_SIZE: every protocol step walks the whole out queue,
 * so a huge one would slow every conn down. `fallback` for a negative value. */
static int queue_size(const char *value, int fallback)
{
  long n = strtol(value, NULL, 10);
  if (n < 0) return fallback;
  if (n > CONN_MAX_QUEUE_SIZE) return CONN_MAX_QUEUE_SIZE;
  long size = 1;
  while (size < n) size <<= 1;
  return (int)size;
}

/* The decimal value, kept within an int; 0 or text that is no number gives
 * `fallback`. */
static int resend_rate(const char *value, int fallback)
{
  long n = strtol(value, NULL, 10);
  if (n == 0) return fallback;
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return (int)n;
}

void __netlane_internal__load_conn_config(NET_DRIVER *drv, FILE *fp, const char *section)
{
  if (!drv) return;
  if (!drv->conn_config) {
    struct conn_config *cfg = static_cast<struct conn_config *>(malloc(sizeof *cfg));
    if (!cfg) return;
    *cfg = conn_config_default;
    drv->conn_config = cfg;
  }
  if (!fp || !section || __netlane_internal__seek_section(fp, section) != 0) return;

  struct conn_config *cfg = drv->conn_config;
  char *option;
  char *value;
  while (__netlane_internal__get_setting(fp, &option, &value) == 0) {
    if (strcmp(option, "conn_outqueue_size") == 0) {
      cfg->outqueue_size = queue_size(value, conn_config_default.outqueue_size);
    } else if (strcmp(option, "conn_inqueue_size") == 0) {
      cfg->inqueue_size = queue_size(value, conn_config_default.inqueue_size);
    } else if (strcmp(option, "conn_resend_rate") == 0) {
      cfg->resend_rate = resend_rate(value, conn_config_default.resend_rate);
    }
  }
}
