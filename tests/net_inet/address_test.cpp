// Address texts of the Internet driver: writing, reading, and preparation of
// host names on worker threads; slow lookups beside other threads' work.
// Every name is answered by the fake resolver linked into this program.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>
#include <string>
#include <thread>
#include <unordered_set>

#include "binaddr.h"
#include "fake_resolver.h"
#include "inetaddr.h"
#include "prepare.h"

#include "inet_test_util.h"

namespace {

std::string written(const char *quad, int port)
{
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<unsigned short>(port));
  inet_pton(AF_INET, quad, &a.sin_addr);
  char text[22];
  return __netlane_internal__write_address(text, &a);
}

struct parsed {
  int result;
  unsigned int addr;
  int port;
};

parsed parse(const char *text)
{
  parsed p = {99, 0xDEADBEEFu, -7};
  p.result = __netlane_internal__parse_address(text, &p.addr, &p.port);
  return p;
}

unsigned int quad(unsigned a, unsigned b, unsigned c, unsigned d)
{
  return (a << 24) | (b << 16) | (c << 8) | d;
}

void expect_parsed(const char *text, int result, unsigned int addr, int port)
{
  parsed p = parse(text);
  EXPECT_EQ(p.result, result) << text;
  EXPECT_EQ(p.addr, addr) << text;
  EXPECT_EQ(p.port, port) << text;
}

// Lookups of "slow" wait while a test holds them; the fixture lets them go
// whatever happens, so nothing waits beyond the resolver's own ten seconds.
class SlowLookup : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
    fake_hold_slow(true);
  }
  void TearDown() override
  {
    fake_hold_slow(false);
    net_shutdown();
  }
  // True once `n` lookups of "slow" wait; false after five seconds.
  bool waiting(int n)
  {
    for (int i = 0; i < 5000 && fake_slow_waiting() != n; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return fake_slow_waiting() == n;
  }
  // Lets the lookups go; true once every worker has finished (five
  // seconds at most).
  bool workers_finish()
  {
    fake_hold_slow(false);
    for (int i = 0; i < 5000 && __netlane_internal__prepare_workers() != 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return __netlane_internal__prepare_workers() == 0;
  }
};

// A request and its dest on the heap, so that the sanitizers see a write
// into them once they are freed.
NET_PREPADDR_DATA *slow_request(const char *src)
{
  NET_PREPADDR_DATA *d = new NET_PREPADDR_DATA();
  snprintf(d->src, sizeof d->src, "%s", src);
  d->dest = new char[NET_MAX_ADDRESS_LENGTH]();
  return d;
}

void free_request(NET_PREPADDR_DATA *d)
{
  delete[] d->dest;
  delete d;
}

}  // namespace

TEST(InetAddressText, WritesDottedQuadOrBarePort)
{
  EXPECT_EQ(written("192.168.0.5", 24785), "192.168.0.5:24785");
  EXPECT_EQ(written("0.0.0.0", 1234), ":1234");
  EXPECT_EQ(written("255.255.255.255", 65535), "255.255.255.255:65535");
}

TEST(InetAddressText, ReadsHostAndPort)
{
  expect_parsed("", 0, 0, 0);
  expect_parsed(":5000", 0, 0, 5000);
  expect_parsed("*", 0, 0xFFFFFFFFu, 0);
  expect_parsed("*:9000", 0, 0xFFFFFFFFu, 9000);
  expect_parsed("10.0.0.1:80", 0, quad(10, 0, 0, 1), 80);
  expect_parsed("localhost:99", 0, quad(127, 0, 0, 1), 99);

  // Port 0 names none (the driver's default); leading zeros are digits.
  expect_parsed("1.2.3.4:0", 0, quad(1, 2, 3, 4), 0);
  expect_parsed("1.2.3.4:00080", 0, quad(1, 2, 3, 4), 80);

  // Only decimal digits after the colon, and at least one: junk after the
  // port, a sign, a blank, hexadecimal, letters or nothing are refused,
  // with no port read.
  for (const char *bad : {"1.2.3.4:5:6", "1.2.3.4:0x10", "1.2.3.4:+5", "1.2.3.4: 5", "1.2.3.4:5 ", "1.2.3.4:",
                          "1.2.3.4:abc", "1.2.3.4: +77abc", ":", "*:", "localhost:", "1.2.3.4:-0", "1.2.3.4:\t9"}) {
    parsed p = parse(bad);
    EXPECT_EQ(p.result, -1) << bad;
    EXPECT_EQ(p.port, 0) << bad;
  }

  // A port beyond 16 bits is refused, not cut to another port.
  EXPECT_EQ(parse("1.2.3.4:65535").result, 0);
  EXPECT_EQ(parse("1.2.3.4:65536").result, -1);
  EXPECT_EQ(parse(":-1").result, -1);
  EXPECT_EQ(parse(":99999999999999999999999").result, -1);
}

TEST(InetAddressText, DottedQuadScan)
{
  // Components wrap modulo 256, fill the top byte first, and count 0 when
  // empty.
  expect_parsed("300.1.1.1", 0, quad(44, 1, 1, 1), 0);
  EXPECT_EQ(parse("1..3.4").addr, quad(1, 0, 3, 4));
  expect_parsed("...", 0, 0, 0);

  // Fewer than three dots fail without a lookup (which would have read
  // "10.0.1" as 10.0.0.1).
  EXPECT_EQ(parse("10.0.1").result, -1);
  EXPECT_EQ(parse("10:80").result, -1);
}

TEST(InetAddressText, ReadsAtMost127Characters)
{
  // ":80" ends at character 127; the "5" after it must not be read.
  std::string text = "1.2.3." + std::string(117, '0') + "4:80" + "5";
  ASSERT_EQ(text.size(), 128u);
  expect_parsed(text.c_str(), 0, quad(1, 2, 3, 4), 80);

  // A colon past the cut is never seen.
  std::string longhost = "1.2.3." + std::string(130, '0') + ":80";
  EXPECT_EQ(parse(longhost.c_str()).port, 0);
}

TEST(InetPrepareAddress, RewritesHostNamesAndKeepsTheRest)
{
  char dest[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(prepare("+localhost:99", dest), 1);
  EXPECT_STREQ(dest, "+127.0.0.1:99");
  EXPECT_EQ(prepare("localhost:5:x", dest), 1);
  EXPECT_STREQ(dest, "127.0.0.1:5:x");

  // A leading digit passes through unresolved and unchecked.
  EXPECT_EQ(prepare("3host:1", dest), 1);
  EXPECT_STREQ(dest, "3host:1");

  // No letter or digit at all fails; bytes above 127 are neither.
  EXPECT_EQ(prepare("", dest), -1);
  EXPECT_EQ(prepare("::", dest), -1);
  EXPECT_EQ(prepare("+\xc3\xa9:-", dest), -1);

  // "gamma" becomes the longer "10.1.2.3": a result that no longer fits its
  // 128-byte field fails instead of coming back cut.
  std::string fits = "gamma:" + std::string(118, '9');
  EXPECT_EQ(prepare(fits.c_str(), dest), 1);
  EXPECT_EQ(strlen(dest), 127u);
  EXPECT_EQ(prepare((fits + "9").c_str(), dest), -1);
}

TEST(InetPrepareAddress, ConcurrentRequestsEachGetTheirOwnAnswer)
{
  const int count = 16;
  NET_PREPADDR_DATA d[count];
  char dest[count][NET_MAX_ADDRESS_LENGTH];
  for (int i = 0; i < count; i++) {
    memset(&d[i], 0, sizeof d[i]);
    // Lookups, pass-throughs and failures mixed, so that they finish in no
    // particular order.
    if (i % 3 == 0)
      snprintf(d[i].src, sizeof d[i].src, "localhost:%d", 1000 + i);
    else if (i % 3 == 1)
      snprintf(d[i].src, sizeof d[i].src, "%d.0.0.1:%d", i, i);
    else
      snprintf(d[i].src, sizeof d[i].src, "+%.*s", i, "::::::::::::::::");
    d[i].dest = dest[i];
    ASSERT_EQ(__netlane_internal__inet_prepareaddress(&d[i]), 0);
  }

  for (int i = 0; i < count; i++) {
    int r = finish_request(&d[i]);
    EXPECT_EQ(d[i].driver_data, nullptr);
    char expect[NET_MAX_ADDRESS_LENGTH];
    if (i % 3 == 0) {
      EXPECT_EQ(r, 1);
      snprintf(expect, sizeof expect, "127.0.0.1:%d", 1000 + i);
      EXPECT_STREQ(dest[i], expect);
    } else if (i % 3 == 1) {
      EXPECT_EQ(r, 1);
      EXPECT_STREQ(dest[i], d[i].src);
    } else {
      EXPECT_EQ(r, -1);
    }
  }
}

TEST(InetPrepareAddress, RequestBoundaries)
{
  NET_PREPADDR_DATA d;
  char dest[NET_MAX_ADDRESS_LENGTH];
  memset(&d, 0, sizeof d);
  d.dest = dest;
  // Never started, and polled again after its end: no record to read.
  EXPECT_EQ(__netlane_internal__inet_poll_prepareaddress(&d), -1);

  // A source field without a terminator is read as its first 127 bytes.
  memset(d.src, '7', sizeof d.src);
  ASSERT_EQ(__netlane_internal__inet_prepareaddress(&d), 0);
  EXPECT_EQ(finish_request(&d), 1);
  EXPECT_EQ(strlen(dest), 127u);
  EXPECT_EQ(__netlane_internal__inet_poll_prepareaddress(&d), -1);

  d.dest = NULL;
  EXPECT_EQ(__netlane_internal__inet_prepareaddress(&d), -1);
}

TEST_F(SlowLookup, OpeningOnASlowNameLeavesOtherThreadsFree)
{
  NET_CHANNEL *probe = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(probe, nullptr);
  std::string bind = "slow:" + std::to_string(port_of(net_getlocaladdress(probe)));
  NET_CONN *mine = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(mine, nullptr);

  NET_CONN *slow = nullptr;
  std::thread opener([&] {
    slow = net_openconn(NET_DRIVER_WSOCK_WIN, bind.c_str());
  });
  ASSERT_TRUE(waiting(1));
  // Both lists are free while the lookup waits: had the opener held their
  // locks, these would return only once the resolver gave up.
  EXPECT_EQ(net_closeconn(mine), 0);
  EXPECT_EQ(net_closechannel(probe), 0);
  NET_CONN *other = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(net_closeconn(other), 0);
  EXPECT_EQ(fake_slow_waiting(), 1);

  fake_hold_slow(false);
  opener.join();
  ASSERT_NE(slow, nullptr);
  EXPECT_EQ(net_closeconn(slow), 0);
}

TEST_F(SlowLookup, CancelledOrShutDownRequestsAreNeverWrittenAgain)
{
  NET_PREPADDR_DATA *cancelled = slow_request("slow:1");
  NET_PREPADDR_DATA *abandoned = slow_request("slow:2");
  NET_PREPADDR_DATA *kept = slow_request("slow:3");
  for (NET_PREPADDR_DATA *d : {cancelled, abandoned, kept})
    ASSERT_EQ(__netlane_internal__inet_prepareaddress(d), 0);
  ASSERT_TRUE(waiting(3));

  EXPECT_EQ(net_cancel_prepareaddress(cancelled), 0);
  EXPECT_EQ(cancelled->driver_data, nullptr);
  EXPECT_EQ(net_cancel_prepareaddress(cancelled), -1);
  free_request(cancelled);
  // Shutdown ends the rest; a caller may then free what it gave up on.
  ASSERT_EQ(net_shutdown(), 0);
  free_request(abandoned);

  ASSERT_TRUE(workers_finish());
  EXPECT_EQ(__netlane_internal__inet_poll_prepareaddress(kept), -1);
  EXPECT_STREQ(kept->dest, "");
  free_request(kept);
}

TEST_F(SlowLookup, WorkersOfGivenUpRequestsAreBounded)
{
  // A caller that cancels and asks again while lookups hang leaves no more
  // than 64 threads behind.
  NET_PREPADDR_DATA *d = slow_request("slow");
  int started = 0;
  for (int i = 0; i < 100 && __netlane_internal__inet_prepareaddress(d) == 0; i++) {
    started++;
    EXPECT_EQ(net_cancel_prepareaddress(d), 0);
  }
  EXPECT_EQ(started, 64);
  ASSERT_TRUE(workers_finish());
  ASSERT_EQ(__netlane_internal__inet_prepareaddress(d), 0);
  EXPECT_EQ(finish_request(d), 1);
  EXPECT_STREQ(d->dest, "127.0.0.1");
  free_request(d);
}

namespace {

// A text read with the reader of both families and written back.
std::string round_trip(const char *text, int *result = nullptr)
{
  struct sockaddr_storage a;
  int port = -1;
  int r = __netlane_internal__read_address(text, &a, &port);
  if (result)
    *result = r;
  if (r != 0)
    return "refused";
  reinterpret_cast<struct sockaddr_in *>(&a)->sin_port = htons(static_cast<unsigned short>(port));
  char out[NET_MAX_ADDRESS_LENGTH];
  return std::string(a.ss_family == AF_INET6 ? "6 " : "4 ") + __netlane_internal__write_inet_address(out, &a);
}

}  // namespace

TEST(InetAddressText, IPv6FormsBothWays)
{
  EXPECT_EQ(round_trip("[2001:db8::7]:24785"), "6 [2001:db8::7]:24785");
  EXPECT_EQ(round_trip("[2001:DB8:0:0::7]"), "6 [2001:db8::7]:0");
  EXPECT_EQ(round_trip("2001:db8::7"), "6 [2001:db8::7]:0");
  EXPECT_EQ(round_trip("[::1]:5"), "6 [::1]:5");
  // All interfaces, and IPv4 in IPv6's mapped form, are written as IPv4
  // texts are, so that callers that compare or build texts keep working.
  EXPECT_EQ(round_trip("[::]:24785"), "6 :24785");
  EXPECT_EQ(round_trip("[::ffff:10.0.0.1]:5"), "4 10.0.0.1:5");
  EXPECT_EQ(round_trip("10.0.0.1:80"), "4 10.0.0.1:80");
  EXPECT_EQ(round_trip(":5000"), "4 :5000");
  EXPECT_EQ(round_trip("*:9000"), "4 255.255.255.255:9000");

  // Zones: an interface name or number, written by name.
  std::string lo = "[fe80::1%lo]:9";
  EXPECT_EQ(round_trip(lo.c_str()), "6 " + lo);
  std::string numbered = "fe80::1%" + std::to_string(if_nametoindex("lo"));
  EXPECT_EQ(round_trip(numbered.c_str()), "6 [fe80::1%lo]:0");

  // The longest address with a zone fits its 128-byte field both ways.
  EXPECT_EQ(round_trip("[ffff:ffff:ffff:ffff:ffff:fffe:255.255.255.255%lo]:65535"),
            "6 [ffff:ffff:ffff:ffff:ffff:fffe:ffff:ffff%lo]:65535");

  // Malformed texts are refused, and nothing in brackets is looked up.
  long before = fake_lookups();
  for (const char *bad : {"[::1", "[::1]x", "[::1]:65536", "[fe80::1%nosuchif]", "[fe80::1%]", "::g",
                          "1.2.3.4:5:6", "[1.2.3.4]", "[gamma]:5", "[]", "2001:db8::7:24785",
                          // Junk after the port, or no port after the colon.
                          "[::1]:5:6", "[::1]: 5", "[::1]:+5", "[::1]:0x10", "[::1]:", "[::1]:5x",
                          "1.2.3.4:0x10", "1.2.3.4:+5", "1.2.3.4: 5", "1.2.3.4:", ":", "*:"})
    EXPECT_EQ(round_trip(bad), "refused") << bad;
  EXPECT_EQ(fake_lookups(), before);
}

TEST(InetAddressText, NamesOfBothFamilies)
{
  // The first IPv4 answer where a name has both, else the IPv6 one.
  EXPECT_EQ(round_trip("six:5"), "6 [2001:db8::7]:5");
  EXPECT_EQ(round_trip("dual"), "4 10.0.0.8:0");
  EXPECT_EQ(round_trip("localhost:99"), "4 127.0.0.1:99");
  // The IPv4 reader keeps to IPv4.
  unsigned int addr;
  int port;
  EXPECT_EQ(__netlane_internal__parse_address("six:5", &addr, &port), -1);

  char dest[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(prepare("+six:99", dest), 1);
  EXPECT_STREQ(dest, "+[2001:db8::7]:99");
  EXPECT_EQ(prepare("dual", dest), 1);
  EXPECT_STREQ(dest, "10.0.0.8");
  // IPv6 addresses pass through, bare or in brackets, zone and all.
  for (const char *literal : {"[fe80::1%lo]:5", "fe80::1", "-[abcd::1]:7"}) {
    EXPECT_EQ(prepare(literal, dest), 1) << literal;
    EXPECT_STREQ(dest, literal);
  }
}

TEST(InetAddressText, BinaryAddressesOfOneHostSpreadOverTheBuckets)
{
  // A listener's clients on one host differ in their port alone; the
  // shared port picks a bucket with the hash's low bits, and a chain per
  // bucket is walked for every datagram. 10,000 ports over 8,192 buckets
  // (the table's size at that many peers) fill about 5,800 at random; a
  // hash whose low bits barely see the port filled 640.
  for (int first : {1024, 32768, 55000}) {
    std::unordered_set<unsigned int> used;
    for (int port = first; port < first + 10000; port++) {
      bin_addr_t a;
      memset(&a, 0, sizeof a);
      a.family = 4;
      a.port = htons((unsigned short)port);
      a.bytes[0] = 127;
      a.bytes[3] = 1;
      used.insert(__netlane_internal__bin_addr_hash(&a) & 8191u);
    }
    EXPECT_GT(used.size(), 5000u) << first;
  }
}
