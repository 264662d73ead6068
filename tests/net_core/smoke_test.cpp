// The library comes up, opens a channel and a conn on the no-network driver
// and goes down again.
#include <gtest/gtest.h>

#include "netlane.h"

TEST(Smoke, NoNetworkChannelAndConn)
{
  ASSERT_EQ(net_init(), 0);
  net_initdrivers(net_drivers_all);
  NET_CHANNEL *chan = net_openchannel(NET_DRIVER_NONET, NULL);
  ASSERT_NE(chan, nullptr);
  EXPECT_STREQ(net_getlocaladdress(chan), "(n/a)");
  NET_CONN *conn = net_openconn(NET_DRIVER_NONET, NULL);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(net_shutdown(), 0);
}
