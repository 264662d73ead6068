// The IPX driver's channels, on the IPX layer kept on loopback: automatic
// and shared ports, address texts, the port queues' limits and the
// configuration sections; datagrams between two programs; and, in a
// private network namespace, a broadcast reaching every program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "connhelp.h"
#include "drivers.h"
#include "netlane.h"

#include "inet_test_util.h"
#include "ipx_test_util.h"

namespace {

const char *kDefaults = "[ipx]\nport = 1\nforceport = 0\naddress = 00000000/000000000000\ndisable = 0\n";

std::string socket_config(int socket, const std::string &more = "")
{
  return "[ipx]\nsocket = " + std::to_string(socket) + "\n" + more;
}

class Ipx : public ::testing::Test {
 protected:
  void SetUp() override
  {
    keep_ipx_on_loopback();
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(load_config_text(socket_config(test_socket_number()).c_str()), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  }
  void TearDown() override
  {
    // Leave the driver's settings as a fresh process has them.
    load_config_text(kDefaults);
    net_shutdown();
  }

  static NET_CHANNEL *open(const char *addr) { return net_openchannel(NET_DRIVER_IPX_WIN, addr); }
  static std::string local(NET_CHANNEL *c) { return net_getlocaladdress(c); }
  static int port(NET_CHANNEL *c) { return atoi(strchr(net_getlocaladdress(c), ':') + 1); }
  // Network and node: the text before the port.
  static std::string where(NET_CHANNEL *c) { return local(c).substr(0, local(c).find(':')); }

  // The next datagram on `c` once it has come through the loopback; ""
  // when none came within two seconds. `from` gets the sender's text.
  static std::string next(NET_CHANNEL *c, std::string *from = nullptr)
  {
    char buf[600];
    char sender[NET_MAX_ADDRESS_LENGTH] = "";
    if (!wait_readable(c)) return "";
    int len = net_receive(c, buf, sizeof buf, sender);
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
  EXPECT_TRUE(std::regex_match(local(a), std::regex("00000000/7F000001[0-9A-F]{4}:[0-9]+"))) << local(a);

  NET_CHANNEL *d = open("");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(port(d), 1);
  EXPECT_EQ(open(""), nullptr);
  EXPECT_EQ(open("-"), nullptr);
  NET_CHANNEL *e = open("+");
  ASSERT_NE(e, nullptr);
  // Ports named by hand lie far from the automatic ones.
  ASSERT_NE(open(":7000"), nullptr);
  EXPECT_EQ(open(":7000"), nullptr);
  EXPECT_NE(open("+:7000"), nullptr);
  NET_CHANNEL *lenient = open("not an address:8000");
  ASSERT_NE(lenient, nullptr);
  EXPECT_EQ(port(lenient), 8000);

  // Channels of one port take turns at its one queue.
  ASSERT_EQ(net_assigntarget(a, where(d).c_str()), 0);  // no port: the default one
  ASSERT_EQ(net_send(a, "x", 1), 0);
  ASSERT_EQ(net_send(a, "y", 1), 0);
  EXPECT_EQ(next(e), "x");
  EXPECT_EQ(next(d), "y");

  ASSERT_EQ(load_config_text(socket_config(test_socket_number(), "forceport = 1\n").c_str()), 0);
  EXPECT_NE(open(""), nullptr);
  EXPECT_EQ(open("-"), nullptr);
}

TEST_F(Ipx, AddressTextsAreWrittenInFullAndReadLeniently)
{
  NET_CHANNEL *to = open(":5000");
  NET_CHANNEL *dflt = open("");
  NET_CHANNEL *s = open(NULL);
  ASSERT_TRUE(to && dflt && s);
  std::string me = where(to);
  std::string lower = me;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return (char)tolower(c); });

  // Each reaches port 5000, and the sender's text is its own local address,
  // the form in which a target is read back.
  std::vector<std::string> targets = {me + ":5000", lower + ":5000", me.substr(9) + ":5000",
                                      "*/*:5000",  "*:5000",        "0000000A/*:5000"};
  for (const std::string &target : targets) {
    ASSERT_EQ(net_assigntarget(s, target.c_str()), 0) << target;
    ASSERT_EQ(net_send(s, target.c_str(), (int)target.size()), 0);
    std::string from;
    EXPECT_EQ(next(to, &from), target);
    EXPECT_EQ(from, local(s));
  }
  ASSERT_EQ(net_assigntarget(s, me.substr(9).c_str()), 0);  // no port: the default one
  ASSERT_EQ(net_send(s, "default", 7), 0);
  EXPECT_EQ(next(dflt), "default");

  for (const char *bad : {"", ":5000", "0123456789A:5000", "0123456789ABC:5000", "000000A/0123456789AB", "0000000G/*",
                          "0123456789AG", "**", "*/", "*/:5000", "x/*:5000", "*/*/*"})
    EXPECT_EQ(net_assigntarget(s, bad), 1) << bad;
  ASSERT_EQ(net_send(s, "kept", 4), 0);
  EXPECT_EQ(next(dflt), "kept") << "a refused text leaves the target as it was";
}

TEST_F(Ipx, QueuesKeepSixteenPacketsAndShortBuffersLoseTheRest)
{
  NET_CHANNEL *to = open(":6000");
  NET_CHANNEL *from = open(NULL);
  ASSERT_TRUE(to && from);
  ASSERT_EQ(net_assigntarget(from, (where(to) + ":6000").c_str()), 0);
  std::vector<unsigned char> big(600, 'b');
  EXPECT_EQ(net_send(from, big.data(), 600), 1);
  EXPECT_EQ(net_send(from, big.data(), 513), 1);
  EXPECT_EQ(net_receive(to, big.data(), 600, NULL), -1) << "nothing waits";
  for (int i = 0; i < 17; i++) {
    big[0] = (unsigned char)i;
    ASSERT_EQ(net_send(from, big.data(), i == 0 ? 512 : 100), 0);
  }
  ASSERT_TRUE(wait_readable(to));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the 17th as well
  std::vector<unsigned char> buf(600, 0);
  EXPECT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), 512);
  std::fill(buf.begin(), buf.end(), 0);
  EXPECT_EQ(net_receive(to, buf.data(), 10, NULL), 10);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[10], 0) << "nothing past the caller's size";
  for (int i = 2; i < 16; i++) {
    ASSERT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), 100);
    EXPECT_EQ(buf[0], i) << "in the order sent";
  }
  EXPECT_EQ(net_receive(to, buf.data(), (int)buf.size(), NULL), -1) << "the 17th was dropped";
}

TEST_F(Ipx, ConfigurationSections)
{
  for (const char *section : {"ipx", "ipx_win"}) {
    for (const char *value : {"y", "yes", "1"}) {
      ASSERT_EQ(load_config_text(("[" + std::string(section) + "]\ndisable = " + value + "\n").c_str()), 0);
      EXPECT_EQ(net_detectdriver(NET_DRIVER_IPX_WIN), 0) << section << " " << value;
    }
    for (const char *value : {"n", "0", "Yes"}) {
      ASSERT_EQ(load_config_text(("[" + std::string(section) + "]\ndisable = " + value + "\n").c_str()), 0);
      EXPECT_EQ(net_detectdriver(NET_DRIVER_IPX_WIN), 1) << section << " " << value;
    }
  }

  // A socket number of 0, or beyond 16 bits, keeps the one in force: the
  // channel still meets this process.
  ASSERT_EQ(load_config_text("[ipx]\nport = 9\nsocket = 0\nsocket = 70000\nconn_resend_rate = 40\n"), 0);
  EXPECT_EQ(__netlane_internal__get_conn_config(&net_driver_ipx_win)->resend_rate, 40);
  NET_CHANNEL *nine = open("");
  NET_CHANNEL *s = open(NULL);
  ASSERT_TRUE(nine && s);
  EXPECT_EQ(port(nine), 9);
  ASSERT_EQ(net_assigntarget(s, where(nine).c_str()), 0);
  ASSERT_EQ(net_send(s, "nine", 4), 0);
  EXPECT_EQ(next(nine), "nine");

  // The network number comes from "address", and the next start binds there.
  net_shutdown();
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(load_config_text(socket_config(test_socket_number(), "address = 0000000a/000000000000\n").c_str()), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  NET_CHANNEL *a = open(":3000");
  NET_CHANNEL *b = open(NULL);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(local(a).substr(0, 17), "0000000A/7F000001");
  ASSERT_EQ(net_assigntarget(b, local(a).c_str()), 0);
  ASSERT_EQ(net_send(b, "net A", 5), 0);
  EXPECT_EQ(next(a), "net A");
  free(net_driver_ipx_win.conn_config);
  net_driver_ipx_win.conn_config = NULL;
}

TEST(IpxProcesses, DatagramsBothWaysWithTheSendersText)
{
  // The peer reads no configuration, so both use the default socket number.
  keep_ipx_on_loopback();
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(load_config_text(kDefaults), 0);
  ASSERT_EQ(load_config_text(socket_config(24785).c_str()), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_IPX_WIN), 1);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_IPX_WIN, NULL);
  ASSERT_NE(b, nullptr);
  ping_pong_with_peer(b, net_getlocaladdress(b), "", " 7");
  net_shutdown();
}

const int kSkip = 77;  // a namespace child that could not make its network

// A program on port 5 of the default socket number: writes its address to
// `ready`, then waits up to five seconds for a datagram. 0 when "hello"
// came from the segment's address 10.231.0.1.
int broadcast_listener(int ready)
{
  if (net_init() != 0 || !net_initdriver(NET_DRIVER_IPX_WIN)) return 2;
  NET_CHANNEL *c = net_openchannel(NET_DRIVER_IPX_WIN, ":5");
  if (!c) return 3;
  std::string line = std::string(net_getlocaladdress(c)) + "\n";
  if (write(ready, line.data(), line.size()) != (ssize_t)line.size()) return 4;
  char buf[16];
  char from[NET_MAX_ADDRESS_LENGTH];
  for (int i = 0; i < 5000; i++) {
    int len = net_receive(c, buf, sizeof buf, from);
    if (len < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    bool heard = len == 5 && memcmp(buf, "hello", 5) == 0 && strncmp(from, "00000000/0AE70001", 17) == 0;
    return heard ? 0 : 5;
  }
  return 6;
}

// Inside a fresh namespace with a veth segment 10.231.0.0/24: two listeners
// and a sender broadcasting until both have heard it. Writes the listeners'
// addresses to `report`.
int broadcast_on_segment(int report)
{
  if (unshare(CLONE_NEWNET) != 0) return kSkip;
  if (system("ip link set lo up && ip link add v0 type veth peer name v1 && "
             "ip addr add 10.231.0.1/24 brd + dev v0 && ip link set v0 up && ip link set v1 up && "
             "ip route add default dev v0") != 0)
    return kSkip;
  unsetenv("NETLANE_IPX_LOOPBACK");  // the segment's own broadcast this time
  int ready[2];
  if (pipe(ready) != 0) return 1;
  pid_t listeners[2];
  for (pid_t &l : listeners) {
    fflush(NULL);
    l = fork();
    if (l == 0) _exit(broadcast_listener(ready[1]));
  }
  close(ready[1]);
  std::string lines;
  char buf[256];
  struct pollfd p = {ready[0], POLLIN, 0};
  for (int i = 0; i < 50 && std::count(lines.begin(), lines.end(), '\n') < 2; i++) {
    if (poll(&p, 1, 100) > 0) {
      ssize_t n = read(ready[0], buf, sizeof buf);
      if (n <= 0) break;
      lines.append(buf, (size_t)n);
    }
  }
  if (write(report, lines.data(), lines.size()) != (ssize_t)lines.size()) return 1;

  int ok = 0;
  if (net_init() == 0 && net_initdriver(NET_DRIVER_IPX_WIN)) {
    NET_CHANNEL *c = net_openchannel(NET_DRIVER_IPX_WIN, NULL);
    int done = 0;
    for (int i = 0; c && i < 200 && done < 2; i++) {
      net_assigntarget(c, "*/*:5");
      net_send(c, "hello", 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      for (pid_t l : listeners) {
        int status;
        if (waitpid(l, &status, WNOHANG) == l) {
          done++;
          ok += WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
      }
    }
  }
  for (pid_t l : listeners) kill(l, SIGKILL);
  while (wait(NULL) > 0) {
  }
  return ok == 2 ? 0 : 1;
}

TEST(IpxBroadcast, ReachesEveryProgramOfTheSocketNumberOnTheSegment)
{
  if (geteuid() != 0) GTEST_SKIP() << "not root: no private network namespace for a broadcast";
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  fflush(NULL);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);
    close(report[0]);
    _exit(broadcast_on_segment(report[1]));
  }
  close(report[1]);
  int status = 0;
  for (int waited = 0; waited <= 20000; waited += 50) {
    if (waitpid(child, &status, WNOHANG) == child) break;
    if (waited == 20000) {
      kill(-child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the broadcast test did not end";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  char buf[512] = "";
  ssize_t n = read(report[0], buf, sizeof buf - 1);
  close(report[0]);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << "no private network namespace with a veth pair here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "both listeners must hear it";
  // A node is the program's IPv4 address on the segment and a UDP port.
  std::string lines(buf, n > 0 ? (size_t)n : 0);
  EXPECT_TRUE(std::regex_match(lines, std::regex("(00000000/0AE70001[0-9A-F]{4}:5\n){2}"))) << lines;
}

}  // namespace
