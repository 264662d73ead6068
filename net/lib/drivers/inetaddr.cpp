// Address texts of the Internet driver: "192.168.0.5:24785", ":24785" (all
// interfaces), "*:9000" (broadcast), "host:port"; and the preparation that
// turns a host name into a dotted quad on a worker thread.
#include "inetaddr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "decimal.h"
#include "inetsock.h"
#include "prepare.h"

namespace {

// ASCII only: bytes above 127 are neither letters nor digits, whatever the
// locale says.
bool is_digit(unsigned char c)
{
  return c >= '0' && c <= '9';
}

bool is_alnum(unsigned char c)
{
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

unsigned int make_address(const unsigned char octet[4])
{
  return (static_cast<unsigned int>(octet[3]) << 24) | (static_cast<unsigned int>(octet[2]) << 16) |
         (static_cast<unsigned int>(octet[1]) << 8) | octet[0];
}

// The worker's part of a preparation: `src` with its host name replaced by
// the dotted quad of the name's first address, everything else kept, as in
// "+gamma:99" to "+10.1.2.3:99". A text whose first letter or digit is a
// digit is taken as it is. 0 done; -1 no letter or digit, an unknown name,
// or a result too long for its 128-byte field.
int ns_resolver(const char *src, char *dest)
{
  size_t len = strlen(src);
  size_t i = 0;
  while (i < len && !is_alnum(static_cast<unsigned char>(src[i])))
    i++;
  if (i == len)
    return -1;
  if (is_digit(static_cast<unsigned char>(src[i]))) {
    memcpy(dest, src, len + 1);
    return 0;
  }

  size_t end = i;
  while (end < len && src[end] != ':')
    end++;
  char host[NET_MAX_ADDRESS_LENGTH];
  memcpy(host, src + i, end - i);
  host[end - i] = '\0';
  unsigned int address;
  if (__netlane_internal__sock_lookup_host(host, &address) != 0)
    return -1;

  int n = snprintf(dest, NET_MAX_ADDRESS_LENGTH, "%.*s%u.%u.%u.%u%s", static_cast<int>(i), src,
                   (address >> 24) & 255, (address >> 16) & 255, (address >> 8) & 255, address & 255,
                   src + end);
  return n >= 0 && n < NET_MAX_ADDRESS_LENGTH ? 0 : -1;
}

}  // namespace

char *__netlane_internal__write_address(char *p, const struct sockaddr_in *addr)
{
  // "255.255.255.255:65535" and its terminator.
  const size_t room = 22;
  p[0] = '\0';
  unsigned int a = ntohl(addr->sin_addr.s_addr);
  size_t used = 0;
  if (a != 0)
    used = static_cast<size_t>(snprintf(p, room, "%u.%u.%u.%u", (a >> 24) & 255, (a >> 16) & 255,
                                        (a >> 8) & 255, a & 255));
  snprintf(p + used, room - used, ":%u", static_cast<unsigned int>(ntohs(addr->sin_port)));
  return p;
}

int __netlane_internal__get_address(const char *str, unsigned int *address)
{
  *address = 0;
  if (strcmp(str, "*") == 0) {
    *address = 0xFFFFFFFFu;
    return 0;
  }

  // Components fill the result from its top byte down; each wraps modulo
  // 256 and an empty one counts 0, so "1..3.4" reads as 1.0.3.4.
  unsigned char octet[4] = {0, 0, 0, 0};
  int index = 3;
  int numeric = 1;
  for (const char *c = str; *c && numeric; c++) {
    unsigned char ch = static_cast<unsigned char>(*c);
    if (is_digit(ch))
      octet[index] = static_cast<unsigned char>(octet[index] * 10 + (ch - '0'));
    else if (ch == '.' && index > 0)
      index--;
    else
      numeric = 0;
  }
  *address = make_address(octet);

  if (numeric)
    return index == 0 ? 0 : -1;

  unsigned int found;
  if (__netlane_internal__sock_lookup_host(str, &found) != 0)
    return -1;
  *address = found;
  return 0;
}

int __netlane_internal__parse_address(const char *str, unsigned int *addr, int *port)
{
  char work[NET_MAX_ADDRESS_LENGTH];
  size_t len = str ? strnlen(str, NET_MAX_ADDRESS_LENGTH - 1) : 0;
  if (len)
    memcpy(work, str, len);
  work[len] = '\0';

  // A port beyond int saturates, and the range test below refuses it.
  int p = 0;
  char *colon = strchr(work, ':');
  if (colon) {
    *colon = '\0';
    p = __netlane_internal__read_decimal(colon + 1);
  }
  // A port that does not fit 16 bits would otherwise be cut to some other
  // port than the one the text names.
  int port_ok = p >= 0 && p <= 65535;
  *port = port_ok ? p : 0;

  int result = 0;
  *addr = 0;
  if (work[0] != '\0')
    result = __netlane_internal__get_address(work, addr);
  return port_ok ? result : -1;
}

int __netlane_internal__inet_prepareaddress(NET_PREPADDR_DATA *d)
{
  return __netlane_internal__prepare_start(d, ns_resolver);
}

int __netlane_internal__inet_poll_prepareaddress(NET_PREPADDR_DATA *d)
{
  return __netlane_internal__prepare_poll(d);
}
