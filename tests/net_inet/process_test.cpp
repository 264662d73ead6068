// Datagrams between two processes on 127.0.0.1, each with its own channel.
#include <gtest/gtest.h>

#include <string>

#include "netlane.h"

#include "inet_test_util.h"

TEST(InetProcesses, DatagramsBothWaysWithTheSendersText)
{
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(b, nullptr);
  ping_pong_with_peer(b, std::string("127.0.0.1") + net_getlocaladdress(b), "127.0.0.1");
  net_closechannel(b);
}
