// UDP channels of the Internet driver through the library's channel calls:
// binding texts, reuse, datagrams on 127.0.0.1, targets, broadcast option
// (checked on the socket, never sent), configuration keys.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "binaddr.h"
#include "channels.h"
#include "drivers.h"
#include "inetdefs.h"
#include "netlane.h"

#include "inet_test_util.h"

namespace {

class InetChannel : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  }

  void TearDown() override
  {
    for (NET_CHANNEL *c : opened)
      net_closechannel(c);
    // Leave the driver's settings as a fresh process has them.
    load_config_text("[internet]\nport=24785\nforceport=0\nip=0\ndisable=0\n");
  }

  NET_CHANNEL *open(const char *binding)
  {
    NET_CHANNEL *c = net_openchannel(NET_DRIVER_WSOCK_WIN, binding);
    if (c)
      opened.push_back(c);
    return c;
  }

  void close(NET_CHANNEL *c)
  {
    for (size_t i = 0; i < opened.size(); i++)
      if (opened[i] == c)
        opened.erase(opened.begin() + static_cast<long>(i));
    EXPECT_EQ(net_closechannel(c), 0);
  }

  std::vector<NET_CHANNEL *> opened;
};

int sock_option(NET_CHANNEL *c, int option)
{
  int value = -1;
  socklen_t len = sizeof value;
  getsockopt(static_cast<channel_data_t *>(c->data)->sock, SOL_SOCKET, option, &value, &len);
  return value;
}

const struct sockaddr_in &target_of(NET_CHANNEL *c)
{
  return static_cast<channel_data_t *>(c->data)->target_address;
}

// The loopback text of a channel bound to all interfaces (":port").
std::string loopback_text(NET_CHANNEL *c)
{
  return std::string("127.0.0.1") + net_getlocaladdress(c);
}

int open_descriptors()
{
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d)
    return -1;
  while (readdir(d))
    n++;
  closedir(d);
  return n;
}

}  // namespace

TEST_F(InetChannel, BindingTextsAndThePortsTheyGive)
{
  // The default port is moved into this suite's range so that a running
  // chat host on 24785 cannot disturb the test.
  load_config_text("[internet]\nport=30101\n");

  NET_CHANNEL *c = open(NULL);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(net_getlocaladdress(c)[0], ':');
  EXPECT_NE(port_of(net_getlocaladdress(c)), 30101);
  EXPECT_EQ(sock_option(c, SO_REUSEADDR), 0);

  // Port 0 in a text means "the default", never a system-chosen port.
  const struct {
    const char *text, *local;
    int reuse;
  } cases[] = {
      {"", ":30101", 0},
      {":30102", ":30102", 0},
      {":0", ":30101", 0},
      {"127.0.0.1:0", "127.0.0.1:30101", 0},
      {"+", ":30101", 1},
      {"-localhost:30103", "127.0.0.1:30103", 0},
  };
  for (const auto &t : cases) {
    c = open(t.text);
    ASSERT_NE(c, nullptr) << t.text;
    EXPECT_STREQ(net_getlocaladdress(c), t.local);
    EXPECT_EQ(sock_option(c, SO_REUSEADDR) != 0, t.reuse != 0) << t.text;
    close(c);
  }
}

TEST_F(InetChannel, UnusableBindingTextsOpenNothing)
{
  int before = open_descriptors();
  // A short dotted quad, a port beyond 16 bits, and an address that is
  // not this machine's.
  EXPECT_EQ(open("10.0.1"), nullptr);
  EXPECT_EQ(open("10.0.1:30110"), nullptr);
  EXPECT_EQ(open(":70000"), nullptr);
  EXPECT_EQ(open("+:65536"), nullptr);
  EXPECT_EQ(open("192.0.2.1:30111"), nullptr);
  char where[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(net_last_cause(where), NET_CAUSE_NOT_LOCAL);
  EXPECT_STREQ(where, "192.0.2.1:30111");
  // A text refused before any system call leaves no cause of the last one.
  EXPECT_EQ(open(":70000"), nullptr);
  EXPECT_EQ(net_last_cause(where), NET_CAUSE_NONE);
  EXPECT_STREQ(where, "");
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(__netlane_internal__openchannels->next, nullptr);
}

TEST_F(InetChannel, TwoChannelsOnOnePortNeedReuse)
{
  NET_CHANNEL *a = open(":30120");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(open(":30120"), nullptr);
  char where[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(net_last_cause(where), NET_CAUSE_ADDRESS_IN_USE);
  EXPECT_STREQ(where, ":30120");
  EXPECT_EQ(open("127.0.0.1:30120"), nullptr);
  EXPECT_EQ(net_last_cause(NULL), NET_CAUSE_ADDRESS_IN_USE);

  EXPECT_NE(open("+:30121"), nullptr);
  EXPECT_NE(open("+:30121"), nullptr);

  // "forceport" makes reuse the default; "-" still turns it off.
  load_config_text("[internet]\nforceport=1\n");
  EXPECT_NE(open(":30122"), nullptr);
  EXPECT_NE(open(":30122"), nullptr);
  EXPECT_NE(open("-:30123"), nullptr);
  EXPECT_EQ(open("-:30123"), nullptr);
  // A channel without a binding text never asks for reuse.
  NET_CHANNEL *c = open(NULL);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(sock_option(c, SO_REUSEADDR), 0);
}

TEST_F(InetChannel, DatagramsBetweenTwoChannels)
{
  NET_CHANNEL *a = open(NULL);
  NET_CHANNEL *b = open(NULL);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  char buf[256];
  char from[NET_MAX_ADDRESS_LENGTH];

  // Nothing waiting: both the query and the receive say so.
  EXPECT_EQ(net_query(b), 0);
  EXPECT_EQ(net_receive(b, buf, sizeof buf, from), 0);

  // Without a target nothing can be sent.
  EXPECT_EQ(net_send(a, "x", 1), 1);

  ASSERT_EQ(net_assigntarget(a, loopback_text(b).c_str()), 0);
  ASSERT_EQ(net_send(a, "hello", 5), 0);
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_query(b), 1);
  memset(from, 'z', sizeof from);
  EXPECT_EQ(net_receive(b, buf, sizeof buf, from), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(std::string(from), loopback_text(a));
  EXPECT_EQ(net_query(b), 0);

  // Back the other way, to the text the datagram came from; no `from`.
  ASSERT_EQ(net_assigntarget(b, from), 0);
  ASSERT_EQ(net_send(b, "reply!", 6), 0);
  ASSERT_TRUE(wait_readable(a));
  EXPECT_EQ(net_receive(a, buf, sizeof buf, NULL), 6);

  // A datagram of exactly the buffer's size is whole; a zero-length one
  // reads as 0 bytes but, unlike an empty socket, names its sender; order
  // within a burst is kept on loopback.
  ASSERT_EQ(net_send(a, "0123456789", 10), 0);
  ASSERT_EQ(net_send(a, "", 0), 0);
  ASSERT_EQ(net_send(a, "after", 5), 0);
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_receive(b, buf, 10, NULL), 10);
  ASSERT_TRUE(wait_readable(b));
  from[0] = 0;
  EXPECT_EQ(net_receive(b, buf, sizeof buf, from), 0);
  EXPECT_EQ(std::string(from), loopback_text(a));
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_receive(b, buf, sizeof buf, NULL), 5);
  from[0] = 0;
  EXPECT_EQ(net_receive(b, buf, sizeof buf, from), 0);
  EXPECT_EQ(from[0], 0) << "nothing waiting names nobody";

  // A conn's read takes two at once and keeps the second, which the query
  // counts and the next read of either kind hands out; one alone says the
  // socket is empty for the rest of the reader's wait round.
  for (const char *m : {"one", "two", "three"}) ASSERT_EQ(net_send(a, m, (int)strlen(m)), 0);
  ASSERT_TRUE(wait_readable(b));
  bin_addr_t sender;
  EXPECT_EQ(__netlane_internal__inet_recv_bin(b, buf, sizeof buf, &sender, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(__netlane_internal__inet_stashed(b), 1);
  EXPECT_EQ(net_query(b), 1);
  from[0] = 0;
  EXPECT_EQ(net_receive(b, buf, sizeof buf, from), 3);
  EXPECT_EQ(std::string(buf, 3), "two");
  EXPECT_EQ(std::string(from), loopback_text(a));
  EXPECT_EQ(__netlane_internal__inet_recv_bin(b, buf, sizeof buf, &sender, 7), 5);
  EXPECT_EQ(std::string(buf, 5), "three");
  EXPECT_EQ(__netlane_internal__inet_stashed(b), 0);
  ASSERT_EQ(net_send(a, "four", 4), 0);
  EXPECT_EQ(__netlane_internal__inet_recv_bin(b, buf, sizeof buf, &sender, 7), -2) << "found empty in round 7";
  EXPECT_EQ(__netlane_internal__inet_recv_bin(b, buf, sizeof buf, &sender, 8), 4);
}

TEST_F(InetChannel, OversizeDatagramFailsAndIsConsumed)
{
  NET_CHANNEL *a = open(NULL);
  NET_CHANNEL *b = open(NULL);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(net_assigntarget(a, loopback_text(b).c_str()), 0);

  char big[1100];
  memset(big, 'B', sizeof big);
  char buf[1024];
  memset(buf, 0, sizeof buf);
  ASSERT_EQ(net_send(a, big, sizeof big), 0);
  ASSERT_EQ(net_send(a, "small", 5), 0);
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_receive(b, buf, sizeof buf, NULL), -1);
  // The oversize datagram is gone; the next one is read whole.
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_receive(b, buf, sizeof buf, NULL), 5);
  EXPECT_EQ(std::string(buf, 5), "small");

  // A negative capacity reads nothing rather than trusting the size.
  ASSERT_EQ(net_send(a, "x", 1), 0);
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_receive(b, buf, -1, NULL), -1);
  EXPECT_EQ(net_send(a, "x", -1), 1);
}

TEST_F(InetChannel, UnreadableTargetKeepsTheOldOne)
{
  NET_CHANNEL *a = open(NULL);
  NET_CHANNEL *b = open(NULL);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(net_assigntarget(a, loopback_text(b).c_str()), 0);

  EXPECT_EQ(net_assigntarget(a, "10.0.1"), 1);
  EXPECT_STREQ(a->target_addr, "10.0.1");
  EXPECT_EQ(net_assigntarget(a, "127.0.0.1:65536"), 1);
  // No port after the colon, or junk after it.
  for (const char *bad : {"127.0.0.1:", "[::1]:", "127.0.0.1:5:6", "[::1]:5:6", "127.0.0.1:0x10", "127.0.0.1:+5",
                          "127.0.0.1: 5", "[::1]: 5"})
    EXPECT_EQ(net_assigntarget(a, bad), 1) << bad;
  // And a binding text so is no binding either.
  EXPECT_EQ(net_openchannel(NET_DRIVER_WSOCK_WIN, "[::1]:5:6"), nullptr);

  char buf[16];
  ASSERT_EQ(net_send(a, "still", 5), 0);
  ASSERT_TRUE(wait_readable(b));
  EXPECT_EQ(net_receive(b, buf, sizeof buf, NULL), 5);
}

TEST_F(InetChannel, TargetPortsAndBroadcastOption)
{
  NET_CHANNEL *a = open(NULL);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(sock_option(a, SO_BROADCAST), 0);

  ASSERT_EQ(net_assigntarget(a, "127.0.0.1"), 0);
  EXPECT_EQ(ntohs(target_of(a).sin_port), 24785);
  EXPECT_EQ(ntohl(target_of(a).sin_addr.s_addr), 0x7F000001u);
  EXPECT_EQ(sock_option(a, SO_BROADCAST), 0);

  // "*" permits broadcast on the socket; nothing is sent here.
  ASSERT_EQ(net_assigntarget(a, "*"), 0);
  EXPECT_NE(sock_option(a, SO_BROADCAST), 0);
  EXPECT_EQ(ntohl(target_of(a).sin_addr.s_addr), 0xFFFFFFFFu);
  EXPECT_EQ(ntohs(target_of(a).sin_port), 24785);

  ASSERT_EQ(net_assigntarget(a, "*:30130"), 0);
  EXPECT_EQ(ntohs(target_of(a).sin_port), 30130);

  // The permission stays for the socket's life.
  ASSERT_EQ(net_assigntarget(a, "127.0.0.1:30131"), 0);
  EXPECT_NE(sock_option(a, SO_BROADCAST), 0);
}

namespace {

std::vector<std::string> conn_sections;

void spy_load_conn_config(NET_DRIVER *, FILE *, const char *section)
{
  conn_sections.push_back(section);
}

}  // namespace

TEST_F(InetChannel, ConfigurationKeys)
{
  NET_DRIVER *drv = &net_driver_wsock_win;
  EXPECT_EQ(drv->detect(), 2);

  // "port": nonzero replaces the default; 0, text and ports beyond 16 bits
  // leave it.
  load_config_text("[internet]\nport=30140\n");
  NET_CHANNEL *c = open(NULL);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(net_assigntarget(c, "127.0.0.1"), 0);
  EXPECT_EQ(ntohs(target_of(c).sin_port), 30140);
  for (const char *cfg : {"[internet]\nport=0\n", "[internet]\nport=abc\n", "[internet]\nport=70000\n",
                          "[internet]\nport=-5\n", "[other]\nport=30141\n", "[internet]\nPort=30142\n"}) {
    load_config_text(cfg);
    ASSERT_EQ(net_assigntarget(c, "127.0.0.1"), 0);
    EXPECT_EQ(ntohs(target_of(c).sin_port), 30140) << cfg;
  }

  // "ip" becomes the binding address of texts that name no host.
  load_config_text("[internet]\nip=127.0.0.1\nport=30143\n");
  NET_CHANNEL *d = open(NULL);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(std::string(net_getlocaladdress(d)).rfind("127.0.0.1:", 0), 0u);
  d = open("+");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(net_getlocaladdress(d), "127.0.0.1:30143");
  d = open(":30144");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(net_getlocaladdress(d), "127.0.0.1:30144");
  load_config_text("[internet]\nip=192.0\n");  // 192.0.0.0: no address of ours
  EXPECT_EQ(open(":30145"), nullptr);
  load_config_text("[internet]\nip=0\n");
  d = open(":30145");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(net_getlocaladdress(d), ":30145");

  // "disable": a nonzero number or a lowercase "y", in either section.
  const char *off[] = {"[internet]\ndisable=yes\n", "[internet]\ndisable=1\n", "[winsock_win]\ndisable=y\n"};
  const char *on[] = {"[internet]\ndisable=Yes\n", "[winsock_win]\ndisable=no\n",
                      "[internet]\ndisable=1\n[winsock_win]\ndisable=0\n"};
  for (int i = 0; i < 3; i++) {
    load_config_text(off[i]);
    EXPECT_EQ(drv->detect(), 0) << off[i];
    load_config_text(on[i]);
    EXPECT_EQ(drv->detect(), 2) << on[i];
  }
  load_config_text("[winsock_win]\nport=30146\n");  // only "disable" counts there
  ASSERT_EQ(net_assigntarget(c, "127.0.0.1"), 0);
  EXPECT_EQ(ntohs(target_of(c).sin_port), 30143);

  // The conn settings are read from "internet" through the record's slot.
  auto saved = drv->load_conn_config;
  drv->load_conn_config = spy_load_conn_config;
  conn_sections.clear();
  load_config_text("[nothing]\n");
  drv->load_conn_config = saved;
  ASSERT_FALSE(conn_sections.empty());
  EXPECT_EQ(conn_sections.back(), "internet");
}
