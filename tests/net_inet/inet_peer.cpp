// A second process for the Internet driver tests: sends "ping" to the
// address given on its command line, prints its own local address, then
// prints the first reply and who sent it. Gives up after five seconds. A
// second argument names another driver to do it on (the IPX driver's tests),
// or is "conn": then it connects a conn to the address, sends "ping" on it
// and prints the first message back and the conn's peer address.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "netlane.h"

static int conn_peer(const char *target)
{
  NET_CONN *c = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  if (!c || net_connect(c, target) != 0)
    return 3;
  int connected = 0;
  for (int i = 0; i < 5000 && connected == 0; i++) {
    connected = net_poll_connect(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (connected != 1 || net_send_rdm(c, "ping", 4) != 0)
    return 4;
  char buf[64];
  for (int i = 0; i < 5000; i++) {
    int got = net_receive_rdm(c, buf, sizeof buf);
    if (got > 0) {
      printf("reply %.*s from %s\n", got, buf, c->peer_addr);
      fflush(stdout);
      // Time for the acknowledgement to reach the other side.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      net_closeconn(c);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 5;
}

int main(int argc, char **argv)
{
  bool conn = argc == 3 && strcmp(argv[2], "conn") == 0;
  int driver = argc == 3 && !conn ? atoi(argv[2]) : NET_DRIVER_WSOCK_WIN;
  if (argc < 2 || argc > 3 || net_init() != 0 || !net_initdriver(driver))
    return 2;
  if (conn)
    return conn_peer(argv[1]);
  NET_CHANNEL *c = net_openchannel(driver, NULL);
  if (!c)
    return 3;
  printf("%s\n", net_getlocaladdress(c));
  fflush(stdout);
  if (net_assigntarget(c, argv[1]) != 0 || net_send(c, "ping", 4) != 0)
    return 4;

  char buf[64];
  char from[NET_MAX_ADDRESS_LENGTH];
  for (int i = 0; i < 5000; i++) {
    int got = net_receive(c, buf, sizeof buf, from);
    if (got > 0) {
      printf("reply %.*s from %s\n", got, buf, from);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 5;
}
