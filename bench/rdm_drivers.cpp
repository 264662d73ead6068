// One-process figures of reliable conns over the UDP driver on 127.0.0.1 (or over the IPX driver
// kept on loopback, or the local host driver): messages per second of a
// one-way stream and the round-trip time of one message and its echo, for
// 16-byte and 1024-byte messages (508 where packets hold 512 bytes), both
// ends polled from one thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "netlane.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t)
{
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Streams `count` messages of `size` bytes from `from` to `to`; messages per
// second, or -1 when the stream stalled for five seconds.
double stream(NET_CONN *from, NET_CONN *to, int size, long count)
{
  std::vector<char> out((size_t)size, 's'), in((size_t)size);
  long sent = 0, received = 0;
  auto start = clock_type::now();
  auto progress = start;
  while (received < count) {
    while (sent < count && net_send_rdm(from, out.data(), size) == 0) sent++;
    // Once all are sent the sender still needs its protocol steps: they
    // resend what the receiver's full socket dropped.
    if (sent == count) net_conn_stats(from, NULL, NULL);
    while (net_receive_rdm(to, in.data(), size) > 0) {
      received++;
      progress = clock_type::now();
    }
    if (seconds_since(progress) > 5) return -1;
  }
  return (double)count / seconds_since(start);
}

// Waits for one message on `conn`; false after five seconds.
bool await(NET_CONN *conn, std::vector<char> &buf)
{
  auto start = clock_type::now();
  while (net_receive_rdm(conn, buf.data(), (int)buf.size()) <= 0) {
    if (seconds_since(start) > 5) return false;
  }
  return true;
}

// Round trips of one `size`-byte message and its echo; fills the times in
// microseconds, false when one got lost for five seconds.
bool round_trips(NET_CONN *a, NET_CONN *b, int size, int count, std::vector<double> &us)
{
  std::vector<char> msg((size_t)size, 'r'), buf((size_t)size);
  us.clear();
  for (int i = 0; i < count; i++) {
    auto start = clock_type::now();
    if (net_send_rdm(a, msg.data(), size) != 0 || !await(b, buf)) return false;
    if (net_send_rdm(b, buf.data(), size) != 0 || !await(a, buf)) return false;
    us.push_back(seconds_since(start) * 1e6);
  }
  return true;
}

// Lets both ends take in their last acknowledgements so that each run
// starts with empty windows.
void settle(NET_CONN *a, NET_CONN *b)
{
  int out_a = 1, out_b = 1;
  auto start = clock_type::now();
  while ((out_a || out_b) && seconds_since(start) < 5) {
    net_conn_stats(a, NULL, &out_a);
    net_conn_stats(b, NULL, &out_b);
  }
}

}  // namespace

int main(int argc, char **argv)
{
  long count = argc > 1 ? atol(argv[1]) : 50000;
  int trips = argc > 2 ? atoi(argv[2]) : 2000;
  std::string name = argc > 3 ? argv[3] : "udp";
  int driver = name == "ipx" ? NET_DRIVER_IPX_WIN : name == "local" ? NET_DRIVER_LOCAL : NET_DRIVER_WSOCK_WIN;
  setenv("NETLANE_IPX_LOOPBACK", "1", 1);
  if (net_init() != 0 || !net_initdriver(driver)) {
    fprintf(stderr, "the %s driver did not start\n", name.c_str());
    return 1;
  }
  std::string bind = "127.0.0.1:" + std::to_string(free_port()), where = bind;
  if (driver != NET_DRIVER_WSOCK_WIN) {
    // Port 900 of this process: "00000000/7F000001D162:900" on IPX, ":900" here.
    NET_CHANNEL *probe = net_openchannel(driver, NULL);
    std::string own = probe ? net_getlocaladdress(probe) : "";
    net_closechannel(probe);
    bind = ":900";
    where = own.substr(0, own.find(':') == std::string::npos ? 0 : own.find(':')) + bind;
  }
  NET_CONN *listener = net_openconn(driver, bind.c_str());
  NET_CONN *client = net_openconn(driver, NULL);
  if (!listener || !client || net_listen(listener) != 0 || net_connect(client, where.c_str()) != 0) {
    fprintf(stderr, "cannot open the conns\n");
    return 1;
  }
  NET_CONN *server = NULL;
  int connected = 0;
  auto start = clock_type::now();
  while ((!server || connected != 1) && seconds_since(start) < 5) {
    if (!server) server = net_poll_listen(listener);
    if (connected != 1) connected = net_poll_connect(client);
  }
  if (!server || connected != 1) {
    fprintf(stderr, "the conns did not connect\n");
    return 1;
  }

  printf("reliable conns, %s driver on loopback, default windows, one thread polling both ends\n", name.c_str());
  printf("%8s %14s %12s %12s %12s\n", "size", "messages/s", "MB/s", "rtt mean us", "rtt p50 us");
  const int sizes[] = {16, driver == NET_DRIVER_WSOCK_WIN ? 1024 : 508};
  for (int size : sizes) {
    double rate = stream(client, server, size, count);
    settle(client, server);
    std::vector<double> us;
    if (rate < 0 || !round_trips(client, server, size, trips, us)) {
      fprintf(stderr, "%d-byte messages stalled\n", size);
      return 1;
    }
    settle(client, server);
    double mean = 0;
    for (double u : us) mean += u;
    mean /= (double)us.size();
    std::nth_element(us.begin(), us.begin() + (long)us.size() / 2, us.end());
    printf("%8d %14.0f %12.2f %12.1f %12.1f\n", size, rate, rate * size / 1e6, mean, us[us.size() / 2]);
  }
  net_shutdown();
  return 0;
}
