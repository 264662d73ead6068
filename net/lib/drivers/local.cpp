// The local host driver (number 2): channels between parts of one process,
// threads included. A port is an in-memory ring of packets; sending copies
// the packet into the target port's ring. Address text: a port number, "7"
// or ":7"; a null binding text takes a free number, an empty one port 0.
#include <climits>
#include <cstring>
#include <new>

#include "config.h"
#include "drivers.h"
#include "internal.h"
#include "decimal.h"
#include "waitsys.h"

namespace {

#define PACKET_SIZE 512  // the largest packet a port carries
#define RING_SLOTS 17    // 16 packets and the one slot that tells full from empty

struct packet_t {
  int from;                         // port number of the sending channel
  int size;                         // bytes used in data
  unsigned char data[PACKET_SIZE];
};

struct port_t {
  int num;
  int users;                        // channels bound to this port
  packet_t packets[RING_SLOTS];
  int head;                         // slot written last
  int tail;                         // slot read last; head == tail: empty
  int waker;                        // readable while the ring holds a packet; -1: none
  port_t *next;
};

struct channel_data_t {
  port_t *port;  // the channel's own port
  int target;    // target port number; -1 until a target is set
};

int disable_driver = 0;
port_t *port_list = NULL;           // newest first
void *port_list_mutex = NULL;       // guards port_list and every ring
int free_counter = 1;               // kept for the life of the process

void lock(void) { __netlane_internal__mutex_lock(port_list_mutex); }
void unlock(void) { __netlane_internal__mutex_unlock(port_list_mutex); }

int advance(int slot)
{
  return slot + 1 == RING_SLOTS ? 0 : slot + 1;
}

port_t *find_port(int num)
{
  for (port_t *p = port_list; p; p = p->next)
    if (p->num == num) return p;
  return NULL;
}

// The next number no port has. The counter is left on it, so the next call
// answers the same number until a port takes it.
int get_free_port(void)
{
  while (find_port(free_counter))
    free_counter = free_counter == INT_MAX ? 1 : free_counter + 1;
  return free_counter;
}

// The port numbered `num` with one more user; a new one when none exists.
// NULL when memory ran out.
port_t *create_port(int num)
{
  port_t *p = find_port(num);
  if (p) {
    p->users++;
    return p;
  }
  p = new (std::nothrow) port_t;
  if (!p) return NULL;
  p->num = num;
  p->users = 1;
  p->head = 0;
  p->tail = 0;
  p->waker = __netlane_internal__waker_open();
  p->next = port_list;
  port_list = p;
  return p;
}

// Drops one user; the last one frees the port with whatever it still holds.
void destroy_port(port_t *port)
{
  if (--port->users > 0) return;
  for (port_t **link = &port_list; *link; link = &(*link)->next) {
    if (*link == port) {
      *link = port->next;
      break;
    }
  }
  __netlane_internal__waker_close(port->waker);
  delete port;
}

// A port number, or -1 for text that is none: null takes a free number,
// empty is 0, otherwise decimal digits after at most one colon. Signs,
// letters, host names and numbers beyond an int are refused.
int parse_address(const char *addr)
{
  if (!addr) return get_free_port();
  if (addr[0] == '\0') return 0;
  if (addr[0] == ':') addr++;
  if (addr[0] < '0' || addr[0] > '9') return -1;
  long long num = 0;
  for (; *addr >= '0' && *addr <= '9'; addr++) {
    num = num * 10 + (*addr - '0');
    if (num > INT_MAX) return -1;
  }
  return static_cast<int>(num);
}

int local_detect(void)
{
  return disable_driver ? 0 : 2;
}

int local_init(void)
{
  port_list = NULL;
  port_list_mutex = NULL;
  __netlane_internal__mutex_create(&port_list_mutex);
  return 0;
}

int local_exit(void)
{
  lock();
  while (port_list) destroy_port(port_list);
  unlock();
  __netlane_internal__mutex_destroy(port_list_mutex);
  port_list_mutex = NULL;
  return 0;
}

// 0 open; -1 bad address text, no memory, or the driver is not started.
int local_init_channel(NET_CHANNEL *chan, const char *addr)
{
  if (!port_list_mutex) return -1;
  lock();
  int num = parse_address(addr);
  port_t *port = num < 0 ? NULL : create_port(num);
  unlock();
  if (!port) return -1;

  channel_data_t *data = new (std::nothrow) channel_data_t;
  if (!data) {
    lock();
    destroy_port(port);
    unlock();
    return -1;
  }
  data->port = port;
  data->target = -1;
  snprintf(chan->local_addr, NET_MAX_ADDRESS_LENGTH, "%d", num);
  chan->data = data;
  return 0;
}

int local_destroy_channel(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return 0;
  lock();
  destroy_port(data->port);
  unlock();
  delete data;
  chan->data = NULL;
  return 0;
}

// 0 ok; -1 the target text is no port number (the old target stays).
int local_update_target(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return -1;
  lock();
  int num = parse_address(chan->target_addr);
  unlock();
  if (num < 0) return -1;
  data->target = num;
  return 0;
}

// 0 also when the packet is dropped (no such port, or its ring is full);
// -1 for a size outside 0..512.
int send_to_port(channel_data_t *data, int target, const void *buf, int size)
{
  if (!data || size < 0 || size > PACKET_SIZE || (size > 0 && !buf)) return -1;
  lock();
  port_t *to = target < 0 ? NULL : find_port(target);
  if (to && advance(to->head) != to->tail) {
    if (to->head == to->tail) __netlane_internal__waker_signal(to->waker);
    to->head = advance(to->head);
    packet_t *p = &to->packets[to->head];
    p->from = data->port->num;
    p->size = size;
    if (size > 0) memcpy(p->data, buf, static_cast<size_t>(size));
  }
  unlock();
  return 0;
}

int local_send(NET_CHANNEL *chan, const void *buf, int size)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  return send_to_port(data, data ? data->target : -1, buf, size);
}

// A prepared target is the port number.
int local_prepare_target(NET_CHANNEL *, const char *addr, void *prepared)
{
  if (!addr) return -1;
  lock();
  int num = parse_address(addr);
  unlock();
  if (num < 0) return -1;
  memcpy(prepared, &num, sizeof num);
  return 0;
}

int local_send_to(NET_CHANNEL *chan, const void *buf, int size, const void *prepared)
{
  int num;
  memcpy(&num, prepared, sizeof num);
  return send_to_port(static_cast<channel_data_t *>(chan->data), num, buf, size);
}

// Bytes copied, at most `size` (the rest of a longer packet is lost); -1
// when nothing waits. `from`, when given, gets the sender's port number.
int local_recv(NET_CHANNEL *chan, void *buf, int size, char *from)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return -1;
  lock();
  port_t *port = data->port;
  if (port->head == port->tail) {
    unlock();
    return -1;
  }
  port->tail = advance(port->tail);
  packet_t *p = &port->packets[port->tail];
  int copied = size < p->size ? size : p->size;
  if (copied < 0 || !buf) copied = 0;
  if (copied > 0) memcpy(buf, p->data, static_cast<size_t>(copied));
  if (from) snprintf(from, NET_MAX_ADDRESS_LENGTH, "%d", p->from);
  if (port->head == port->tail) __netlane_internal__waker_clear(port->waker);
  unlock();
  return copied;
}

int local_query(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data) return 0;
  lock();
  int waiting = data->port->head != data->port->tail;
  unlock();
  return waiting;
}

int local_wait_fds(NET_CHANNEL *chan, int *fds, int max)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (!data || max < 1) return 0;
  lock();
  int waker = data->port->waker;
  unlock();
  if (waker < 0) return 0;
  fds[0] = waker;
  return 1;
}

void local_load_config(NET_DRIVER *drv, FILE *fp)
{
  if (__netlane_internal__seek_section(fp, "localhost") != 0) return;
  char *option;
  char *value;
  while (__netlane_internal__get_setting(fp, &option, &value) == 0) {
    if (strcmp(option, "disable") == 0) disable_driver = __netlane_internal__read_yes(value);
  }
  if (drv->load_conn_config) drv->load_conn_config(drv, fp, "localhost");
}

}  // namespace

void __netlane_internal__local_default_settings(void)
{
  disable_driver = 0;
}

NET_DRIVER net_driver_local = {
  "Local Host",  /* name */
  "Local Host driver",  /* desc */
  NET_CLASS_LOCAL,  /* class */
  local_detect,  /* detect */
  local_init,  /* init */
  local_exit,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  local_init_channel,  /* init_channel */
  local_destroy_channel,  /* destroy_channel */
  local_update_target,  /* update_target */
  local_send,  /* send */
  local_recv,  /* recv */
  local_query,  /* query */
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
  local_load_config,  /* load_config */
  NULL,  /* load_conn_config */
  NULL,  /* conn_config */
  local_wait_fds,  /* wait_fds */
  local_prepare_target,  /* prepare_target */
  local_send_to  /* send_to */
};
