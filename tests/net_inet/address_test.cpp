// Address texts of the Internet driver: writing, reading, and preparation of
// host names on worker threads. Only names from /etc/hosts are looked up.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "inetaddr.h"

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

}  // namespace

TEST(InetAddressText, WritesDottedQuadOrBarePort)
{
  EXPECT_EQ(written("192.168.0.5", 24785), "192.168.0.5:24785");
  EXPECT_EQ(written("0.0.0.0", 1234), ":1234");
  EXPECT_EQ(written("255.255.255.255", 65535), "255.255.255.255:65535");
  EXPECT_EQ(written("10.0.0.1", 0), "10.0.0.1:0");
}

TEST(InetAddressText, ReadsHostAndPort)
{
  parsed p = parse("");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, 0u);
  EXPECT_EQ(p.port, 0);

  p = parse(":5000");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, 0u);
  EXPECT_EQ(p.port, 5000);

  p = parse("*");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, 0xFFFFFFFFu);
  EXPECT_EQ(p.port, 0);

  p = parse("*:9000");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, 0xFFFFFFFFu);
  EXPECT_EQ(p.port, 9000);

  p = parse("10.0.0.1:80");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, quad(10, 0, 0, 1));
  EXPECT_EQ(p.port, 80);
}

TEST(InetAddressText, PortReadLikeTextToInteger)
{
  // Blanks and a sign are taken, reading stops at the first non-digit, no
  // digits at all (or a second colon) give 0: the driver's default.
  EXPECT_EQ(parse("1.2.3.4: 77").port, 77);
  EXPECT_EQ(parse("1.2.3.4:+77").port, 77);
  EXPECT_EQ(parse("1.2.3.4:77abc").port, 77);
  EXPECT_EQ(parse("1.2.3.4:").port, 0);
  EXPECT_EQ(parse("1.2.3.4:abc").port, 0);
  EXPECT_EQ(parse("1.2.3.4:5:6").port, 5);
  EXPECT_EQ(parse("::6").port, 0);
  EXPECT_EQ(parse("1.2.3.4:abc").result, 0);
}

TEST(InetAddressText, PortThatDoesNotFitSixteenBitsIsRefused)
{
  EXPECT_EQ(parse("1.2.3.4:65535").result, 0);
  EXPECT_EQ(parse("1.2.3.4:65536").result, -1);
  EXPECT_EQ(parse(":70000").result, -1);
  EXPECT_EQ(parse(":-1").result, -1);
  EXPECT_EQ(parse(":99999999999999999999999").result, -1);
}

TEST(InetAddressText, DottedQuadScan)
{
  // Components wrap modulo 256 and fill the top byte first.
  parsed p = parse("300.1.1.1");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, quad(44, 1, 1, 1));
  EXPECT_EQ(parse("1.2.3.1000").addr, quad(1, 2, 3, 1000 % 256));

  // Empty components count 0.
  EXPECT_EQ(parse("1..3.4").addr, quad(1, 0, 3, 4));
  p = parse("...");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, 0u);

  // Fewer than three dots fail without a lookup (a lookup of these could
  // only leave the machine, and no resolver here knows them).
  EXPECT_EQ(parse("10.0.1").result, -1);
  EXPECT_EQ(parse("10").result, -1);
  EXPECT_EQ(parse("10.0.1:80").result, -1);
}

TEST(InetAddressText, HostNamesFromHostsFile)
{
  parsed p = parse("localhost:99");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, quad(127, 0, 0, 1));
  EXPECT_EQ(p.port, 99);
}

TEST(InetAddressText, ReadsAtMost127Characters)
{
  // 123 characters of dotted quad, then ":80" ending exactly at 126, then
  // a digit at 127 that must not be read: port 80, not 805.
  std::string text = "1.2.3." + std::string(117, '0') + "4:80" + "5";
  ASSERT_EQ(text.size(), 128u);
  parsed p = parse(text.c_str());
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.addr, quad(1, 2, 3, 4));
  EXPECT_EQ(p.port, 80);

  // A colon past the cut is never seen: the port stays 0.
  std::string longhost = "1.2.3." + std::string(130, '0') + ":80";
  p = parse(longhost.c_str());
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.port, 0);
}

namespace {

// Polls one request to its end, bounded by time; answers the final result
// or 0 when the worker did not finish within the bound.
int prepare(const char *src, char *dest)
{
  NET_PREPADDR_DATA d;
  memset(&d, 0, sizeof d);
  strncpy(d.src, src, sizeof d.src - 1);
  d.dest = dest;
  if (__netlane_internal__inet_prepareaddress(&d) != 0)
    return -2;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    int r = __netlane_internal__inet_poll_prepareaddress(&d);
    if (r != 0) {
      EXPECT_EQ(d.driver_data, nullptr);
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

}  // namespace

TEST(InetPrepareAddress, RewritesHostNamesAndKeepsTheRest)
{
  char dest[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(prepare("+localhost:99", dest), 1);
  EXPECT_STREQ(dest, "+127.0.0.1:99");
  EXPECT_EQ(prepare("localhost", dest), 1);
  EXPECT_STREQ(dest, "127.0.0.1");
  EXPECT_EQ(prepare("localhost:5:x", dest), 1);
  EXPECT_STREQ(dest, "127.0.0.1:5:x");

  // A leading digit passes through unresolved and unchecked.
  EXPECT_EQ(prepare("3host:1", dest), 1);
  EXPECT_STREQ(dest, "3host:1");
  EXPECT_EQ(prepare("-10.1.2.3:5", dest), 1);
  EXPECT_STREQ(dest, "-10.1.2.3:5");
}

TEST(InetPrepareAddress, TextsWithoutLetterOrDigitFail)
{
  char dest[NET_MAX_ADDRESS_LENGTH];
  EXPECT_EQ(prepare("", dest), -1);
  EXPECT_EQ(prepare("::", dest), -1);
  EXPECT_EQ(prepare("+:", dest), -1);
  EXPECT_EQ(prepare("\xc3\xa9:-", dest), -1);  // bytes above 127 are neither
}

TEST(InetPrepareAddress, UnterminatedSourceIsCutAt127)
{
  NET_PREPADDR_DATA d;
  char dest[NET_MAX_ADDRESS_LENGTH];
  memset(d.src, '7', sizeof d.src);
  d.dest = dest;
  ASSERT_EQ(__netlane_internal__inet_prepareaddress(&d), 0);
  int r = 0;
  for (int i = 0; i < 10000 && r == 0; i++) {
    r = __netlane_internal__inet_poll_prepareaddress(&d);
    if (r == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(r, 1);
  EXPECT_EQ(strlen(dest), 127u);
}

TEST(InetPrepareAddress, ConcurrentRequestsEachGetTheirOwnAnswer)
{
  const int count = 16;
  NET_PREPADDR_DATA d[count];
  char dest[count][NET_MAX_ADDRESS_LENGTH];
  for (int i = 0; i < count; i++) {
    memset(&d[i], 0, sizeof d[i]);
    // Alternate lookups, pass-throughs and failures so that they finish
    // in no particular order.
    if (i % 3 == 0)
      snprintf(d[i].src, sizeof d[i].src, "localhost:%d", 1000 + i);
    else if (i % 3 == 1)
      snprintf(d[i].src, sizeof d[i].src, "%d.0.0.1:%d", i, i);
    else
      snprintf(d[i].src, sizeof d[i].src, "+%.*s", i, "::::::::::::::::");
    d[i].dest = dest[i];
    ASSERT_EQ(__netlane_internal__inet_prepareaddress(&d[i]), 0);
  }

  int result[count] = {0};
  int left = count;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (left > 0 && std::chrono::steady_clock::now() < until) {
    for (int i = 0; i < count; i++) {
      if (result[i] == 0 && (result[i] = __netlane_internal__inet_poll_prepareaddress(&d[i])) != 0)
        left--;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(left, 0);

  for (int i = 0; i < count; i++) {
    char expect[NET_MAX_ADDRESS_LENGTH];
    if (i % 3 == 0) {
      EXPECT_EQ(result[i], 1);
      snprintf(expect, sizeof expect, "127.0.0.1:%d", 1000 + i);
      EXPECT_STREQ(dest[i], expect);
    } else if (i % 3 == 1) {
      EXPECT_EQ(result[i], 1);
      EXPECT_STREQ(dest[i], d[i].src);
    } else {
      EXPECT_EQ(result[i], -1);
    }
  }
}

TEST(InetPrepareAddress, PollOutsideARequestAnswersFailure)
{
  NET_PREPADDR_DATA d;
  memset(&d, 0, sizeof d);
  char dest[NET_MAX_ADDRESS_LENGTH];
  strcpy(d.src, "3host");
  d.dest = dest;
  EXPECT_EQ(__netlane_internal__inet_poll_prepareaddress(&d), -1);  // never started

  ASSERT_EQ(__netlane_internal__inet_prepareaddress(&d), 0);
  int r = 0;
  for (int i = 0; i < 10000 && r == 0; i++) {
    r = __netlane_internal__inet_poll_prepareaddress(&d);
    if (r == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(r, 1);
  // The record is gone; a further poll must not touch it.
  EXPECT_EQ(__netlane_internal__inet_poll_prepareaddress(&d), -1);

  d.dest = NULL;
  EXPECT_EQ(__netlane_internal__inet_prepareaddress(&d), -1);
}
