// A second process for the Internet driver tests: sends "ping" to the
// address given on its command line, prints its own local address, then
// prints the first reply and who sent it. Gives up after five seconds. A
// second argument names another driver to do it on (the IPX driver's tests).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "netlane.h"

int main(int argc, char **argv)
{
  int driver = argc == 3 ? atoi(argv[2]) : NET_DRIVER_WSOCK_WIN;
  if (argc < 2 || argc > 3 || net_init() != 0 || !net_initdriver(driver))
    return 2;
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
