// The Internet driver's address-text rules written out again from their
// description, independent of the library's code: the oracle of the seeded
// address fuzz test and of its libFuzzer target.
#ifndef FUZZ_ADDRESS_RULES_H
#define FUZZ_ADDRESS_RULES_H

#include <stdlib.h>

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

// "host:port", at most 127 characters read; a port outside 0-65535 fails.
inline Reading read_text(const std::string &text)
{
  std::string work = std::string(text.c_str()).substr(0, kTextMax);
  size_t colon = work.find(':');
  std::string host = work.substr(0, colon);
  long port = colon == std::string::npos ? 0 : strtol(work.c_str() + colon + 1, NULL, 10);
  bool port_ok = port >= 0 && port <= 65535;
  Reading r{0, 0, 0, false};
  if (!host.empty()) r = read_host(host);
  r.port = port_ok ? (int)port : 0;
  if (!port_ok) r.result = -1;
  return r;
}

}  // namespace address_rules

#endif
