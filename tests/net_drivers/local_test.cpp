// The local host driver's channels: port numbers from binding texts, shared
// ports, the ring's limits, the sender's text, its configuration section.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "netlane.h"

#include "inet_test_util.h"

namespace {

class Local : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_LOCAL), 1);
  }
  void TearDown() override { net_shutdown(); }

  static NET_CHANNEL *open(const char *addr) { return net_openchannel(NET_DRIVER_LOCAL, addr); }
  static int port(NET_CHANNEL *c) { return atoi(net_getlocaladdress(c)); }
};

TEST_F(Local, PortNumbersFromBindingTexts)
{
  // Free numbers count up; one given back is handed out again.
  NET_CHANNEL *a = open(NULL);
  NET_CHANNEL *b = open(NULL);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(port(b), port(a) + 1);
  net_closechannel(b);
  EXPECT_EQ(port(open(NULL)), port(a) + 1);

  EXPECT_STREQ(net_getlocaladdress(open("")), "0");
  EXPECT_STREQ(net_getlocaladdress(open(":5")), "5");
  for (const char *bad : {"x", "-1", "+5", "localhost", ":", "2147483648"}) EXPECT_EQ(open(bad), nullptr) << bad;
  EXPECT_EQ(net_assigntarget(a, "host:5"), -1);
}

TEST_F(Local, ChannelsOnOnePortShareItsRing)
{
  NET_CHANNEL *a = open("5");
  NET_CHANNEL *b = open(":5");
  NET_CHANNEL *s = open(NULL);
  ASSERT_TRUE(a && b && s);
  EXPECT_EQ(net_send(s, "lost", 4), 0) << "no target yet: dropped without a word";
  ASSERT_EQ(net_assigntarget(s, "5"), 0);
  ASSERT_EQ(net_send(s, "one", 3), 0);
  ASSERT_EQ(net_send(s, "two", 3), 0);
  char buf[8];
  EXPECT_EQ(net_receive(b, buf, sizeof buf, NULL), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(net_receive(a, buf, sizeof buf, NULL), 3);
  EXPECT_EQ(std::string(buf, 3), "two");
  EXPECT_EQ(net_receive(a, buf, sizeof buf, NULL), -1);
  // The port outlives one of its channels, not both.
  net_closechannel(a);
  ASSERT_EQ(net_send(s, "three", 5), 0);
  EXPECT_EQ(net_query(b), 1);
  net_closechannel(b);
  EXPECT_EQ(net_query(open("5")), 0);
}

TEST_F(Local, RingHoldsSixteenPacketsOfAtMost512Bytes)
{
  NET_CHANNEL *to = open("7");
  NET_CHANNEL *from = open("3");
  ASSERT_TRUE(to && from);
  ASSERT_EQ(net_assigntarget(from, ":7"), 0);
  std::vector<unsigned char> buf(600, 'b');
  EXPECT_EQ(net_send(from, buf.data(), 600), -1);
  EXPECT_EQ(net_send(from, buf.data(), 513), -1);
  for (int i = 0; i < 17; i++) {
    buf[0] = (unsigned char)i;
    EXPECT_EQ(net_send(from, buf.data(), i == 0 ? 512 : 100), 0) << "also the dropped 17th";
  }
  char who[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(net_receive(to, buf.data(), (int)buf.size(), who), 512);
  EXPECT_STREQ(who, "3");
  // A short buffer takes what fits; the rest of that packet is gone.
  buf.assign(600, 0);
  EXPECT_EQ(net_receive(to, buf.data(), 10, NULL), 10);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[10], 0) << "nothing past the caller's size";
  for (int i = 2; i < 16; i++) {
    ASSERT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), 100);
    EXPECT_EQ(buf[0], i);
  }
  EXPECT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), -1);
}

TEST_F(Local, DisableInTheLocalhostSection)
{
  ASSERT_EQ(load_config_text("[localhost]\ndisable = yes\n"), 0);
  EXPECT_EQ(net_detectdriver(NET_DRIVER_LOCAL), 0);
  ASSERT_EQ(load_config_text("[localhost]\ndisable = Yes\n"), 0);
  EXPECT_EQ(net_detectdriver(NET_DRIVER_LOCAL), 1);
}

}  // namespace
