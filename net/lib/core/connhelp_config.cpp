// Conn settings of the wrapper driver: the defaults, and the reader of the
// conn keys that every driver with wrapper conns takes from "conns" and then
// from its own section, e.g.
//   [conns]
//   conn_outqueue_size = 32     slots of the out queue (a power of two,
//                               at most 4096)
//   conn_inqueue_size = 32      slots of the in queue (a power of two)
//                               Either size given keeps both queues at
//                               their sizes; left out, both start at 16 and
//                               grow up to 256 slots as a stream needs,
//                               when the peer is a netlane end that agrees
//   conn_resend_rate = 200      ms between transmissions of a message, or
//   conn_resend_rate = auto     a wait that follows the measured round trip,
//                               at most 500 ms ("auto 200": at most 200)
//   conn_resend_floor = 2       ms, the shortest wait of "auto"
//   conn_max_in_flight = 65536  bytes sent and unacknowledged before a new
//                               message waits (less also keeps the queues
//                               at their sizes)
//   conn_max_silent_per_address = 4  conns a listener holds for one host
//                               before their peer has sent a message (one
//                               IPv4 address, or one IPv6 /64)
//   conn_max_silent_per_network = 16  such conns for one IPv4 /24 or IPv6 /48
//   conn_max_silent = 64        such conns for all hosts together
//   conn_keepalive = 1000       ms a connected conn stays idle before it
//                               sends a keep-alive, 0 for none; unset, one
//                               end of a netlane pair (the host's, on a
//                               shared beat, unless the client set it)
//                               sends one every 5000 ms while answered
//   conn_dead_after = 10000     ms the oldest unacknowledged message may
//                               wait before the peer counts as gone and
//                               nothing more is sent to it, 0 for never
// Resend rates of 0 or below give the default; above 60000 they are 60000.
// A reader that knows only the first three keys takes "auto" for 500.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "config.h"
#include "conn_wire.h"
#include "connhelp.h"
#include "decimal.h"

static const struct conn_config conn_config_default = {
  16,     /* outqueue_size */
  16,     /* inqueue_size */
  500,    /* resend_rate */
  0,      /* resend_auto */
  2,      /* resend_floor */
  65536,  /* max_in_flight */
  4,      /* max_silent_per_address */
  64,     /* max_silent */
  CONN_KEEPALIVE_AUTO,  /* keepalive */
  10000,  /* dead_after */
  16,     /* max_silent_per_network */
  CONN_WIDE_SLOTS  /* queue_grow */
};


unsigned __netlane_internal__conn_offered(const struct conn_config *cfg, int roomy)
{
  unsigned features = __netlane_internal__conn_features;
  // Its peer then waits for a quarter of the default bytes in flight
  // before acknowledging: a lower bound here would stall on it.
  if (!cfg || cfg->queue_grow <= 0 || !roomy ||
      (cfg->max_in_flight > 0 && cfg->max_in_flight < conn_config_default.max_in_flight))
    features &= ~WIRE_FEATURE_WIDE_WINDOWS;
  // A keep-alive wait the program set is kept to by its own end.
  if (cfg && cfg->keepalive != CONN_KEEPALIVE_AUTO) features &= ~WIRE_FEATURE_HOST_BEAT;
  return features;
}

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
  long n = __netlane_internal__read_decimal(value);
  if (n < 0) return fallback;
  if (n > CONN_MAX_QUEUE_SIZE) return CONN_MAX_QUEUE_SIZE;
  long size = 1;
  while (size < n) size <<= 1;
  return (int)size;
}

/* The decimal value, at most CONN_LONGEST_RESEND; 0 or below, or text that
 * is no number, gives `fallback`: a wait of no time would resend at every
 * step. */
static int resend_rate(const char *value, int fallback)
{
  int n = __netlane_internal__read_decimal(value);
  if (n <= 0) return fallback;
  return n > CONN_LONGEST_RESEND ? CONN_LONGEST_RESEND : n;
}

/* "auto", alone or followed by the longest wait: 1 and `*cap` set (the
 * default when no positive number follows); 0 for any other text. */
static int resend_auto(const char *value, int *cap)
{
  if (strncmp(value, "auto", 4) != 0) return 0;
  const char *rest = value + 4;
  if (*rest && *rest != ' ' && *rest != '\t') return 0;
  *cap = resend_rate(rest, conn_config_default.resend_rate);
  return 1;
}

/* A positive decimal value kept within an int; anything else `fallback`. */
static int positive(const char *value, int fallback)
{
  int n = __netlane_internal__read_decimal(value);
  return n > 0 ? n : fallback;
}

/* A decimal value of 0 or more; anything else `fallback`. */
static int not_negative(const char *value, int fallback)
{
  int n = __netlane_internal__read_decimal(value);
  return n >= 0 ? n : fallback;
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
      cfg->queue_grow = 0;
    } else if (strcmp(option, "conn_inqueue_size") == 0) {
      cfg->inqueue_size = queue_size(value, conn_config_default.inqueue_size);
      cfg->queue_grow = 0;
    } else if (strcmp(option, "conn_resend_rate") == 0) {
      cfg->resend_auto = resend_auto(value, &cfg->resend_rate);
      if (!cfg->resend_auto) cfg->resend_rate = resend_rate(value, conn_config_default.resend_rate);
    } else if (strcmp(option, "conn_resend_floor") == 0) {
      cfg->resend_floor = positive(value, conn_config_default.resend_floor);
    } else if (strcmp(option, "conn_max_in_flight") == 0) {
      cfg->max_in_flight = positive(value, conn_config_default.max_in_flight);
    } else if (strcmp(option, "conn_max_silent_per_address") == 0) {
      cfg->max_silent_per_address = positive(value, conn_config_default.max_silent_per_address);
    } else if (strcmp(option, "conn_max_silent_per_network") == 0) {
      cfg->max_silent_per_network = positive(value, conn_config_default.max_silent_per_network);
    } else if (strcmp(option, "conn_max_silent") == 0) {
      cfg->max_silent = positive(value, conn_config_default.max_silent);
    } else if (strcmp(option, "conn_keepalive") == 0) {
      cfg->keepalive = not_negative(value, conn_config_default.keepalive);
    } else if (strcmp(option, "conn_dead_after") == 0) {
      cfg->dead_after = not_negative(value, conn_config_default.dead_after);
    }
  }
}
