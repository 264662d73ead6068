// The IPX driver (number 7) and the Linux IPX placeholder (number 8). One
// IPX socket per process carries every channel: a channel is a 32-bit port,
// each datagram names its destination and source ports in a header, and
// what arrives is sorted into per-port queues of 16 packets.
//
// Address text: network, node and port, written "0000000A/0123456789AB:2";
// read leniently: "*" for a broadcast network or node, no "/" for network
// 0, no ":" for the default port, hexadecimal digits in either case
// ("*/*:5", "0123456789ab"). Binding texts name a port (":7"), optionally
// after "+" (share a port in use) or "-" (do not).
//
// Datagram, one per channel packet (numbers high byte first):
//    0               4               8
//   +---------------+---------------+----------------------+
//   | dest. port    | source port   | payload, 0-512 bytes |
//   +---------------+---------------+----------------------+
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "config.h"
#include "drivers.h"
#include "internal.h"
#include "decimal.h"
#include "wsipx.h"

namespace {

#define PAYLOAD_SIZE 512
#define PORT_HEADER 8
#define QUEUE_SLOTS 16
#define DRAIN_LIMIT 128  // datagrams one poll takes in, so a flood cannot hold a caller

typedef unsigned char ipx_node[6];
typedef unsigned char ipx_net[4];

struct ipx_addr {
  ipx_node node;
  ipx_net net;
};

struct packet_t {
  int size;                          // payload bytes
  ipx_addr from;                     // the sender's network and node
  int fromport;                      // the sender's port, from the header
  unsigned char data[PAYLOAD_SIZE];
};

struct port_queue_t {
  int port;
  port_queue_t *next;
  int usage;                         // channels on this port
  packet_t packet[QUEUE_SLOTS];
  int first;                         // oldest packet
  int count;
};

struct channel_data_t {
  int port;
  unsigned char target_port[4];      // high byte first, ready for the header
  unsigned char source_port[4];
  ipx_sockaddr_t target_address;
  int address_length;
};

// Settings, shared by all channels.
int default_socket = 24785;          // IPX socket number of the process's socket
int default_port = 1;                // for an empty binding text and targets naming none
int forceport = 0;                   // default for sharing a port in use
int disable_driver = 0;
ipx_addr config_addr;                // the "address" key: where init binds
ipx_addr local_addr;                 // the address channels report: config_addr, then what init got

ipx_socket_t ipx_socket = IPX_NO_SOCKET;
unsigned char ipx_buffer[PORT_HEADER + PAYLOAD_SIZE];  // one datagram, in or out
port_queue_t *port_queues = NULL;    // newest first
int next_port = 0;                   // where the search for an automatic port starts

void put_be32(unsigned char *p, int value)
{
  unsigned int v = static_cast<unsigned int>(value);
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

int get_be32(const unsigned char *p)
{
  unsigned int v = (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
                   (static_cast<unsigned int>(p[2]) << 8) | p[3];
  return static_cast<int>(v);
}

// The socket number as every peer of this driver writes it: low byte first.
void put_socket(unsigned char *socket)
{
  socket[0] = static_cast<unsigned char>(default_socket & 0xFF);
  socket[1] = static_cast<unsigned char>((default_socket >> 8) & 0xFF);
}

port_queue_t *find_port(int id)
{
  for (port_queue_t *q = port_queues; q; q = q->next)
    if (q->port == id) return q;
  return NULL;
}

// The first value from next_port up that is not 0, not the default port and
// has no queue; next_port stays on it.
int find_free_port(void)
{
  while (next_port == 0 || next_port == default_port || find_port(next_port))
    next_port = next_port == INT_MAX ? 1 : next_port + 1;
  return next_port;
}

// 0: a new queue, or one more user of a queue in use when `force` is set;
// -1: the port is in use, or no memory.
int create_port(int id, int force)
{
  port_queue_t *q = find_port(id);
  if (q) {
    if (!force) return -1;
    q->usage++;
    return 0;
  }
  q = new (std::nothrow) port_queue_t;
  if (!q) return -1;
  q->port = id;
  q->usage = 1;
  q->first = 0;
  q->count = 0;
  q->next = port_queues;
  port_queues = q;
  return 0;
}

// Drops one user; the last one frees the queue with what it still holds.
void free_port(int id)
{
  for (port_queue_t **link = &port_queues; *link; link = &(*link)->next) {
    port_queue_t *q = *link;
    if (q->port != id) continue;
    if (--q->usage > 0) return;
    *link = q->next;
    delete q;
    return;
  }
}

// Sorts what the socket holds into the port queues. A datagram without a
// whole header, for a port without a queue, or for a full queue is dropped.
void poll_ipx_socket(void)
{
  for (int n = 0; n < DRAIN_LIMIT; n++) {
    if (!__netlane_internal__ipx_readable(ipx_socket)) return;
    ipx_sockaddr_t from;
    // The layer drops datagrams longer than the buffer, so no payload
    // stored below is longer than a slot.
    int len = __netlane_internal__ipx_recv_from(ipx_socket, ipx_buffer, sizeof ipx_buffer, &from);
    if (len < 0) return;
    if (len < PORT_HEADER) continue;
    port_queue_t *q = find_port(get_be32(ipx_buffer));
    if (!q || q->count == QUEUE_SLOTS) continue;
    packet_t *p = &q->packet[(q->first + q->count) % QUEUE_SLOTS];
    p->size = len - PORT_HEADER;
    p->fromport = get_be32(ipx_buffer + 4);
    memcpy(p->from.net, from.netnum, sizeof p->from.net);
    memcpy(p->from.node, from.nodenum, sizeof p->from.node);
    memcpy(p->data, ipx_buffer + PORT_HEADER, static_cast<size_t>(p->size));
    q->count++;
  }
}

void write_address(char *dest, const ipx_addr *a, int port)
{
  snprintf(dest, NET_MAX_ADDRESS_LENGTH, "%02X%02X%02X%02X/%02X%02X%02X%02X%02X%02X:%d", a->net[0], a->net[1],
           a->net[2], a->net[3], a->node[0], a->node[1], a->node[2], a->node[3], a->node[4], a->node[5], port);
}

// Two hexadecimal digits, either case, as one byte: 0 read, 1 not digits.
int read_hex_pair(const char *s, unsigned char *byte)
{
  static const char digits[] = "0123456789ABCDEF";
  int value = 0;
  for (int i = 0; i < 2; i++) {
    if (s[i] == '\0') return 1;
    const char *d = strchr(digits, toupper(static_cast<unsigned char>(s[i])));
    if (!d) return 1;
    value = value * 16 + static_cast<int>(d - digits);
  }
  *byte = static_cast<unsigned char>(value);
  return 0;
}

// The `len` characters at `s` as `size` bytes: "*" alone for all FF, or
// exactly 2 * `size` hexadecimal digits. 0 read, 1 not.
int read_bytes(const char *s, size_t len, unsigned char *bytes, size_t size)
{
  if (len == 1 && s[0] == '*') {
    memset(bytes, 0xFF, size);
    return 0;
  }
  if (len != 2 * size) return 1;
  for (size_t i = 0; i < size; i++)
    if (read_hex_pair(s + 2 * i, &bytes[i]) != 0) return 1;
  return 0;
}

int read_net_addr(const char *s, size_t len, ipx_net net)
{
  return read_bytes(s, len, net, sizeof(ipx_net));
}

int read_node_addr(const char *s, size_t len, ipx_node node)
{
  return read_bytes(s, len, node, sizeof(ipx_node));
}

// Address text to network and node (into `addr`) and port (into `port`, 0
// when the text names none); either may be NULL. 0 read; 1 not an address.
int parse_address(const char *s, ipx_addr *addr, int *port)
{
  const char *colon = strchr(s, ':');
  if (port) *port = colon ? __netlane_internal__read_decimal(colon + 1) : 0;
  if (!addr) return 0;

  size_t end = colon ? static_cast<size_t>(colon - s) : strlen(s);
  const char *slash = static_cast<const char *>(memchr(s, '/', end));
  ipx_addr a;
  const char *node = s;
  if (slash) {
    if (read_net_addr(s, static_cast<size_t>(slash - s), a.net) != 0) return 1;
    node = slash + 1;
  } else {
    memset(a.net, 0, sizeof a.net);
  }
  if (read_node_addr(node, end - static_cast<size_t>(node - s), a.node) != 0) return 1;
  *addr = a;
  return 0;
}

int detect(void)
{
  // The layer needs no start-up, so there is nothing to try.
  return disable_driver ? 0 : 2;
}

// 0 ready; 1 no socket; 2 no non-blocking mode; 3 the bind failed.
int init(void)
{
  ipx_socket = __netlane_internal__ipx_open(IPX_FAMILY, IPX_DATAGRAM, 0);
  if (ipx_socket == IPX_NO_SOCKET) return 1;
  if (__netlane_internal__ipx_set_nonblocking(ipx_socket) != 0) {
    __netlane_internal__ipx_close(ipx_socket);
    ipx_socket = IPX_NO_SOCKET;
    return 2;
  }
  // Bound to the configured address, not to what an earlier start got:
  // that port may be another program's by now.
  ipx_sockaddr_t a;
  memset(&a, 0, sizeof a);
  a.family = IPX_FAMILY;
  memcpy(a.netnum, config_addr.net, sizeof a.netnum);
  memcpy(a.nodenum, config_addr.node, sizeof a.nodenum);
  put_socket(a.socket);
  if (__netlane_internal__ipx_bind(ipx_socket, &a) != 0 || __netlane_internal__ipx_local_name(ipx_socket, &a) != 0) {
    __netlane_internal__ipx_close(ipx_socket);
    ipx_socket = IPX_NO_SOCKET;
    return 3;
  }
  memcpy(local_addr.net, a.netnum, sizeof local_addr.net);
  memcpy(local_addr.node, a.nodenum, sizeof local_addr.node);
  return 0;
}

int drv_exit(void)
{
  __netlane_internal__ipx_close(ipx_socket);
  ipx_socket = IPX_NO_SOCKET;
  return 0;
}

// 0 open; 1 no memory, or the driver is not started; 2 the port is taken.
int init_channel(NET_CHANNEL *chan, const char *addr)
{
  if (ipx_socket == IPX_NO_SOCKET) return 1;
  int port = 0;
  int sharing = forceport;
  if (addr) {
    port = default_port;
    if (addr[0] == '+') {
      sharing = 1;
      addr++;
    } else if (addr[0] == '-') {
      sharing = 0;
      addr++;
    }
    // Only a port is taken from the text; network and node are this
    // process's own.
    if (addr[0] && strchr(addr, ':')) parse_address(addr, NULL, &port);
  }

  channel_data_t *data = new (std::nothrow) channel_data_t;
  if (!data) return 1;
  if (port == 0) port = find_free_port();
  if (create_port(port, sharing) != 0) {
    delete data;
    return 2;
  }
  data->port = port;
  put_be32(data->source_port, port);
  put_be32(data->target_port, 0);
  memset(&data->target_address, 0, sizeof data->target_address);
  data->target_address.family = IPX_FAMILY;
  put_socket(data->target_address.socket);
  data->address_length = sizeof data->target_address;
  chan->data = data;
  write_address(chan->local_addr, &local_addr, port);
  return 0;
}

int destroy_channel(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return 0;
  free_port(data->port);
  delete data;
  chan->data = NULL;
  return 0;
}

// A prepared target: the layer's address and the port, high byte first.
struct prepared_t {
  ipx_sockaddr_t address;
  unsigned char port[4];
};
static_assert(sizeof(prepared_t) <= NET_PREPARED_TARGET_SIZE, "a prepared target holds an IPX address");

// 0 ok; 1 the text is not an IPX address.
int prepare_target(NET_CHANNEL *, const char *addr, void *prepared)
{
  ipx_addr a;
  int port;
  if (!addr || parse_address(addr, &a, &port) != 0) return 1;
  if (port == 0) port = default_port;
  prepared_t to;
  memset(&to, 0, sizeof to);
  to.address.family = IPX_FAMILY;
  memcpy(to.address.netnum, a.net, sizeof a.net);
  memcpy(to.address.nodenum, a.node, sizeof a.node);
  put_socket(to.address.socket);
  put_be32(to.port, port);
  memcpy(prepared, &to, sizeof to);
  return 0;
}

// 0 ok; 1 the target text is not an IPX address.
int update_target(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  prepared_t to;
  if (!data || prepare_target(chan, chan->target_addr, &to) != 0) return 1;
  data->target_address = to.address;
  memcpy(data->target_port, to.port, 4);
  return 0;
}

// 0 sent; 1 more than 512 bytes, or the layer refused (also before a
// target is set: node 0 is nowhere).
int send_to_address(channel_data_t *data, const unsigned char *port, const ipx_sockaddr_t *address,
                    const void *buf, int size)
{
  if (!data || size < 0 || size > PAYLOAD_SIZE || (size > 0 && !buf)) return 1;
  memcpy(ipx_buffer, port, 4);
  memcpy(ipx_buffer + 4, data->source_port, 4);
  if (size > 0) memcpy(ipx_buffer + PORT_HEADER, buf, static_cast<size_t>(size));
  return __netlane_internal__ipx_send_to(ipx_socket, ipx_buffer, size + PORT_HEADER, address) != 0 ? 1 : 0;
}

int drv_send(NET_CHANNEL *chan, const void *buf, int size)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return 1;
  return send_to_address(data, data->target_port, &data->target_address, buf, size);
}

int send_to(NET_CHANNEL *chan, const void *buf, int size, const void *prepared)
{
  prepared_t to;
  memcpy(&to, prepared, sizeof to);
  return send_to_address(static_cast<channel_data_t *>(chan->data), to.port, &to.address, buf, size);
}

// Bytes copied, at most `size` (the rest of a longer packet is lost); -1
// when the channel's queue is empty. `from` gets the sender's address text.
int drv_recv(NET_CHANNEL *chan, void *buf, int size, char *from)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return -1;
  poll_ipx_socket();
  port_queue_t *q = find_port(data->port);
  if (!q || q->count == 0) return -1;
  packet_t *p = &q->packet[q->first];
  int copied = size < p->size ? size : p->size;
  if (copied < 0 || !buf) copied = 0;
  if (copied > 0) memcpy(buf, p->data, static_cast<size_t>(copied));
  if (from) write_address(from, &p->from, p->fromport);
  q->first = (q->first + 1) % QUEUE_SLOTS;
  q->count--;
  return copied;
}

int query(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return 0;
  poll_ipx_socket();
  port_queue_t *q = find_port(data->port);
  return q && q->count > 0 ? 1 : 0;
}

// Every channel shares the process's socket: a datagram for another port
// wakes the waiter, whose query then files it and sleeps again.
int wait_fds(NET_CHANNEL *chan, int *fds, int max)
{
  if (!chan->data || ipx_socket == IPX_NO_SOCKET) return 0;
  return __netlane_internal__ipx_wait_fds(ipx_socket, fds, max);
}

void load_config(NET_DRIVER *drv, FILE *fp)
{
  char *option;
  char *value;
  if (__netlane_internal__seek_section(fp, "ipx") == 0) {
    while (__netlane_internal__get_setting(fp, &option, &value) == 0) {
      if (strcmp(option, "port") == 0) {
        int port = __netlane_internal__read_decimal(value);
        if (port != 0) default_port = port;
      } else if (strcmp(option, "socket") == 0) {
        // The socket number is two bytes on the wire: a larger value would
        // be cut down to some other socket, so it is ignored like 0.
        int socket = __netlane_internal__read_decimal(value);
        if (socket > 0 && socket <= 0xFFFF) default_socket = socket;
      } else if (strcmp(option, "forceport") == 0) {
        forceport = __netlane_internal__read_decimal(value);
      } else if (strcmp(option, "address") == 0) {
        ipx_addr a;
        if (parse_address(value, &a, NULL) == 0) {
          config_addr = a;
          // A started driver keeps reporting where its socket really is.
          if (ipx_socket == IPX_NO_SOCKET) local_addr = a;
        }
      } else if (strcmp(option, "disable") == 0) {
        disable_driver = __netlane_internal__read_yes(value);
      }
    }
  }
  if (__netlane_internal__seek_section(fp, "ipx_win") == 0) {
    while (__netlane_internal__get_setting(fp, &option, &value) == 0) {
      if (strcmp(option, "disable") == 0) disable_driver = __netlane_internal__read_yes(value);
    }
  }
  if (drv->load_conn_config) drv->load_conn_config(drv, fp, "ipx");
}

int dummy_detect(void)
{
  return 0;
}

void dummy_load_config(NET_DRIVER *, FILE *)
{
}

}  // namespace

void __netlane_internal__ipx_default_settings(void)
{
  default_socket = 24785;
  default_port = 1;
  forceport = 0;
  disable_driver = 0;
  config_addr = ipx_addr();
  if (ipx_socket == IPX_NO_SOCKET) local_addr = ipx_addr();
}

NET_DRIVER net_driver_ipx_win = {
  "IPX in Windows",  /* name */
  "IPX driver",  /* desc */
  NET_CLASS_IPX,  /* class */
  detect,  /* detect */
  init,  /* init */
  drv_exit,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
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

NET_DRIVER net_driver_ipx_linux = {
  "IPX in Linux",  /* name */
  "IPX driver",  /* desc */
  NET_CLASS_IPX,  /* class */
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
