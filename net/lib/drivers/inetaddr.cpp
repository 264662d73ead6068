// Address texts of the Internet driver: "192.168.0.5:24785", ":24785" (all
// interfaces), "*:9000" (broadcast), "host:port" (a port of decimal digits
// alone after the colon, none left out), and for IPv6
// "[2001:db8::7]:24785", "[fe80::1%eth0]" (a zone), "[::]:24785" (all
// interfaces) or a bare "2001:db8::7" without port; and the preparation
// that turns a host name into an address on a worker thread.
#include "inetaddr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "binaddr.h"
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

// "*" or a dotted quad into a host-order address: 1 read; -1 numeric but
// short of three dots (no lookup may be made for it); 0 not numeric, a name.
int scan_quad(const char *str, unsigned int *address)
{
  *address = 0;
  if (strcmp(str, "*") == 0) {
    *address = 0xFFFFFFFFu;
    return 1;
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
  if (!numeric)
    return 0;
  return index == 0 ? 1 : -1;
}

void set_ipv4(struct sockaddr_storage *addr, unsigned int host_order)
{
  memset(addr, 0, sizeof *addr);
  struct sockaddr_in *four = reinterpret_cast<struct sockaddr_in *>(addr);
  four->sin_family = AF_INET;
  four->sin_addr.s_addr = htonl(host_order);
}

// An IPv6 address without brackets or port, with an optional zone after
// "%" (an interface name or number): 0 read, -1 malformed or no such zone.
// A mapped IPv4 address comes back as plain IPv4.
int read_ipv6(const char *text, struct sockaddr_storage *addr)
{
  char work[NET_MAX_ADDRESS_LENGTH];
  size_t len = strnlen(text, NET_MAX_ADDRESS_LENGTH - 1);
  memcpy(work, text, len);
  work[len] = '\0';

  unsigned int zone = 0;
  char *percent = strchr(work, '%');
  if (percent) {
    *percent = '\0';
    const char *name = percent + 1;
    size_t digits = strspn(name, "0123456789");
    if (name[0] == '\0')
      return -1;
    if (name[digits] == '\0' && digits < 10)
      zone = static_cast<unsigned int>(strtoul(name, NULL, 10));
    else
      zone = __netlane_internal__sock_zone_index(name);
    if (zone == 0)
      return -1;
  }

  struct sockaddr_in6 six;
  memset(&six, 0, sizeof six);
  six.sin6_family = AF_INET6;
  if (inet_pton(AF_INET6, work, &six.sin6_addr) != 1)
    return -1;
  six.sin6_scope_id = zone;
  memset(addr, 0, sizeof *addr);
  memcpy(addr, &six, sizeof six);
  __netlane_internal__sock_plain_address(addr);
  return 0;
}

// Writes an IPv6 address without brackets or port, its zone after "%".
void write_ipv6(char *p, size_t room, const struct sockaddr_in6 *six)
{
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(AF_INET6, &six->sin6_addr, text, sizeof text) == NULL)
    text[0] = '\0';
  char zone[INET_ZONE_SIZE];
  if (six->sin6_scope_id == 0)
    snprintf(p, room, "%s", text);
  else if (__netlane_internal__sock_zone_name(six->sin6_scope_id, zone) == 0)
    snprintf(p, room, "%s%%%s", text, zone);
  else
    snprintf(p, room, "%s%%%u", text, static_cast<unsigned int>(six->sin6_scope_id));
}

// The port after an address's colon: decimal digits and nothing else, at
// most 65535 ("0" names none: the driver's default). 0 read, -1 refused:
// empty, a sign, a blank, "0x10", "5:6" and anything after the digits.
int read_port(const char *text, int *port)
{
  long value = 0;
  if (!is_digit(static_cast<unsigned char>(text[0])))
    return -1;
  for (; *text; text++) {
    if (!is_digit(static_cast<unsigned char>(*text)))
      return -1;
    value = value * 10 + (*text - '0');
    if (value > 65535)
      return -1;
  }
  *port = static_cast<int>(value);
  return 0;
}

// Colons in a text: two or more without brackets make it an IPv6 address.
int colons(const char *text)
{
  int n = 0;
  for (; *text; text++)
    n += *text == ':';
  return n;
}

// The worker's part of a preparation: `src` with its host name replaced by
// the dotted quad of the name's first address, everything else kept, as in
// "+gamma:99" to "+10.1.2.3:99". A text whose first letter or digit is a
// digit, or that holds an IPv6 address, is taken as it is. 0 done; -1 no letter or digit, an unknown name,
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

  // An IPv6 address, bare or in brackets, is no name either.
  struct sockaddr_storage found;
  char literal[NET_MAX_ADDRESS_LENGTH];
  memcpy(literal, src + i, len - i + 1);
  char *close = i > 0 && src[i - 1] == '[' ? strchr(literal, ']') : NULL;
  if (close)
    *close = '\0';
  if ((close || i == 0 || src[i - 1] != '[') && read_ipv6(literal, &found) == 0) {
    memcpy(dest, src, len + 1);
    return 0;
  }

  size_t end = i;
  while (end < len && src[end] != ':')
    end++;
  char host[NET_MAX_ADDRESS_LENGTH];
  memcpy(host, src + i, end - i);
  host[end - i] = '\0';
  if (__netlane_internal__sock_lookup_any(host, &found) != 0)
    return -1;

  char address[NET_MAX_ADDRESS_LENGTH];
  if (found.ss_family == AF_INET) {
    unsigned int a = ntohl(reinterpret_cast<struct sockaddr_in *>(&found)->sin_addr.s_addr);
    snprintf(address, sizeof address, "%u.%u.%u.%u", (a >> 24) & 255, (a >> 16) & 255, (a >> 8) & 255,
             a & 255);
  } else {
    // Brackets keep the port that may follow apart from the address.
    address[0] = '[';
    write_ipv6(address + 1, sizeof address - 2, reinterpret_cast<struct sockaddr_in6 *>(&found));
    strcat(address, "]");
  }
  int n = snprintf(dest, NET_MAX_ADDRESS_LENGTH, "%.*s%s%s", static_cast<int>(i), src, address, src + end);
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
  int numeric = scan_quad(str, address);
  if (numeric != 0)
    return numeric > 0 ? 0 : -1;

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

  // After a colon comes a port (read_port); one that does not fit 16 bits
  // would otherwise be cut to some other port than the one the text names.
  int p = 0;
  int port_ok = 1;
  char *colon = strchr(work, ':');
  if (colon) {
    *colon = '\0';
    port_ok = read_port(colon + 1, &p) == 0;
  }
  *port = port_ok ? p : 0;

  int result = 0;
  *addr = 0;
  if (work[0] != '\0')
    result = __netlane_internal__get_address(work, addr);
  return port_ok ? result : -1;
}

char *__netlane_internal__write_inet_address(char *p, const struct sockaddr_storage *addr)
{
  if (addr->ss_family != AF_INET6)
    return __netlane_internal__write_address(p, reinterpret_cast<const struct sockaddr_in *>(addr));
  const struct sockaddr_in6 *six = reinterpret_cast<const struct sockaddr_in6 *>(addr);
  unsigned int port = ntohs(six->sin6_port);
  // All interfaces is written as for IPv4, so that callers that put a host
  // before ":port" keep working.
  if (IN6_IS_ADDR_UNSPECIFIED(&six->sin6_addr)) {
    snprintf(p, NET_MAX_ADDRESS_LENGTH, ":%u", port);
    return p;
  }
  char text[NET_MAX_ADDRESS_LENGTH - 8];
  write_ipv6(text, sizeof text, six);
  snprintf(p, NET_MAX_ADDRESS_LENGTH, "[%s]:%u", text, port);
  return p;
}

int __netlane_internal__read_address(const char *str, struct sockaddr_storage *addr, int *port)
{
  char work[NET_MAX_ADDRESS_LENGTH];
  size_t len = str ? strnlen(str, NET_MAX_ADDRESS_LENGTH - 1) : 0;
  if (len)
    memcpy(work, str, len);
  work[len] = '\0';
  set_ipv4(addr, 0);
  *port = 0;

  const char *port_text = NULL;
  int result;
  if (work[0] == '[') {
    // "[address]" alone or followed by ":port"; nothing else may follow.
    char *close = strchr(work, ']');
    if (close == NULL || (close[1] != '\0' && close[1] != ':'))
      return -1;
    if (close[1] == ':')
      port_text = close + 2;
    *close = '\0';
    result = read_ipv6(work + 1, addr);
  } else if (colons(work) >= 2) {
    result = read_ipv6(work, addr);
  } else {
    char *colon = strchr(work, ':');
    if (colon) {
      *colon = '\0';
      port_text = colon + 1;
    }
    result = 0;
    if (work[0] != '\0') {
      unsigned int host;
      int numeric = scan_quad(work, &host);
      if (numeric != 0) {
        result = numeric > 0 ? 0 : -1;
        set_ipv4(addr, host);
      } else {
        result = __netlane_internal__sock_lookup_any(work, addr);
      }
    }
  }

  // The port as for IPv4 texts: digits only, refused beyond 16 bits.
  int p = 0;
  if (port_text && read_port(port_text, &p) != 0)
    return -1;
  *port = p;
  return result;
}

int __netlane_internal__bin_addr_read(const char *text, bin_addr_t *out)
{
  memset(out, 0, sizeof *out);
  char work[NET_MAX_ADDRESS_LENGTH];
  size_t len = text ? strnlen(text, NET_MAX_ADDRESS_LENGTH - 1) : 0;
  memcpy(work, text ? text : "", len);
  work[len] = '\0';
  char *colon = strrchr(work, ':');
  int port;
  if (colon == NULL || colon == work || read_port(colon + 1, &port) != 0)
    return -1;
  *colon = '\0';
  struct sockaddr_storage addr;
  if (work[0] == '[') {
    size_t end = strlen(work) - 1;
    if (work[end] != ']' || read_ipv6((work[end] = '\0', work + 1), &addr) != 0)
      return -1;
  } else {
    // Dotted quads alone: a name is never looked up here.
    struct in_addr four;
    if (inet_pton(AF_INET, work, &four) != 1)
      return -1;
    set_ipv4(&addr, ntohl(four.s_addr));
  }
  reinterpret_cast<struct sockaddr_in *>(&addr)->sin_port = htons(static_cast<unsigned short>(port));
  __netlane_internal__bin_addr_from(&addr, out);
  return out->family ? 0 : -1;
}

void __netlane_internal__bin_addr_from(const struct sockaddr_storage *addr, bin_addr_t *out)
{
  memset(out, 0, sizeof *out);
  if (addr->ss_family == AF_INET) {
    const struct sockaddr_in *four = reinterpret_cast<const struct sockaddr_in *>(addr);
    out->family = 4;
    out->port = four->sin_port;
    memcpy(out->bytes, &four->sin_addr, 4);
  } else if (addr->ss_family == AF_INET6) {
    const struct sockaddr_in6 *six = reinterpret_cast<const struct sockaddr_in6 *>(addr);
    out->family = 6;
    out->port = six->sin6_port;
    out->zone = six->sin6_scope_id;
    memcpy(out->bytes, &six->sin6_addr, 16);
  }
}

char *__netlane_internal__bin_addr_write(char *text, const bin_addr_t *a)
{
  struct sockaddr_storage addr;
  memset(&addr, 0, sizeof addr);
  if (a->family == 6) {
    struct sockaddr_in6 *six = reinterpret_cast<struct sockaddr_in6 *>(&addr);
    six->sin6_family = AF_INET6;
    six->sin6_port = a->port;
    six->sin6_scope_id = a->zone;
    memcpy(&six->sin6_addr, a->bytes, 16);
  } else {
    struct sockaddr_in *four = reinterpret_cast<struct sockaddr_in *>(&addr);
    four->sin_family = AF_INET;
    four->sin_port = a->port;
    memcpy(&four->sin_addr, a->bytes, 4);
  }
  return __netlane_internal__write_inet_address(text, &addr);
}

int __netlane_internal__inet_prepareaddress(NET_PREPADDR_DATA *d)
{
  return __netlane_internal__prepare_start(d, ns_resolver);
}

int __netlane_internal__inet_poll_prepareaddress(NET_PREPADDR_DATA *d)
{
  return __netlane_internal__prepare_poll(d);
}
