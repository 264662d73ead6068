// Name lookups that could leave the machine (unknown names, dotted texts
// that are not quads) run only inside a private network namespace with its
// own hosts file and a resolver configuration pointing at loopback. The
// outer test re-runs this program there; elsewhere it is skipped.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
