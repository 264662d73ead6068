// The Internet driver's address-text rules written out again from their
// description, independent of the library's code: the oracle of the seeded
// address fuzz test and of its libFuzzer target.
#ifndef FUZZ_ADDRESS_RULES_H
#define FUZZ_ADDRESS_RULES_H

#include <arpa/inet.h>
#include <net/if.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fake_resolver.h"
#include "netlane.h"

namespace address_rules {

const size_t kTextMax = NET_MAX_ADDRESS_LENGTH - 1;

struct Reading {
  int result;
  unsigned int addr;  // meaningful on success
  int port;
  bool lookup;        // a name lookup must be made
};

// A host text: "*", a dotted quad of up to three dots (components wrap
// modulo 256, empty ones count 0), or a name to look up.
inline Reading read_host(const std::string &host)
{
  Reading r{-1, 0, 0, false};
  if (host == "*") return {0, 0xFFFFFFFFu, 0, false};
  unsigned int octet[4] = {0, 0, 0, 0};
  int index = 3;
  bool numeric = true;
  for (char c : host) {
    if (c >= '0' && c <= '9') octet[index] = (octet[index] * 10 + (unsigned int)(c - '0')) & 255;
    else if (c == '.' && index > 0) index--;
    else { numeric = false; break; }
  }
  if (numeric) {
    r.result = index == 0 ? 0 : -1;
    r.addr = octet[3] << 24 | octet[2] << 16 | octet[1] << 8 | octet[0];
    return r;
  }
  r.lookup = true;
  unsigned int found;
  if (fake_known(host, &found)) {
    r.result = 0;
    r.addr = found;
  }
  return r;
}

// A port after a colon: one or more decimal digits and nothing else, at
// most 65535; -1 for anything else (an empty port included).
inline long read_port(const std::string &text)
{
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  size_t first = text.find_first_not_of('0');
  if (first == std::string::npos) return 0;  // all zeros
  if (text.size() - first > 5) return -1;
  long port = strtol(text.c_str() + first, NULL, 10);
  return port <= 65535 ? port : -1;
}

// "host:port", at most 127 characters read; a port that is not decimal
// digits alone, or outside 0-65535, fails.
inline Reading read_text(const std::string &text)
{
  std::string work = std::string(text.c_str()).substr(0, kTextMax);
  size_t colon = work.find(':');
  std::string host = work.substr(0, colon);
  long port = colon == std::string::npos ? 0 : read_port(work.substr(colon + 1));
  bool port_ok = port >= 0 && port <= 65535;
  Reading r{0, 0, 0, false};
  if (!host.empty()) r = read_host(host);
  r.port = port_ok ? (int)port : 0;
  if (!port_ok) r.result = -1;
  return r;
}

// A text of either family: "[address]" with an optional ":port", or a bare
// text of two or more colons (no port), is IPv6, with an optional zone
// "%number" or "%interface"; a mapped IPv4 address reads as IPv4. Other
// texts follow read_text (whose names may be of either family).
struct AnyReading {
  Reading r;          // r.addr is the IPv4 address when !v6
  bool v6;
  unsigned char bytes[16];
  bool zoned;
};

inline AnyReading read_any(const std::string &text)
{
  AnyReading a{{-1, 0, 0, false}, true, {0}, false};
  std::string work = std::string(text.c_str()).substr(0, kTextMax);
  size_t colons = 0;
  for (char c : work) colons += c == ':';
  if (work.empty() || (work[0] != '[' && colons < 2)) {
    a.r = read_text(text);
    a.v6 = false;
    return a;
  }
  std::string literal = work;
  long port = 0;
  if (work[0] == '[') {
    size_t close = work.find(']');
    if (close == std::string::npos) return a;
    std::string after = work.substr(close + 1);
    if (!after.empty() && after[0] != ':') return a;
    literal = work.substr(1, close - 1);
    if (!after.empty()) port = read_port(after.substr(1));
  }
  if (port < 0 || port > 65535) return a;
  size_t percent = literal.find('%');
  if (percent != std::string::npos) {
    std::string zone = literal.substr(percent + 1);
    literal = literal.substr(0, percent);
    if (zone.empty()) return a;
    bool digits = zone.size() < 10 && zone.find_first_not_of("0123456789") == std::string::npos;
    if ((digits ? strtoul(zone.c_str(), NULL, 10) : if_nametoindex(zone.c_str())) == 0) return a;
    a.zoned = true;
  }
  if (inet_pton(AF_INET6, literal.c_str(), a.bytes) != 1) return a;
  a.r.result = 0;
  a.r.port = (int)port;
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(a.bytes, mapped, 12) == 0) {
    a.v6 = false;
    a.r.addr = (unsigned int)a.bytes[12] << 24 | a.bytes[13] << 16 | a.bytes[14] << 8 | a.bytes[15];
  }
  return a;
}

}  // namespace address_rules

#endif
