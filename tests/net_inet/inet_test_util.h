// Helpers shared by the Internet driver tests: configuration from a text,
// bounded waits for datagrams, ports out of address texts.
#ifndef INET_TEST_UTIL_H
#define INET_TEST_UTIL_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

#include "inetaddr.h"
#include "netlane.h"

// Applies `text` as the library's configuration file; 0 when read.
inline int load_config_text(const char *text)
{
  char path[] = "/tmp/inet_cfg_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0)
    return -1;
  size_t len = strlen(text);
  int result = write(fd, text, len) == static_cast<ssize_t>(len) ? 0 : -1;
  close(fd);
  if (result == 0)
    result = net_loadconfig(path);
  unlink(path);
  return result;
}

// The port of an address text ("a.b.c.d:port" or ":port"); -1 without one.
inline int port_of(const char *text)
{
  const char *colon = strchr(text, ':');
  return colon ? atoi(colon + 1) : -1;
}

// True once a datagram waits on `c`; gives up after two seconds.
inline bool wait_readable(NET_CHANNEL *c)
{
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until) {
    if (net_query(c))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Polls a started preparation request to its end (at most ten seconds):
// its final answer, or 0 when the worker never finished.
inline int finish_request(NET_PREPADDR_DATA *d)
{
  for (int i = 0; i < 10000; i++) {
    int r = __netlane_internal__inet_poll_prepareaddress(d);
    if (r != 0)
      return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// Prepares `src` into `dest` start to end; -2 when it did not start.
inline int prepare(const char *src, char *dest)
{
  NET_PREPADDR_DATA d;
  memset(&d, 0, sizeof d);
  strncpy(d.src, src, sizeof d.src - 1);
  d.dest = dest;
  if (__netlane_internal__inet_prepareaddress(&d) != 0)
    return -2;
  return finish_request(&d);
}

#endif
