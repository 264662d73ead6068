// The lossy in-memory test driver and the test clock (see lossy_driver.h).
#include "lossy_driver.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <vector>

namespace {

struct datagram {
  int from;
  std::vector<unsigned char> bytes;
};

struct in_flight {
  unsigned int due;
  long seq;  // keeps equal arrival times in sending order
  int to;
  datagram packet;
};

struct channel_data_t {
  int port;
  int target;  // -1 until a target is set
};

struct network {
  lossy_settings settings{1, 0, 0, 0};
  lossy_counters counters{};
  std::mt19937 rng{1};
  std::map<int, std::deque<datagram>> ports;
  std::vector<in_flight> flying;
  long seq = 0;
  int next_port = 1;
};

network net;
unsigned int clock_now = 1000;

int percent_roll() { return (int)(net.rng() % 100); }

// Moves every datagram whose time has come into its port, earliest first.
void deliver_due()
{
  std::vector<in_flight> due;
  std::vector<in_flight> later;
  for (auto &f : net.flying) {
    if ((int32_t)(clock_now - f.due) >= 0) due.push_back(std::move(f));
    else later.push_back(std::move(f));
  }
  net.flying = std::move(later);
  std::sort(due.begin(), due.end(), [](const in_flight &a, const in_flight &b) {
    int32_t da = (int32_t)(a.due - clock_now), db = (int32_t)(b.due - clock_now);
    return da != db ? da < db : a.seq < b.seq;
  });
  for (auto &f : due) {
    auto port = net.ports.find(f.to);
    if (port != net.ports.end()) port->second.push_back(std::move(f.packet));
  }
}

// A port number from an address text: digits, optionally after one colon.
int parse_port(const char *text)
{
  if (*text == ':') text++;
  if (*text < '0' || *text > '9') return -1;
  char *end;
  long n = strtol(text, &end, 10);
  if (*end || n > 65535) return -1;
  return (int)n;
}

int init_channel(NET_CHANNEL *chan, const char *addr)
{
  int port;
  if (!addr || !*addr) {
    while (net.ports.count(net.next_port)) net.next_port++;
    port = net.next_port++;
  } else {
    port = parse_port(addr);
    if (port < 0 || net.ports.count(port)) return 1;
  }
  net.ports[port];
  channel_data_t *data = new channel_data_t{port, -1};
  chan->data = data;
  snprintf(chan->local_addr, sizeof chan->local_addr, "%d", port);
  return 0;
}

int destroy_channel(NET_CHANNEL *chan)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  net.ports.erase(data->port);
  delete data;
  chan->data = NULL;
  return 0;
}

int update_target(NET_CHANNEL *chan)
{
  int port = parse_port(chan->target_addr);
  if (port < 0) return 1;
  static_cast<channel_data_t *>(chan->data)->target = port;
  return 0;
}

int send(NET_CHANNEL *chan, const void *buf, int size)
{
  channel_data_t *data = static_cast<channel_data_t *>(chan->data);
  if (data->target < 0 || size < 0) return 1;
  net.counters.sent++;
  if (percent_roll() < net.settings.loss_percent) {
    net.counters.dropped++;
    return 0;
  }
  int copies = 1;
  if (percent_roll() < net.settings.duplicate_percent) {
    copies = 2;
    net.counters.duplicated++;
  }
  const unsigned char *bytes = static_cast<const unsigned char *>(buf);
  for (int c = 0; c < copies; c++) {
    unsigned int delay = net.settings.max_delay_ms > 0
                             ? (unsigned int)(net.rng() % (unsigned int)(net.settings.max_delay_ms + 1))
                             : 0;
    net.flying.push_back(in_flight{clock_now + delay, net.seq++, data->target,
                                   datagram{data->port, std::vector<unsigned char>(bytes, bytes + size)}});
  }
  return 0;
}

// Like a datagram socket: bytes received, 0 when nothing waits, -1 (and the
// datagram is gone) when it does not fit the buffer.
int recv(NET_CHANNEL *chan, void *buf, int size, char *from)
{
  deliver_due();
  auto &queue = net.ports[static_cast<channel_data_t *>(chan->data)->port];
  if (queue.empty()) return 0;
  datagram d = std::move(queue.front());
  queue.pop_front();
  if ((int)d.bytes.size() > size) {
    net.counters.oversize++;
    return -1;
  }
  if (!d.bytes.empty()) memcpy(buf, d.bytes.data(), d.bytes.size());
  if (from) snprintf(from, NET_MAX_ADDRESS_LENGTH, "%d", d.from);
  return (int)d.bytes.size();
}

int query(NET_CHANNEL *chan)
{
  deliver_due();
  return net.ports[static_cast<channel_data_t *>(chan->data)->port].empty() ? 0 : 1;
}

int detect(void) { return 2; }
int init(void) { return 0; }
int drv_exit(void) { return 0; }
void load_config(NET_DRIVER *, FILE *) {}

}  // namespace

NET_DRIVER lossy_driver = {
  "Lossy memory",  /* name */
  "In-memory test driver",  /* desc */
  0,  /* class */
  detect,  /* detect */
  init,  /* init */
  drv_exit,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  init_channel,  /* init_channel */
  destroy_channel,  /* destroy_channel */
  update_target,  /* update_target */
  send,  /* send */
  recv,  /* recv */
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
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};

void lossy_reset(const lossy_settings &settings)
{
  net.settings = settings;
  net.counters = lossy_counters{};
  net.rng.seed(settings.seed);
  net.flying.clear();
  for (auto &port : net.ports) port.second.clear();
  net.seq = 0;
  // With no channel open the automatic numbers start again, so that a long
  // run of short tests (a fuzz target's inputs) never runs out of ports.
  if (net.ports.empty()) net.next_port = 1;
}

const lossy_counters &lossy_stats() { return net.counters; }

void lossy_forge(int from, int to, const std::vector<unsigned char> &bytes)
{
  auto port = net.ports.find(to);
  if (port != net.ports.end()) port->second.push_back(datagram{from, bytes});
}

unsigned int test_clock(void) { return clock_now; }
void test_clock_set(unsigned int now) { clock_now = now; }
void test_clock_advance(unsigned int ms) { clock_now += ms; }
