// Hostile address texts of the Internet driver: seeded texts of digits,
// dots, colons, "*", "+", "-", blanks, letters and bytes above 127, short
// and far past 127 characters, into the reading routines, the background
// preparation and (inside a private network namespace, where any port is
// free to take) the binding and target texts of channels. Name lookups go
// to the fake resolver, so none leaves the process; the readers must look
// up exactly the texts that are no dotted quad, and nothing else.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "address_rules.h"
#include "fake_resolver.h"
#include "fuzz_util.h"
#include "inetaddr.h"
#include "netlane.h"

namespace {

const int kDefaultPort = 24785;
using namespace address_rules;

/* ---- Texts ---- */

const char *const kHosts[] = {"", "127.0.0.1", "127.1.2.3", "0.0.0.0", "...", "127..1.", "383.0.0.1",
                              "*", "**", "1.2.3.4", "1.2.3", "1.2.3.4.5", "10.0.0.1.", "localhost",
                              "loop7", "gamma", "dual", "nosuch", "+1.2.3.4", "1.2.3.-4", "999999999.1.1.1"};
const char *const kPorts[] = {"", ":", ":0", ":1", ":80", ":24785", ":65535", ":65536", ":-1", ": 77", ":+5",
                              ":-0", ":99999999999999999999", ":12ab", ":ab", "::5", ":5:6", ":\t9",
                              ":0x10", ":00080", ":5 ", ":0000000000009"};

std::string random_text(Fuzz &f)
{
  std::string text;
  switch (f.below(4)) {
    case 0:  // a known host and port
    case 1:
      text = kHosts[f.below(sizeof kHosts / sizeof *kHosts)];
      if (f.chance(40)) text = std::to_string(f.below(300)) + "." + std::to_string(f.below(300)) + "." +
                               std::to_string(f.below(300)) + "." + std::to_string(f.below(300));
      text += f.chance(30) ? ":" + std::to_string(f.between(-70000, 140000)) : kPorts[f.below(sizeof kPorts / sizeof *kPorts)];
      break;
    case 2: {  // the symbols of address texts in any order
      int len = (int)f.below(f.chance(15) ? 300 : 24);
      for (int i = 0; i < len; i++) text += f.of("0123456789....:::*+- ");
      break;
    }
    default: {  // anything but NUL
      int len = (int)f.below(f.chance(15) ? 300 : 24);
      for (int i = 0; i < len; i++) text += (char)f.nonzero();
      break;
    }
  }
  // Past the 127 characters that are read, the text must change nothing.
  if (f.chance(10)) text += std::string(f.between(100, 200), f.of("0.:9"));
  return text;
}

std::string written(unsigned int addr, int port)
{
  std::string out;
  if (addr != 0)
    out = std::to_string(addr >> 24) + "." + std::to_string((addr >> 16) & 255) + "." +
          std::to_string((addr >> 8) & 255) + "." + std::to_string(addr & 255);
  return out + ":" + std::to_string(port);
}

std::string shown(const std::string &text)
{
  std::string out;
  for (unsigned char c : text) out += c >= 32 && c < 127 ? std::string(1, (char)c) : "\\x" + std::to_string(c);
  return "\"" + out + "\"";
}

/* ---- Reading and preparing ---- */

TEST(AddressFuzz, ReadingFollowsTheTextRules)
{
  Fuzz f(6161);
  Budget budget(15);
  int ok = 0, failed = 0, looked_up = 0;
  for (int round = 0; round < 50000 && budget.left(); round++) {
    std::string text = random_text(f);
    Reading want = read_text(text);
    unsigned int addr = 0x12345678;
    int port = -99;
    long before = fake_lookups();
    int result = __netlane_internal__parse_address(text.c_str(), &addr, &port);
    ASSERT_EQ(result, want.result) << shown(text);
    ASSERT_EQ(port, want.port) << shown(text);
    if (result == 0) {
      ASSERT_EQ(addr, want.addr) << shown(text);
    }
    ASSERT_EQ(fake_lookups() - before, want.lookup ? 1 : 0) << shown(text) << ": lookups";
    (result == 0 ? ok : failed)++;
    if (want.lookup) looked_up++;

    // The host routine alone, on whatever precedes the first colon.
    std::string host = text.substr(0, text.find(':'));
    Reading host_want = read_host(host);
    if (!host.empty()) {
      before = fake_lookups();
      ASSERT_EQ(__netlane_internal__get_address(host.c_str(), &addr), host_want.result) << shown(host);
      if (host_want.result == 0) {
        ASSERT_EQ(addr, host_want.addr) << shown(host);
      }
      ASSERT_EQ(fake_lookups() - before, host_want.lookup ? 1 : 0) << shown(host) << ": lookups";
    }
  }
  EXPECT_GT(ok, 1000);
  EXPECT_GT(failed, 1000);
  EXPECT_GT(looked_up, 1000);
}

// Prepares a 128-byte source field (terminated or not) to its end.
int prepare(const char (&src)[NET_MAX_ADDRESS_LENGTH], char *dest)
{
  NET_PREPADDR_DATA d;
  memset(&d, 0, sizeof d);
  memcpy(d.src, src, sizeof d.src);
  d.dest = dest;
  if (__netlane_internal__inet_prepareaddress(&d) != 0) return -2;
  for (int i = 0; i < 5000; i++) {
    int r = __netlane_internal__inet_poll_prepareaddress(&d);
    if (r != 0) return r;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return 0;  // the worker never finished
}

bool alnum(char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

TEST(AddressFuzz, PreparationFollowsTheTextRules)
{
  Fuzz f(7171);
  Budget budget(15);
  int resolved = 0;
  for (int round = 0; round < 1500 && budget.left(); round++) {
    std::string text = random_text(f);
    const char *prefixes[] = {"", "", "+", "-", "+-", "::", "."};
    text = prefixes[f.below(7)] + text;
    char src[NET_MAX_ADDRESS_LENGTH];
    memset(src, 0, sizeof src);
    // Sometimes the whole field without a terminator.
    size_t n = f.chance(10) ? sizeof src : std::min(text.size(), kTextMax);
    for (size_t i = 0; i < n; i++) src[i] = i < text.size() ? text[i] : 'x';
    std::string seen(src, strnlen(src, kTextMax));  // what the worker may read

    char dest[NET_MAX_ADDRESS_LENGTH + 16];
    memset(dest, 0x55, sizeof dest);
    int result = prepare(src, dest);
    ASSERT_NE(result, 0) << shown(seen) << ": the worker never finished";
    ASSERT_NE(result, -2);
    ASSERT_EQ(dest[NET_MAX_ADDRESS_LENGTH], 0x55) << "written past 128 bytes for " << shown(seen);

    size_t i = 0;
    while (i < seen.size() && !alnum(seen[i])) i++;
    if (i == seen.size()) {
      ASSERT_EQ(result, -1) << shown(seen);
      continue;
    }
    if (seen[i] >= '0' && seen[i] <= '9') {
      ASSERT_EQ(result, 1) << shown(seen);
      ASSERT_EQ(std::string(dest), seen);
      continue;
    }
    size_t colon = seen.find(':', i);
    std::string name = seen.substr(i, colon == std::string::npos ? std::string::npos : colon - i);
    unsigned int addr;
    if (!fake_known(name, &addr)) {
      ASSERT_EQ(result, -1) << shown(seen);
      continue;
    }
    std::string want = seen.substr(0, i) + written(addr, 0);
    want = want.substr(0, want.size() - 2);  // the quad without ":0"
    if (colon != std::string::npos) want += seen.substr(colon);
    if (want.size() > kTextMax) {  // fails rather than hands back a cut text
      ASSERT_EQ(result, -1) << shown(seen);
      continue;
    }
    ASSERT_EQ(result, 1) << shown(seen);
    ASSERT_EQ(std::string(dest), want) << shown(seen);
    resolved++;
  }
  EXPECT_GT(resolved, 10);
}

/* ---- Binding and target texts, in a private network namespace ---- */

const char *const kInsideFlag = "YAMMER_FUZZ_PRIVATE_NET";

bool inside()
{
  return getenv(kInsideFlag) != NULL;
}

TEST(AddressFuzz, ChannelTextsInPrivateNamespace)
{
  if (inside()) GTEST_SKIP() << "already inside";
  if (system("unshare --mount --net true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "unshare --mount --net is not permitted here: binding texts not fuzzed";
  char resolv[] = "/tmp/fuzz_resolv_XXXXXX";
  int fd = mkstemp(resolv);
  ASSERT_GE(fd, 0);
  const char conf[] = "nameserver 127.0.0.1\n";
  ASSERT_EQ(write(fd, conf, sizeof conf - 1), (ssize_t)(sizeof conf - 1));
  close(fd);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  std::string cmd = std::string("unshare --mount --net sh -c 'mount --bind ") + resolv + " /etc/resolv.conf && " +
                    kInsideFlag + "=1 exec " + self + " --gtest_filter=AddressFuzzInside.*'";
  int status = system(cmd.c_str());
  unlink(resolv);
  EXPECT_EQ(status, 0);
}

TEST(AddressFuzzInside, BindingAndTargetTexts)
{
  if (!inside()) GTEST_SKIP() << "runs only inside the private namespace";
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  Fuzz f(8181);
  Budget budget(15);
  int opened = 0, refused = 0;
  for (int round = 0; round < 10000 && budget.left(); round++) {
    std::string text = random_text(f);
    const char *prefixes[] = {"", "", "+", "-", "++", "-+"};
    text = prefixes[f.below(6)] + text;

    // What the binding text asks for: one "+" or "-", then "host:port".
    std::string rest = text.substr(!text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0);
    bool reads = true;
    unsigned int addr = 0;
    int port = kDefaultPort;
    AnyReading any{{0, 0, 0, false}, false, {0}, false};
    static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char unspecified6[16] = {0};
    if (!rest.empty()) {
      any = read_any(rest);
      reads = any.r.result == 0;
      addr = reads && !any.v6 ? any.r.addr : 0;
      port = any.r.port ? any.r.port : kDefaultPort;
    }
    bool v6_all = any.v6 && memcmp(any.bytes, unspecified6, 16) == 0;
    bool v6_loop = any.v6 && !any.zoned && memcmp(any.bytes, loopback6, 16) == 0;

    NET_CHANNEL *c = net_openchannel(NET_DRIVER_WSOCK_WIN, text.c_str());
    // A text that does not read is refused; one that names all interfaces
    // or the loopback range opens. Whether another address may be bound
    // is the namespace's affair.
    if (!reads) {
      ASSERT_EQ(c, nullptr) << shown(text);
    } else if ((!any.v6 && (addr == 0 || addr >> 24 == 127)) || (v6_loop || (v6_all && !any.zoned))) {
      ASSERT_NE(c, nullptr) << shown(text);
    }
    if (!c) {
      refused++;
      continue;
    }
    opened++;
    std::string local = written(addr, port);
    if (v6_loop) local = "[::1]:" + std::to_string(port);
    if (!any.v6 || v6_all || v6_loop) {
      ASSERT_EQ(std::string(net_getlocaladdress(c)), local) << shown(text);
    }

    // Target texts: accepted exactly when they read; nothing is sent.
    for (int t = 0; t < 3; t++) {
      std::string target = random_text(f);
      Reading r = read_any(target).r;
      ASSERT_EQ(net_assigntarget(c, target.c_str()), r.result == 0 ? 0 : 1) << shown(target);
      ASSERT_EQ(std::string(c->target_addr), std::string(target.c_str()).substr(0, kTextMax));
    }
    ASSERT_EQ(net_closechannel(c), 0);
  }
  EXPECT_GT(opened, 500);
  EXPECT_GT(refused, 500);
  net_shutdown();
}

}  // namespace
