// The Internet driver: channels as UDP datagrams over IPv4, one non-blocking
// socket per channel. Binding texts: "192.168.0.5:24785", ":24785", "+:24785"
// (address reuse on), "-" (off); targets: "10.0.0.1:24785", "*:24785".
// Drivers 5 and 13 are placeholders of the same class.
#include <cstdlib>
#include <cstring>
#include <new>

#include <arpa/inet.h>

#include "config.h"
#include "decimal.h"
#include "drivers.h"
#include "inetaddr.h"
#include "inetdefs.h"
#include "inetsock.h"

namespace {

// Driver settings, shared by all channels; written by load_config, and put
// back by __netlane_internal__inet_default_settings when the library stops.
int default_port = INET_DEFAULT_PORT;  // for texts that name no port (or 0)
int forceport = 0;                     // default of the address-reuse option
int ip_address = 0;                    // host order; binding address when a text names no host
int disable_driver = 0;                // nonzero: detection answers 0

int detect(void)
{
  if (disable_driver)
    return 0;
  if (__netlane_internal__sock_startup() != 0)
    return 0;
  __netlane_internal__sock_cleanup();
  return 2;
}

int init(void)
{
  return __netlane_internal__sock_startup() != 0 ? 1 : 0;
}

int drv_exit(void)
{
  __netlane_internal__sock_cleanup();
  return 0;
}

// Opens the channel's socket on `addr` (host order) and `port`:
// 0 open; 1 no memory; 2 no socket; 3 no non-blocking mode; 4 bind refused.
// A failure leaves nothing open and nothing allocated.
int do_init_channel(NET_CHANNEL *chan, unsigned int addr, int port, int reuse)
{
  channel_data_t *data = new (std::nothrow) channel_data_t();
  if (data == NULL)
    return 1;

  data->sock = __netlane_internal__sock_open_udp();
  if (data->sock == INET_NO_SOCKET) {
    delete data;
    return 2;
  }
  if (__netlane_internal__sock_set_nonblocking(data->sock) != 0) {
    __netlane_internal__sock_close(data->sock);
    delete data;
    return 3;
  }
  // Without the option a bind to a port in use is refused, which is what
  // the caller asked for; a refusal of the option itself changes nothing.
  __netlane_internal__sock_set_reuse(data->sock, reuse);

  struct sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(addr);
  local.sin_port = htons(static_cast<unsigned short>(port));
  if (__netlane_internal__sock_bind(data->sock, &local) != 0) {
    __netlane_internal__sock_close(data->sock);
    delete data;
    return 4;
  }

  if (__netlane_internal__sock_local_name(data->sock, &local) == 0)
    __netlane_internal__write_address(chan->local_addr, &local);
  data->address_length = 0;
  chan->data = data;
  return 0;
}

int init_channel(NET_CHANNEL *chan, const char *addr)
{
  int reuse = forceport ? 1 : 0;
  unsigned int bind_addr = static_cast<unsigned int>(ip_address);

  if (addr == NULL)
    return do_init_channel(chan, bind_addr, 0, 0);

  if (addr[0] == '+') {
    reuse = 1;
    addr++;
  } else if (addr[0] == '-') {
    reuse = 0;
    addr++;
  }

  if (addr[0] == '\0')
    return do_init_channel(chan, bind_addr, default_port, reuse);

  // A text we cannot read is refused rather than bound somewhere the
  // caller did not ask for.
  unsigned int host;
  int port;
  if (__netlane_internal__parse_address(addr, &host, &port) != 0)
    return 4;
  if (port == 0)
    port = default_port;
  if (host != 0)
    bind_addr = host;
  return do_init_channel(chan, bind_addr, port, reuse);
}

int destroy_channel(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data) {
    __netlane_internal__sock_close(data->sock);
    delete data;
    chan->data = NULL;
  }
  return 0;
}

// The socket address of a target text; broadcast permission, once given
// for a broadcast target, stays for the socket's life. 0 done, 1 refused.
int prepare_target(NET_CHANNEL *chan, const char *addr, void *prepared)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || addr == NULL)
    return 1;

  unsigned int host;
  int port;
  if (__netlane_internal__parse_address(addr, &host, &port) != 0)
    return 1;
  if (host == 0xFFFFFFFFu && __netlane_internal__sock_set_broadcast(data->sock) != 0)
    return 1;
  if (port == 0)
    port = default_port;

  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<unsigned short>(port));
  to.sin_addr.s_addr = htonl(host);
  static_assert(sizeof to <= NET_PREPARED_TARGET_SIZE, "a prepared target holds a socket address");
  memcpy(prepared, &to, sizeof to);
  return 0;
}

int update_target(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || prepare_target(chan, chan->target_addr, &data->target_address) != 0)
    return 1;
  data->address_length = sizeof data->target_address;
  return 0;
}

int send_to(NET_CHANNEL *chan, const void *buf, int size, const void *prepared)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || prepared == NULL)
    return 1;
  struct sockaddr_in to;
  memcpy(&to, prepared, sizeof to);
  return __netlane_internal__sock_send_to(data->sock, buf, size, &to) != 0 ? 1 : 0;
}

int drv_send(NET_CHANNEL *chan, const void *buf, int size)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || data->address_length == 0)
    return 1;
  return send_to(chan, buf, size, &data->target_address);
}

int drv_recv(NET_CHANNEL *chan, void *buf, int size, char *from)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL)
    return -1;
  struct sockaddr_in sender;
  int got = __netlane_internal__sock_recv_from(data->sock, buf, size, &sender);
  // The seam leaves `sender` zeroed when nothing came, so an empty datagram
  // still names its sender.
  if (got >= 0 && from && sender.sin_family == AF_INET)
    __netlane_internal__write_address(from, &sender);
  return got;
}

int query(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL)
    return 0;
  return __netlane_internal__sock_readable(data->sock);
}

int wait_fds(NET_CHANNEL *chan, int *fds, int max)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || max < 1 || data->sock == INET_NO_SOCKET)
    return 0;
  fds[0] = static_cast<int>(data->sock);
  return 1;
}

// Up to four dot-separated decimal parts, ((p1*256+p2)*256+p3)*256+p4,
// missing parts counting 0; unsigned so that large parts wrap, not overflow.
int read_ip(const char *value)
{
  unsigned int result = 0;
  int parts = 0;
  const char *p = value;
  while (parts < 4) {
    char *end;
    unsigned long part = strtoul(p, &end, 10);
    result = result * 256u + static_cast<unsigned int>(part);
    parts++;
    if (*end != '.')
      break;
    p = end + 1;
  }
  for (; parts < 4; parts++)
    result *= 256u;
  return static_cast<int>(result);
}

void load_config(NET_DRIVER *drv, FILE *fp)
{
  char *option;
  char *value;

  if (__netlane_internal__seek_section(fp, "internet") == 0) {
    while (__netlane_internal__get_setting(fp, &option, &value) == 0) {
      if (strcmp(option, "port") == 0) {
        int port = __netlane_internal__read_decimal(value);
        // A port that does not fit 16 bits is ignored like 0, not cut
        // down to some other port.
        if (port > 0 && port <= 65535)
          default_port = port;
      } else if (strcmp(option, "forceport") == 0) {
        forceport = __netlane_internal__read_decimal(value);
      } else if (strcmp(option, "ip") == 0) {
        ip_address = read_ip(value);
      } else if (strcmp(option, "disable") == 0) {
        disable_driver = __netlane_internal__read_yes(value);
      }
    }
  }

  if (__netlane_internal__seek_section(fp, "winsock_win") == 0) {
    while (__netlane_internal__get_setting(fp, &option, &value) == 0) {
      if (strcmp(option, "disable") == 0)
        disable_driver = __netlane_internal__read_yes(value);
    }
  }

  if (drv->load_conn_config)
    drv->load_conn_config(drv, fp, "internet");
}

int dummy_detect(void)
{
  return 0;
}

void dummy_load_config(NET_DRIVER *, FILE *)
{
}

}  // namespace

void __netlane_internal__inet_default_settings(void)
{
  default_port = INET_DEFAULT_PORT;
  forceport = 0;
  ip_address = 0;
  disable_driver = 0;
}

NET_DRIVER net_driver_wsock_win = {
  "Winsock from Windows",  /* name */
  "Internet driver",  /* desc */
  NET_CLASS_INTERNET,  /* class */
  detect,  /* detect */
  init,  /* init */
  drv_exit,  /* exit */
  __netlane_internal__inet_prepareaddress,  /* prepareaddress */
  __netlane_internal__inet_poll_prepareaddress,  /* poll_prepareaddress */
  init_channel,  /* init_channel */
  destroy_channel,  /* destroy_channel */
  update_target,  /* update_target */
  drv_send,  /* send */
  drv_recv,  /* recv */
  query,  /* query */
  NULL,  /* init_conn */
  NULL,  /* destroy_conn */
  NULL,  /* listen */
  NULL,  /* poll_listen */
  NULL,  /* connect */
  NULL,  /* poll_connect */
  NULL,  /* send_rdm */
  NULL,  /* recv_rdm */
  NULL,  /* query_rdm */
  NULL,  /* ignore_rdm */
  NULL,  /* conn_stats */
  load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL,  /* conn_config */
  wait_fds,  /* wait_fds */
  prepare_target,  /* prepare_target */
  send_to  /* send_to */
};

NET_DRIVER net_driver_sockets = {
  "Berkeley Sockets",  /* name */
  "Internet driver",  /* desc */
  NET_CLASS_INTERNET,  /* class */
  dummy_detect,  /* detect */
  NULL,  /* init */
  NULL,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  NULL,  /* init_channel */
  NULL,  /* destroy_channel */
  NULL,  /* update_target */
  NULL,  /* send */
  NULL,  /* recv */
  NULL,  /* query */
  NULL,  /* init_conn */
  NULL,  /* destroy_conn */
  NULL,  /* listen */
  NULL,  /* poll_listen */
  NULL,  /* connect */
  NULL,  /* poll_connect */
  NULL,  /* send_rdm */
  NULL,  /* recv_rdm */
  NULL,  /* query_rdm */
  NULL,  /* ignore_rdm */
  NULL,  /* conn_stats */
  dummy_load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};

NET_DRIVER net_driver_besocks = {
  "BeOS Sockets",  /* name */
  "Internet driver",  /* desc */
  NET_CLASS_INTERNET,  /* class */
  dummy_detect,  /* detect */
  NULL,  /* init */
  NULL,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  NULL,  /* init_channel */
  NULL,  /* destroy_channel */
  NULL,  /* update_target */
  NULL,  /* send */
  NULL,  /* recv */
  NULL,  /* query */
  NULL,  /* init_conn */
  NULL,  /* destroy_conn */
  NULL,  /* listen */
  NULL,  /* poll_listen */
  NULL,  /* connect */
  NULL,  /* poll_connect */
  NULL,  /* send_rdm */
  NULL,  /* recv_rdm */
  NULL,  /* query_rdm */
  NULL,  /* ignore_rdm */
  NULL,  /* conn_stats */
  dummy_load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};
