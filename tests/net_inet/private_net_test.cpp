// Name lookups that could leave the machine (unknown names, dotted texts
// that are not quads) run only inside a private network namespace with its
// own hosts file and a resolver configuration pointing at loopback. The
// outer test re-runs this program there; elsewhere it is skipped.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "inetaddr.h"
#include "inetdefs.h"
#include "netlane.h"

#include "inet_test_util.h"

namespace {

const char *inside_flag = "YAMMER_INET_PRIVATE_NET";

bool inside()
{
  return getenv(inside_flag) != NULL;
}

std::string write_temp(const char *text)
{
  char path[] = "/tmp/inet_ns_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0)
    return "";
  size_t len = strlen(text);
  bool ok = write(fd, text, len) == static_cast<ssize_t>(len);
  close(fd);
  return ok ? path : "";
}

}  // namespace

TEST(InetNameLookup, UnknownNamesInPrivateNamespace)
{
  if (inside())
    GTEST_SKIP() << "already inside the private namespace";
  if (system("unshare --mount --net true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "unshare --mount --net is not permitted here: unknown-name cases not run";

  std::string resolv = write_temp("nameserver 127.0.0.1\n");
  std::string nsswitch = write_temp("hosts: files dns\n");
  std::string hosts = write_temp("127.0.0.1 localhost\n"
                                 "10.1.2.3 gamma\n"
                                 "10.9.8.7 gamma.10.0.1\n");
  ASSERT_FALSE(resolv.empty() || nsswitch.empty() || hosts.empty());
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';

  std::string cmd = "unshare --mount --net sh -c '"
                    "mount --bind " + resolv + " /etc/resolv.conf && "
                    "mount --bind " + nsswitch + " /etc/nsswitch.conf && "
                    "mount --bind " + hosts + " /etc/hosts && " +
                    inside_flag + "=1 exec " + self + " --gtest_filter=InetPrivateNet.*'";
  int status = system(cmd.c_str());
  unlink(resolv.c_str());
  unlink(nsswitch.c_str());
  unlink(hosts.c_str());
  EXPECT_EQ(status, 0);
}

TEST(InetPrivateNet, ReadingLooksUpWhatIsNoQuad)
{
  if (!inside())
    GTEST_SKIP() << "runs only inside the private namespace";
  unsigned int addr;
  int port;
  EXPECT_EQ(__netlane_internal__parse_address("gamma.10.0.1:7", &addr, &port), 0);
  EXPECT_EQ(addr, 0x0A090807u);
  EXPECT_EQ(port, 7);
  // A fourth dot makes the text a name, which no one knows.
  EXPECT_EQ(__netlane_internal__parse_address("10.0.0.1.5:7", &addr, &port), -1);
  EXPECT_EQ(__netlane_internal__parse_address("nosuchhost.invalid:5", &addr, &port), -1);
  EXPECT_EQ(__netlane_internal__parse_address("localhost", &addr, &port), 0);
  EXPECT_EQ(addr, 0x7F000001u);
}

TEST(InetPrivateNet, PreparationOfKnownAndUnknownNames)
{
  if (!inside())
    GTEST_SKIP() << "runs only inside the private namespace";
  char dest[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(prepare("+gamma:99", dest), 1);
  EXPECT_STREQ(dest, "+10.1.2.3:99");
  EXPECT_EQ(prepare("gamma", dest), 1);
  EXPECT_STREQ(dest, "10.1.2.3");
  EXPECT_EQ(prepare("-nosuchhost.invalid:5", dest), -1);
}

TEST(InetPrivateNet, UnknownNamesInBindingAndTargetTexts)
{
  if (!inside())
    GTEST_SKIP() << "runs only inside the private namespace";
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);

  // Refused rather than bound to all interfaces.
  EXPECT_EQ(net_openchannel(NET_DRIVER_WSOCK_WIN, "nosuchhost.invalid:30150"), nullptr);

  NET_CHANNEL *c = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(net_assigntarget(c, "gamma:30151"), 0);
  channel_data_t *data = static_cast<channel_data_t *>(c->data);
  struct sockaddr_in before = data->target_address;
  EXPECT_EQ(net_assigntarget(c, "nosuchhost.invalid:30152"), 1);
  EXPECT_EQ(memcmp(&before, &data->target_address, sizeof before), 0);
  EXPECT_EQ(data->address_length, 16);
  net_closechannel(c);
}

// Conns not yet heard from are bounded per host (an IPv4 address, an IPv6
// /64) and per network (an IPv4 /24, an IPv6 /48); requests come from
// plain sockets on addresses of the namespace's loopback.
TEST(InetPrivateNet, SilentConnBoundsPerHostAndNetwork)
{
  if (!inside())
    GTEST_SKIP() << "runs only inside the private namespace";
  // Every address of 2001:db8::/32 reaches this machine, as 127/8 does.
  ASSERT_EQ(system("ip link set lo up && ip -6 route add local 2001:db8::/32 dev lo"), 0);
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  ASSERT_EQ(load_config_text("[internet]\nconn_max_silent_per_address = 2\nconn_max_silent_per_network = 3\n"), 0);
  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, ":30160");
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(net_listen(listener), 0);

  unsigned int id = 1;
  std::vector<int> socks;
  // True when a request from `from` gets a conn within half a second.
  auto accepted = [&](const char *from) {
    bool six = strchr(from, ':') != NULL;
    struct sockaddr_storage me, to;
    memset(&me, 0, sizeof me);
    memset(&to, 0, sizeof to);
    me.ss_family = to.ss_family = six ? AF_INET6 : AF_INET;
    if (six) {
      inet_pton(AF_INET6, from, &reinterpret_cast<sockaddr_in6 *>(&me)->sin6_addr);
      inet_pton(AF_INET6, "::1", &reinterpret_cast<sockaddr_in6 *>(&to)->sin6_addr);
      reinterpret_cast<sockaddr_in6 *>(&to)->sin6_port = htons(30160);
    } else {
      inet_pton(AF_INET, from, &reinterpret_cast<sockaddr_in *>(&me)->sin_addr);
      inet_pton(AF_INET, "127.0.0.1", &reinterpret_cast<sockaddr_in *>(&to)->sin_addr);
      reinterpret_cast<sockaddr_in *>(&to)->sin_port = htons(30160);
    }
    socklen_t len = six ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    int s = socket(me.ss_family, SOCK_DGRAM, 0);
    socks.push_back(s);
    int one = 1;  // an address of the local route that no interface holds
    setsockopt(s, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&me), len), 0) << from;
    unsigned char request[12] = {'c', 'o', 'n', 'n', 'e', 'c', 't', 0, 0, 0, 0, (unsigned char)id++};
    sendto(s, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&to), len);
    for (int i = 0; i < 500; i++) {
      if (net_poll_listen(listener))
        return true;
      usleep(1000);
    }
    return false;
  };
  EXPECT_TRUE(accepted("127.0.0.10"));
  EXPECT_TRUE(accepted("127.0.0.10"));
  EXPECT_FALSE(accepted("127.0.0.10")) << "two per address";
  EXPECT_TRUE(accepted("127.0.0.11"));
  EXPECT_FALSE(accepted("127.0.0.12")) << "three per /24";
  EXPECT_TRUE(accepted("127.0.1.12"));
  EXPECT_TRUE(accepted("2001:db8:1:2::5"));
  EXPECT_TRUE(accepted("2001:db8:1:2::6"));
  EXPECT_FALSE(accepted("2001:db8:1:2::7")) << "one /64 is one host";
  EXPECT_TRUE(accepted("2001:db8:1:3::5"));
  EXPECT_FALSE(accepted("2001:db8:1:3::6")) << "three per /48";
  EXPECT_TRUE(accepted("2001:db8:2::5"));
  for (int s : socks)
    close(s);
  net_shutdown();
}
