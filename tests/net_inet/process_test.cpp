// Datagrams between two processes on 127.0.0.1, each with its own channel.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "netlane.h"

#include "inet_test_util.h"

TEST(InetProcesses, DatagramsBothWaysWithTheSendersText)
{
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(b, nullptr);
  std::string own = std::string("127.0.0.1") + net_getlocaladdress(b);

  std::string cmd = std::string(INET_PEER_PATH) + " " + own;
  FILE *peer = popen(cmd.c_str(), "r");
  ASSERT_NE(peer, nullptr);
  char line[256] = "";
  // The peer prints its address before it sends, and ends within five
  // seconds whatever happens, so these reads are bounded.
  ASSERT_NE(fgets(line, sizeof line, peer), nullptr);
  std::string peer_text = std::string("127.0.0.1") + strtok(line, "\n");

  char buf[64];
  char from[NET_MAX_ADDRESS_LENGTH];
  ASSERT_TRUE(wait_readable(b));
  ASSERT_EQ(net_receive(b, buf, sizeof buf, from), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  EXPECT_EQ(std::string(from), peer_text);

  ASSERT_EQ(net_assigntarget(b, from), 0);
  ASSERT_EQ(net_send(b, "pong", 4), 0);
  ASSERT_NE(fgets(line, sizeof line, peer), nullptr);
  EXPECT_EQ(std::string(line), "reply pong from " + own + "\n");
  int status = pclose(peer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  net_closechannel(b);
}
