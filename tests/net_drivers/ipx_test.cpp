// The IPX driver on the IPX layer kept on loopback: automatic and shared
// ports, address texts, the port queues' limits, its configuration; then
// datagrams between two programs, and in a private network namespace one
// broadcast reaching every program of the socket number on the segment.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "netlane.h"
#include "drivers.h"

#include "inet_test_util.h"
#include "ipx_test_util.h"

namespace {

const char *kSegment = "YAMMER_IPX_SEGMENT";  // set inside the namespace

class Ipx : public ::testing::Test {
 protected:
  void SetUp() override
  {
    keep_ipx_on_loopback();
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(load_config_text(("[ipx]\nsocket = " + std::to_string(test_socket_number())).c_str()), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  }
  void TearDown() override
  {
    // Leave the settings as a fresh process has them.
    load_config_text("[ipx]\nport = 1\nsocket = 24785\nforceport = 0\naddress = 00000000/000000000000\ndisable = 0\n");
    net_shutdown();
  }

  static NET_CHANNEL *open(const char *addr) { return net_openchannel(NET_DRIVER_IPX_WIN, addr); }
  static std::string local(NET_CHANNEL *c) { return net_getlocaladdress(c); }
  static int port(NET_CHANNEL *c) { return atoi(strchr(net_getlocaladdress(c), ':') + 1); }
  // Network and node: the text before the port.
  static std::string where(NET_CHANNEL *c) { return local(c).substr(0, local(c).find(':')); }

  // The next datagram on `c` once it has come through the loopback ("" if
  // none within two seconds); `from` gets the sender's text.
  static std::string next(NET_CHANNEL *c, std::string *from = nullptr)
  {
    char buf[64];
    char sender[NET_MAX_ADDRESS_LENGTH] = "";
    int len = wait_readable(c) ? net_receive(c, buf, sizeof buf, sender) : -1;
    if (from) *from = sender;
    return len < 0 ? "" : std::string(buf, (size_t)len);
  }
};

TEST_F(Ipx, AutomaticPortsPassTheDefaultAndPortsAreSharedOnlyOnRequest)
{
  NET_CHANNEL *a = open(NULL);
  NET_CHANNEL *b = open(NULL);
  ASSERT_TRUE(a && b);
  EXPECT_NE(port(a), 1);
  EXPECT_EQ(port(b), port(a) + 1);
  NET_CHANNEL *d = open("");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(port(d), 1);
  EXPECT_EQ(open(""), nullptr);
  EXPECT_EQ(open("-"), nullptr);
  NET_CHANNEL *e = open("+");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(port(open("not an address:8000")), 8000);

  // Channels of one port take turns at its one queue.
  ASSERT_EQ(net_assigntarget(a, where(d).c_str()), 0);  // no port: the default one
  ASSERT_EQ(net_send(a, "x", 1), 0);
  ASSERT_EQ(net_send(a, "y", 1), 0);
  EXPECT_EQ(next(e), "x");
  EXPECT_EQ(next(d), "y");
}

TEST_F(Ipx, AddressTextsAreWrittenInFullAndReadLeniently)
{
  NET_CHANNEL *to = open(":5000");
  NET_CHANNEL *s = open(NULL);
  ASSERT_TRUE(to && s);
  EXPECT_TRUE(std::regex_match(local(to), std::regex("00000000/7F000001[0-9A-F]{4}:5000"))) << local(to);
  std::string me = where(to);
  std::string lower = me;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return (char)tolower(c); });

  // Each reaches port 5000, and the sender's text is its local address:
  // the form a target is read in, which a conn's peer check relies on.
  std::vector<std::string> targets = {me + ":5000", lower + ":5000", me.substr(9) + ":5000", "*/*:5000",
                                      "0000000A/*:5000"};
  for (const std::string &target : targets) {
    ASSERT_EQ(net_assigntarget(s, target.c_str()), 0) << target;
    ASSERT_EQ(net_send(s, target.c_str(), (int)target.size()), 0);
    std::string from;
    EXPECT_EQ(next(to, &from), target);
    EXPECT_EQ(from, local(s));
  }
  for (const char *bad : {"", ":5000", "0123456789A", "0123456789ABC", "000000A/*", "0123456789AG", "**", "*/"})
    EXPECT_EQ(net_assigntarget(s, bad), 1) << bad;
}

TEST_F(Ipx, QueuesKeepSixteenPacketsAndShortBuffersLoseTheRest)
{
  NET_CHANNEL *to = open(":6000");
  NET_CHANNEL *from = open(NULL);
  ASSERT_TRUE(to && from);
  ASSERT_EQ(net_assigntarget(from, (where(to) + ":6000").c_str()), 0);
  std::vector<unsigned char> buf(600, 'b');
  EXPECT_EQ(net_send(from, buf.data(), 513), 1);
  for (int i = 0; i < 17; i++) {
    buf[0] = (unsigned char)i;
    ASSERT_EQ(net_send(from, buf.data(), i == 0 ? 512 : 100), 0);
  }
  ASSERT_TRUE(wait_readable(to));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the 17th as well
  EXPECT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), 512);
  buf.assign(600, 0);
  EXPECT_EQ(net_receive(to, buf.data(), 10, NULL), 10);
  EXPECT_EQ(buf[10], 0) << "nothing past the caller's size";
  for (int i = 2; i < 16; i++) {
    ASSERT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), 100);
    EXPECT_EQ(buf[0], i) << "in the order sent";
  }
  EXPECT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), -1) << "the 17th was dropped";
}

TEST_F(Ipx, JunkInAFullQueueMakesWayForTheTargetsPackets)
{
  NET_CHANNEL *to = open(":6100");
  NET_CHANNEL *peer = open(NULL);
  NET_CHANNEL *stranger = open(NULL);
  ASSERT_TRUE(to && peer && stranger);
  ASSERT_EQ(net_assigntarget(to, local(peer).c_str()), 0);
  ASSERT_EQ(net_assigntarget(peer, (where(to) + ":6100").c_str()), 0);
  ASSERT_EQ(net_assigntarget(stranger, (where(to) + ":6100").c_str()), 0);
  for (int i = 0; i < 20; i++)
    ASSERT_EQ(net_send(stranger, "junk", 4), 0);
  ASSERT_TRUE(wait_readable(to));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  net_query(to);  // files all 20: the queue is full of junk
  ASSERT_EQ(net_send(peer, "peer", 4), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<std::string> got;
  char buf[8];
  for (int n = 0; n < 20 && net_query(to); n++)
    got.emplace_back(buf, (size_t)std::max(0, net_receive(to, buf, sizeof buf, NULL)));
  ASSERT_EQ(got.size(), 16u);
  EXPECT_EQ(got[0], "peer") << "read before the junk queued ahead of it";
  EXPECT_EQ(std::count(got.begin(), got.end(), "junk"), 15);
}

// Threads that each use only their own channels must get only their own bytes.
TEST_F(Ipx, TwoThreadsOnTheirOwnChannels)
{
  auto run = [](char tag, int *good) {
    NET_CHANNEL *a = net_openchannel(NET_DRIVER_IPX_WIN, NULL);
    NET_CHANNEL *b = net_openchannel(NET_DRIVER_IPX_WIN, NULL);
    if (!a || !b || net_assigntarget(b, net_getlocaladdress(a)) != 0) return;
    std::string from_b = net_getlocaladdress(b);
    for (int i = 0; i < 2000; i++) {
      char out[64], in[64], sender[NET_MAX_ADDRESS_LENGTH] = "";
      memset(out, tag, sizeof out);
      out[0] = (char)i;
      if (net_send(b, out, sizeof out) != 0) continue;
      int len = -1;
      for (int tries = 0; tries < 2000 && len < 0; tries++) {
        len = net_receive(a, in, sizeof in, sender);
        if (len < 0) std::this_thread::yield();
      }
      *good += len == (int)sizeof out && memcmp(in, out, sizeof out) == 0 && from_b == sender;
    }
    net_closechannel(a);
    net_closechannel(b);
  };
  int good[2] = {0, 0};
  std::thread one(run, 'x', &good[0]), two(run, 'y', &good[1]);
  one.join();
  two.join();
  // Loopback loses nothing here; a datagram taken in late only costs its own.
  EXPECT_GE(good[0], 1990);
  EXPECT_GE(good[1], 1990);
}

// A program holding the broadcast port without sharing it leaves the
// driver working point to point, and its description says what is missing.
TEST_F(Ipx, AStrangerOnTheBroadcastPortCostsOnlyBroadcasts)
{
  EXPECT_STREQ(net_driver_ipx_win.desc, "IPX driver");
  net_shutdown();
  int stranger = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons((unsigned short)test_meeting_port());
  ASSERT_EQ(bind(stranger, (sockaddr *)&at, sizeof at), 0);
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(load_config_text(("[ipx]\nsocket = " + std::to_string(test_socket_number())).c_str()), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  EXPECT_NE(std::string(net_driver_ipx_win.desc).find("no broadcasts"), std::string::npos);
  NET_CHANNEL *to = open(":6200");
  NET_CHANNEL *from = open(NULL);
  ASSERT_TRUE(to && from);
  ASSERT_EQ(net_assigntarget(from, (where(to) + ":6200").c_str()), 0);
  ASSERT_EQ(net_send(from, "direct", 6), 0);
  EXPECT_EQ(next(to), "direct");
  close(stranger);
}

TEST_F(Ipx, ConfigurationSections)
{
  ASSERT_EQ(load_config_text("[ipx_win]\ndisable = yes\n"), 0);
  EXPECT_EQ(net_detectdriver(NET_DRIVER_IPX_WIN), 0);
  // The network number comes from "address"; the next start binds there.
  net_shutdown();
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(load_config_text("[ipx_win]\ndisable = n\n[ipx]\naddress = 0000000a/000000000000\nport = 9\n"), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  NET_CHANNEL *nine = open("");
  ASSERT_NE(nine, nullptr);
  EXPECT_TRUE(std::regex_match(local(nine), std::regex("0000000A/7F000001[0-9A-F]{4}:9"))) << local(nine);
}

TEST(IpxPrograms, DatagramsBothWaysWithTheSendersText)
{
  // The peer reads no configuration: both take the default socket number.
  keep_ipx_on_loopback();
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_IPX_WIN, NULL);
  ASSERT_NE(b, nullptr);
  ping_pong_with_peer(b, net_getlocaladdress(b), "", " 7");
  net_shutdown();
}

TEST(IpxBroadcast, ReachesEveryProgramOfTheSocketNumberOnTheSegment)
{
  if (getenv(kSegment)) GTEST_SKIP() << "already inside the private namespace";
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  // A veth pair, both ends inside, makes a segment with a broadcast address.
  std::string cmd = std::string("unshare --net sh -c '") +
                    "{ ip link set lo up && ip link add v0 type veth peer name v1 && "
                    "ip addr add 10.231.0.1/24 brd + dev v0 && ip link set v0 up && ip link set v1 up && "
                    "ip route add default dev v0; } >/dev/null 2>&1 || exit 77; "
                    "unset NETLANE_IPX_LOOPBACK; " +
                    kSegment + "=1 exec " + self + " --gtest_filter=IpxSegment.*' 2>&1";
  int status = system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private network namespace with a veth pair here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(IpxSegment, OneBroadcastReachesBothPeers)
{
  if (!getenv(kSegment)) GTEST_SKIP() << "runs only inside the private namespace";
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  NET_CHANNEL *c = net_openchannel(NET_DRIVER_IPX_WIN, ":9");
  ASSERT_NE(c, nullptr);
  std::string own = net_getlocaladdress(c);
  // Each peer pings us from port 2 of its own node and waits for a reply.
  FILE *peers[2];
  char line[256];
  for (FILE *&p : peers) {
    p = popen((std::string(INET_PEER_PATH) + " " + own + " 7").c_str(), "r");
    ASSERT_NE(p, nullptr);
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    // A node: the program's address on the segment and a UDP port.
    EXPECT_TRUE(std::regex_match(line, std::regex("00000000/0AE70001[0-9A-F]{4}:2\n"))) << line;
  }
  ASSERT_EQ(net_assigntarget(c, "*/*:2"), 0);
  ASSERT_EQ(net_send(c, "pong", 4), 0);
  for (FILE *p : peers) {
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(std::string(line), "reply pong from " + own + "\n");
    int status = pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  net_shutdown();
}

}  // namespace
