// The Internet driver: channels as UDP datagrams over IPv6 and IPv4, one
// non-blocking socket per channel. Binding texts: "192.168.0.5:24785",
// ":24785", "[::1]:24785", "+:24785" (address reuse on), "-" (off); targets:
// "10.0.0.1:24785", "[2001:db8::7]:24785", "*:24785" (IPv4 broadcast).
// Drivers 5 and 13 are placeholders of the same class.
#include <cstdlib>
#include <cstring>
#include <new>

#include <arpa/inet.h>

#include "binaddr.h"
#include "config.h"
#include "decimal.h"
#include "drivers.h"
#include "inetaddr.h"
#include "inetdefs.h"
#include "inetsock.h"
#include "waitset_internal.h"

namespace {

// Driver settings, shared by all channels; written by load_config, and put
// back by __netlane_internal__inet_default_settings when the library stops.
int default_port = INET_DEFAULT_PORT;  // for texts that name no port (or 0)
int forceport = 0;                     // default of the address-reuse option
struct sockaddr_storage ip_address;     // binding address when a text names no host; family 0 unset
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

// Opens the channel's socket on `addr` (plain, either family, family 0 for
// all interfaces) and `port`:
// 0 open; 1 no memory; 2 no socket; 3 no non-blocking mode; 4 bind refused.
// A failure leaves nothing open and nothing allocated.
int do_init_channel(NET_CHANNEL *chan, const struct sockaddr_storage *addr, int port, int reuse)
{
  channel_data_t *data = new (std::nothrow) channel_data_t();
  if (data == NULL)
    return 1;

  data->sock = __netlane_internal__sock_open_udp(&data->family);
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

  struct sockaddr_storage local;
  memset(&local, 0, sizeof local);
  if (addr->ss_family == AF_INET6)
    memcpy(&local, addr, sizeof(struct sockaddr_in6));
  else if (addr->ss_family == AF_INET)
    memcpy(&local, addr, sizeof(struct sockaddr_in));
  else
    local.ss_family = AF_INET;
  // The port sits at the same place in both families' records.
  reinterpret_cast<struct sockaddr_in *>(&local)->sin_port = htons(static_cast<unsigned short>(port));
  if (__netlane_internal__sock_bind(data->sock, data->family, &local) != 0) {
    __netlane_internal__sock_close(data->sock);
    delete data;
    return 4;
  }

  if (__netlane_internal__sock_local_name(data->sock, &local) == 0)
    __netlane_internal__write_inet_address(chan->local_addr, &local);
  data->address_length = 0;
  chan->data = data;
  return 0;
}

// All interfaces of either family: an address that names no host.
bool names_no_host(const struct sockaddr_storage *a)
{
  if (a->ss_family == AF_INET)
    return reinterpret_cast<const struct sockaddr_in *>(a)->sin_addr.s_addr == 0;
  if (a->ss_family == AF_INET6)
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const struct sockaddr_in6 *>(a)->sin6_addr);
  return true;
}

int init_channel(NET_CHANNEL *chan, const char *addr)
{
  int reuse = forceport ? 1 : 0;
  const struct sockaddr_storage *bind_addr = &ip_address;

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
  struct sockaddr_storage host;
  int port;
  if (__netlane_internal__read_address(addr, &host, &port) != 0)
    return 4;
  if (port == 0)
    port = default_port;
  if (!names_no_host(&host))
    bind_addr = &host;
  return do_init_channel(chan, bind_addr, port, reuse);
}

int destroy_channel(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data) {
    __netlane_internal__sock_close(data->sock);
    free(data->stash);
    delete data;
    chan->data = NULL;
  }
  return 0;
}

// The target text `addr` as a plain address (`plain`) and in the form the
// channel's socket sends to (`fitted`); broadcast permission, once given for
// a broadcast target, stays for the socket's life. 0 done, 1 refused (an
// IPv6 target on a socket without IPv6 among the reasons).
int read_target(channel_data_t *data, const char *addr, struct sockaddr_storage *plain,
                struct sockaddr_storage *fitted)
{
  int port;
  if (addr == NULL || __netlane_internal__read_address(addr, plain, &port) != 0)
    return 1;
  const struct sockaddr_in *four = reinterpret_cast<const struct sockaddr_in *>(plain);
  if (plain->ss_family == AF_INET && four->sin_addr.s_addr == 0xFFFFFFFFu &&
      __netlane_internal__sock_set_broadcast(data->sock) != 0)
    return 1;
  if (port == 0)
    port = default_port;
  // The port sits at the same place in both families' records.
  reinterpret_cast<struct sockaddr_in *>(plain)->sin_port = htons(static_cast<unsigned short>(port));
  int length;
  return __netlane_internal__sock_fit_address(data->family, plain, fitted, &length) != 0 ? 1 : 0;
}

// The socket address of a target text, as send_to takes it.
int prepare_target(NET_CHANNEL *chan, const char *addr, void *prepared)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  struct sockaddr_storage plain, fitted;
  if (data == NULL || read_target(data, addr, &plain, &fitted) != 0)
    return 1;
  static_assert(sizeof(struct sockaddr_in6) <= NET_PREPARED_TARGET_SIZE, "a prepared target holds a socket address");
  memcpy(prepared, &fitted, sizeof(struct sockaddr_in6));
  return 0;
}

int update_target(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  struct sockaddr_storage plain, fitted;
  if (data == NULL || read_target(data, chan->target_addr, &plain, &fitted) != 0)
    return 1;
  memcpy(&data->send_address, &fitted, sizeof(struct sockaddr_in6));
  if (plain.ss_family == AF_INET6) {
    memcpy(&data->target_address6, &plain, sizeof data->target_address6);
    data->address_length = sizeof data->target_address6;
  } else {
    memset(&data->target_address6, 0, sizeof data->target_address6);
    memcpy(&data->target_address, &plain, sizeof data->target_address);
    data->address_length = sizeof data->target_address;
  }
  return 0;
}

int send_to(NET_CHANNEL *chan, const void *buf, int size, const void *prepared)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || prepared == NULL)
    return 1;
  const struct sockaddr *to = static_cast<const struct sockaddr *>(prepared);
  int len = to->sa_family == AF_INET6 ? (int)sizeof(struct sockaddr_in6) : (int)sizeof(struct sockaddr_in);
  return __netlane_internal__sock_send_to(data->sock, buf, size, to, len) != 0 ? 1 : 0;
}

int drv_send(NET_CHANNEL *chan, const void *buf, int size)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || data->address_length == 0)
    return 1;
  return send_to(chan, buf, size, &data->send_address);
}

// Hands out the datagram a conn's read kept (inet_recv_bin): its length,
// or -1 when it does not fit `size`, and it is gone either way.
int take_kept(channel_data_t *data, void *buf, int size, struct sockaddr_storage *sender)
{
  data->stashed = 0;
  *sender = data->stash_sender;
  if (data->stash_len < 0 || data->stash_len > size)
    return -1;
  if (data->stash_len > 0)
    memcpy(buf, data->stash, static_cast<size_t>(data->stash_len));
  return data->stash_len;
}

int drv_recv(NET_CHANNEL *chan, void *buf, int size, char *from)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL)
    return -1;
  struct sockaddr_storage sender;
  int got = data->stashed ? take_kept(data, buf, size, &sender)
                          : __netlane_internal__sock_recv_from(data->sock, buf, size, &sender);
  // The seam leaves the family 0 when nothing came, so an empty datagram
  // still names its sender. An IPv4 sender is written dotted, never in
  // IPv6's mapped form.
  if (got >= 0 && from && sender.ss_family != 0)
    __netlane_internal__write_inet_address(from, &sender);
  return got;
}

// Sends gathered on this thread while a hold lasts: copies of the bytes
// and of where they go, sent a socket's run at a time at the last flush.
struct gathered_t {
  enum { MOST = 64, BYTES = 64 * 1024 };
  int holds = 0;
  int n = 0, used = 0;
  inet_socket_t socks[MOST];
  struct sockaddr_in6 to[MOST];
  int to_len[MOST], offset[MOST], size[MOST];
  unsigned char bytes[BYTES];
};

struct gathered_holder {
  gathered_t *g = nullptr;
  ~gathered_holder() { delete g; }
};
thread_local gathered_holder gathered;

void send_gathered(gathered_t *g)
{
  sock_out_t out[gathered_t::MOST];
  int first = 0;
  for (int i = 0; i <= g->n; i++) {
    if (i < g->n && g->socks[i] == g->socks[first])
      continue;
    for (int j = first; j < i; j++)
      out[j - first] = sock_out_t{g->bytes + g->offset[j], g->size[j], reinterpret_cast<const struct sockaddr *>(&g->to[j]),
                                  g->to_len[j]};
    if (i > first)
      __netlane_internal__sock_send_many(g->socks[first], out, i - first);
    first = i;
  }
  g->n = g->used = 0;
}

int query(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL)
    return 0;
  return data->stashed || __netlane_internal__sock_readable(data->sock);
}

int wait_fds(NET_CHANNEL *chan, int *fds, int max)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data == NULL || max < 1 || data->sock == INET_NO_SOCKET)
    return 0;
  fds[0] = static_cast<int>(data->sock);
  return 1;
}

// An IPv6 address ("2001:db8::7", "[fe80::1%eth0]"); or up to four
// dot-separated decimal parts, ((p1*256+p2)*256+p3)*256+p4, missing parts
// counting 0, unsigned so that large parts wrap, not overflow. An IPv6 text
// that does not read leaves all interfaces.
void read_ip(const char *value, struct sockaddr_storage *out)
{
  memset(out, 0, sizeof *out);
  if (strchr(value, ':')) {
    int port;
    if (__netlane_internal__read_address(value, out, &port) != 0)
      memset(out, 0, sizeof *out);
    return;
  }

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
  struct sockaddr_in *four = reinterpret_cast<struct sockaddr_in *>(out);
  four->sin_family = AF_INET;
  four->sin_addr.s_addr = htonl(result);
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
        read_ip(value, &ip_address);
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

int __netlane_internal__inet_channel(NET_CHANNEL *chan)
{
  return chan && chan->driver && chan->driver->recv == drv_recv && chan->data;
}

int __netlane_internal__inet_recv_bin(NET_CHANNEL *chan, void *buf, int size, bin_addr_t *from, unsigned long round)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  struct sockaddr_storage senders[2];
  if (data->stashed) {
    int len = take_kept(data, buf, size, &senders[0]);
    __netlane_internal__bin_addr_from(&senders[0], from);
    return len;
  }
  if (round != 0 && data->drained_round == round && data->drained_skips < WAIT_ROUND_SKIPS) {
    data->drained_skips++;
    return -2;
  }
  if (__netlane_internal__reads_deferred()) return -2;
  if (data->stash_cap < size) {
    unsigned char *room = static_cast<unsigned char *>(realloc(data->stash, static_cast<size_t>(size)));
    if (room) {
      data->stash = room;
      data->stash_cap = size;
    }
  }
  // Without room for a second (no memory), one: which then cannot tell
  // that the socket is empty.
  int want = data->stash_cap >= size ? 2 : 1, lens[2];
  unsigned char *bufs[2] = {static_cast<unsigned char *>(buf), data->stash};
  int got = __netlane_internal__sock_recv_many(data->sock, bufs, size, lens, senders, want);
  if (got < 0)
    return -1;
  if (got < want) {
    data->drained_round = round;
    data->drained_skips = 0;
  }
  if (got == 0)
    return -2;
  if (got == 2) {
    data->stashed = 1;
    data->stash_len = lens[1];
    data->stash_sender = senders[1];
  }
  __netlane_internal__bin_addr_from(&senders[0], from);
  return lens[0];
}

int __netlane_internal__inet_stashed(NET_CHANNEL *chan)
{
  return static_cast<channel_data_t *>(chan->data)->stashed;
}

int __netlane_internal__inet_recv_many(NET_CHANNEL *chan, unsigned char *const *bufs, int size, int *lens,
                                       bin_addr_t *froms, int max)
{
  enum { MOST = 32 };
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  struct sockaddr_storage senders[MOST];
  if (max > MOST)
    max = MOST;
  int got = __netlane_internal__sock_recv_many(data->sock, bufs, size, lens, senders, max);
  for (int i = 0; i < got; i++)
    __netlane_internal__bin_addr_from(&senders[i], &froms[i]);
  return got;
}

int __netlane_internal__inet_from_target(NET_CHANNEL *chan, const bin_addr_t *from)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data->address_length == 0)
    return 0;
  bin_addr_t target;
  struct sockaddr_storage plain;
  memset(&plain, 0, sizeof plain);
  memcpy(&plain, &data->target_address6, (size_t)data->address_length);
  __netlane_internal__bin_addr_from(&plain, &target);
  return __netlane_internal__bin_addr_equal(&target, from);
}

int __netlane_internal__inet_send(NET_CHANNEL *chan, const void *buf, int size, const void *prepared)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (prepared == NULL) {
    if (data->address_length == 0)
      return 1;
    prepared = &data->send_address;
  }
  gathered_t *g = gathered.g;
  if (g == NULL || g->holds == 0 || size < 0 || size > gathered_t::BYTES)
    return send_to(chan, buf, size, prepared);
  if (g->n == gathered_t::MOST || g->used + size > gathered_t::BYTES)
    send_gathered(g);
  const struct sockaddr *to = static_cast<const struct sockaddr *>(prepared);
  int i = g->n++;
  g->socks[i] = data->sock;
  g->to_len[i] = to->sa_family == AF_INET6 ? (int)sizeof(struct sockaddr_in6) : (int)sizeof(struct sockaddr_in);
  memcpy(&g->to[i], to, (size_t)g->to_len[i]);
  g->offset[i] = g->used;
  g->size[i] = size;
  if (size > 0)
    memcpy(g->bytes + g->used, buf, (size_t)size);
  g->used += size;
  return 0;
}

void __netlane_internal__inet_hold(void)
{
  if (gathered.g == NULL)
    gathered.g = new (std::nothrow) gathered_t();
  if (gathered.g)
    gathered.g->holds++;
}

void __netlane_internal__inet_flush(void)
{
  gathered_t *g = gathered.g;
  if (g == NULL || g->holds == 0)
    return;
  if (--g->holds == 0 && g->n > 0)
    send_gathered(g);
}

void __netlane_internal__inet_default_settings(void)
{
  default_port = INET_DEFAULT_PORT;
  forceport = 0;
  memset(&ip_address, 0, sizeof ip_address);
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
