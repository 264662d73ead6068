// Channels against the recording driver: which slots are called, with what,
// under which lock, and shutdown closing what is left newest first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channels.h"
#include "internal.h"
#include "recorder.h"

namespace {

typedef std::vector<std::string> Log;

int open_channels()
{
  int n = 0;
  for (__channel_list_t *node = __netlane_internal__openchannels->next; node; node = node->next) n++;
  return n;
}

class Channels : public ::testing::Test {
 protected:
  void SetUp() override
  {
    rec = Recorder();
    install_test_mutexes();
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_register_driver(20, &drv), 20);
  }
  void TearDown() override { net_shutdown(); }
  NET_DRIVER drv = recording_driver();
};

}  // namespace

TEST_F(Channels, OpenAndCloseCallTheDriverOutsideTheLock)
{
  NET_CHANNEL *chan = net_openchannel(20, "bind");
  ASSERT_NE(chan, nullptr);
  EXPECT_EQ(chan->type, 20);
  EXPECT_EQ(chan->driver, &drv);
  EXPECT_STREQ(chan->target_addr, "");
  EXPECT_STREQ(net_getlocaladdress(chan), "local1");
  EXPECT_EQ(net_channel_driver(chan), 20);
  EXPECT_EQ(open_channels(), 1);

  EXPECT_EQ(net_closechannel(chan), 0);
  EXPECT_EQ(open_channels(), 0);
  EXPECT_EQ(rec.log, (Log{"init_channel bind unlocked", "destroy_channel #1 unlocked"}));
  EXPECT_FALSE(channels_locked());
}

TEST_F(Channels, RefusedOrImpossibleOpensLeaveNothingBehind)
{
  EXPECT_EQ(net_openchannel(10, "x"), nullptr);  // nothing registered there
  rec.init_channel_answer = -1;
  EXPECT_EQ(net_openchannel(20, NULL), nullptr);
  EXPECT_EQ(net_openchannel(3, NULL), nullptr);  // a placeholder has no channels
  EXPECT_EQ(open_channels(), 0);
  EXPECT_EQ(rec.log, (Log{"init_channel (null) unlocked"}));
  EXPECT_FALSE(channels_locked());
}

TEST_F(Channels, ClosingTwiceOrAStrangerCallsNoDriver)
{
  NET_CHANNEL *chan = net_openchannel(20, NULL);
  ASSERT_NE(chan, nullptr);
  NET_CHANNEL stranger = *chan;
  ASSERT_EQ(net_closechannel(chan), 0);
  rec.log.clear();
  EXPECT_EQ(net_closechannel(chan), 1);
  EXPECT_EQ(net_closechannel(&stranger), 1);
  EXPECT_EQ(net_closechannel(nullptr), 1);
  EXPECT_TRUE(rec.log.empty());
  EXPECT_EQ(net_getlocaladdress(nullptr), nullptr);
}

TEST_F(Channels, OperationsPassStraightToTheDriver)
{
  NET_CHANNEL *chan = net_openchannel(20, NULL);
  ASSERT_NE(chan, nullptr);
  rec.log.clear();
  rec.send_answer = 0;
  rec.recv_answer = 12;
  rec.query_answer = 1;
  char buf[64], from[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(net_send(chan, "hello", 5), 0);
  EXPECT_EQ(net_receive(chan, buf, sizeof buf, from), 12);
  EXPECT_EQ(net_receive(chan, buf, 8, NULL), 12);
  EXPECT_EQ(net_query(chan), 1);
  EXPECT_EQ(rec.log, (Log{"send #1 5", "recv #1 64 from", "recv #1 8 nofrom", "query #1"}));
}

TEST_F(Channels, TargetTextStaysEvenWhenRefusedAndIsCutAt127)
{
  NET_CHANNEL *chan = net_openchannel(20, NULL);
  ASSERT_NE(chan, nullptr);
  rec.update_target_answer = -1;
  EXPECT_EQ(net_assigntarget(chan, "10.0.0.1:99"), -1);
  EXPECT_STREQ(chan->target_addr, "10.0.0.1:99");

  rec.update_target_answer = 0;
  const std::string longer(300, 'h');
  EXPECT_EQ(net_assigntarget(chan, longer.c_str()), 0);
  EXPECT_EQ(std::string(chan->target_addr), longer.substr(0, 127));
  EXPECT_EQ(rec.log.back(), "update_target #1 " + longer.substr(0, 127));

  // The channel's own text, or its tail, may be assigned again.
  ASSERT_EQ(net_assigntarget(chan, "abc:1"), 0);
  EXPECT_EQ(net_assigntarget(chan, chan->target_addr + 1), 0);
  EXPECT_STREQ(chan->target_addr, "bc:1");
}

TEST_F(Channels, ShutdownClosesEveryChannelNewestFirst)
{
  for (int i = 0; i < 3; i++) ASSERT_NE(net_openchannel(20, NULL), nullptr);
  rec.log.clear();
  ASSERT_EQ(net_shutdown(), 0);
  EXPECT_EQ(rec.log, (Log{"destroy_channel #3 unlocked", "destroy_channel #2 unlocked",
                          "destroy_channel #1 unlocked"}));
}
