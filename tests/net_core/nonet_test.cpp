// The no-network driver end to end through the public routines.
#include <gtest/gtest.h>

#include "netlane.h"

namespace {

class NoNetwork : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_NONET), 1);
  }
  void TearDown() override { net_shutdown(); }
};

}  // namespace

TEST_F(NoNetwork, ChannelsAcceptEverythingAndCarryNothing)
{
  NET_CHANNEL *chan = net_openchannel(NET_DRIVER_NONET, NULL);
  ASSERT_NE(chan, nullptr);
  EXPECT_STREQ(net_getlocaladdress(chan), "(n/a)");
  EXPECT_EQ(chan->data, nullptr);
  EXPECT_EQ(net_channel_driver(chan), NET_DRIVER_NONET);
  EXPECT_EQ(net_assigntarget(chan, "anywhere"), 0);
  EXPECT_STREQ(chan->target_addr, "anywhere");
  EXPECT_EQ(net_send(chan, "x", 1), 0);

  char buf[8] = "keep";
  char from[NET_MAX_ADDRESS_LENGTH] = "untouched";
  EXPECT_EQ(net_receive(chan, buf, sizeof buf, from), 0);
  EXPECT_STREQ(buf, "keep");
  EXPECT_STREQ(from, "untouched");
  EXPECT_EQ(net_query(chan), 0);

  NET_CHANNEL *bound = net_openchannel(NET_DRIVER_NONET, "any binding at all");
  ASSERT_NE(bound, nullptr);
  EXPECT_STREQ(net_getlocaladdress(bound), "(n/a)");
  EXPECT_EQ(net_closechannel(chan), 0);
  EXPECT_EQ(net_closechannel(bound), 0);
}

TEST_F(NoNetwork, ConnsOpenButNeverConnect)
{
  NET_CONN *conn = net_openconn(NET_DRIVER_NONET, "");
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->data, nullptr);
  EXPECT_EQ(net_listen(conn), -1);
  EXPECT_EQ(conn->status, NET_CONN_IDLE);
  EXPECT_EQ(net_poll_listen(conn), nullptr);
  EXPECT_EQ(net_connect(conn, "far:1"), -1);
  EXPECT_EQ(net_poll_connect(conn), -1);
  EXPECT_EQ(net_getpeer(conn), nullptr);
  EXPECT_EQ(net_connect_wait_time(conn, "far:1", 5), -1);

  char buf[4];
  EXPECT_EQ(net_send_rdm(conn, "x", 1), -1);
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), -1);
  EXPECT_EQ(net_query_rdm(conn), 0);
  EXPECT_EQ(net_ignore_rdm(conn), 0);
  int in_q = 99, out_q = 99;
  EXPECT_EQ(net_conn_stats(conn, NULL, &out_q), 0);
  EXPECT_EQ(out_q, 0);
  EXPECT_EQ(net_conn_stats(conn, &in_q, NULL), 0);
  EXPECT_EQ(in_q, 0);
  EXPECT_EQ(net_conn_driver(conn), NET_DRIVER_NONET);
  EXPECT_EQ(net_closeconn(conn), 0);
}
