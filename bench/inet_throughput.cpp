// Datagrams per second between two Internet-driver channels on 127.0.0.1:
// bursts of sends, each drained before the next so that no socket buffer
// overflows, for a fixed count per datagram size.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netlane.h"

namespace {

const int burst = 64;

// Sends `count` datagrams of `size` bytes from a to b; answers how many
// arrived whole, or -1 when a send failed.
long run(NET_CHANNEL *a, NET_CHANNEL *b, int size, long count)
{
  static char out[1028];
  static char in[1028];
  memset(out, 'x', sizeof out);
  long received = 0;
  for (long sent = 0; sent < count; sent += burst) {
    for (int i = 0; i < burst; i++)
      if (net_send(a, out, size) != 0)
        return -1;
    // Drain this burst; a datagram lost on loopback ends the wait after
    // a bounded number of empty polls.
    int got = 0;
    for (int idle = 0; got < burst && idle < 100000;) {
      int n = net_receive(b, in, sizeof in, NULL);
      if (n == size) {
        got++;
        idle = 0;
      } else {
        idle++;
      }
    }
    received += got;
  }
  return received;
}

}  // namespace

int main(int argc, char **argv)
{
  long count = argc > 1 ? atol(argv[1]) : 200000;
  count = (count + burst - 1) / burst * burst;  // whole bursts only
  if (net_init() != 0 || !net_initdriver(NET_DRIVER_WSOCK_WIN)) {
    fprintf(stderr, "the Internet driver did not start\n");
    return 1;
  }
  NET_CHANNEL *a = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  char target[NET_MAX_ADDRESS_LENGTH];
  if (!a || !b) {
    fprintf(stderr, "no channels\n");
    return 1;
  }
  snprintf(target, sizeof target, "127.0.0.1%s", net_getlocaladdress(b));
  if (net_assigntarget(a, target) != 0)
    return 1;

  // 1028: a chat packet of 1024 bytes behind the conn wrapper's 4-byte header.
  const int sizes[] = {16, 256, 1028};
  for (int size : sizes) {
    auto start = std::chrono::steady_clock::now();
    long received = run(a, b, size, count);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (received < 0) {
      fprintf(stderr, "send failed at %d bytes\n", size);
      return 1;
    }
    printf("inet loopback: %4d-byte datagrams: %ld sent, %ld received, %.0f datagrams/s, %.1f MB/s\n",
           size, count, received, received / secs, received * size / secs / 1e6);
  }
  net_closechannel(a);
  net_closechannel(b);
  return 0;
}
