// Helpers shared by the Internet driver tests (and the IPX driver's):
// configuration from a text, bounded waits for datagrams, ports out of
// address texts, the exchange with the peer program.
#ifndef INET_TEST_UTIL_H
#define INET_TEST_UTIL_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

// The port of an address text ("a.b.c.d:port", "[::1]:port" or ":port");
// -1 without one.
inline int port_of(const char *text)
{
  const char *colon = strrchr(text, ':');
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

#ifdef INET_PEER_PATH
// Runs the peer program against channel `c`, which it reaches as `own`
// (`args` follow on its command line): it must send "ping" from the
// address it prints, after `host` (the Internet driver's local addresses
// name none), and get our "pong" back from `own`.
inline void ping_pong_with_peer(NET_CHANNEL *c, const std::string &own, const std::string &host,
                                const std::string &args = "")
{
  // A waiter with nothing to read sleeps its time out, then wakes when the
  // other process's datagram arrives.
  NET_CHANNEL *waited[1] = {c};
  EXPECT_EQ(net_wait(NULL, 0, waited, 1, 20), 0);
  FILE *peer = popen((std::string(INET_PEER_PATH) + " " + own + args).c_str(), "r");
  ASSERT_NE(peer, nullptr);
  // The peer prints its address before it sends, and ends within five
  // seconds whatever happens, so these reads are bounded.
  char line[256] = "";
  ASSERT_NE(fgets(line, sizeof line, peer), nullptr);
  std::string peer_text = host + strtok(line, "\n");

  char buf[64];
  char from[NET_MAX_ADDRESS_LENGTH];
  ASSERT_EQ(net_wait(NULL, 0, waited, 1, 5000), 1);
  ASSERT_EQ(net_receive(c, buf, sizeof buf, from), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  EXPECT_EQ(std::string(from), peer_text);

  ASSERT_EQ(net_assigntarget(c, from), 0);
  ASSERT_EQ(net_send(c, "pong", 4), 0);
  ASSERT_NE(fgets(line, sizeof line, peer), nullptr);
  EXPECT_EQ(std::string(line), "reply pong from " + own + "\n");
  int status = pclose(peer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif

#endif
