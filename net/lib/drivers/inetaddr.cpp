// Address texts of the Internet driver: "192.168.0.5:24785", ":24785" (all
// interfaces), "*:9000" (broadcast), "host:port"; and the worker threads
// that turn a host name into a dotted quad without blocking the caller.
#include "inetaddr.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include <arpa/inet.h>

#include "decimal.h"
#include "inetsock.h"

namespace {

// One preparation request's state, hung on NET_PREPADDR_DATA::driver_data.
// `done` is the only hand-over between worker and poller: the worker
// stores it last with release order, the poller reads it with acquire
// order before it touches `dest`.
struct prep_driver_data {
  std::thread thread;     // detached as soon as the worker runs
  std::atomic<int> done;  // 0 running, 1 dest holds the text, -1 failed
};

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

void ns_resolver(void *data)
{
  NET_PREPADDR_DATA *d = static_cast<NET_PREPADDR_DATA *>(data);
  prep_driver_data *rec = static_cast<prep_driver_data *>(d->driver_data);
  const char *src = d->src;
  char *dest = d->dest;
  // src is a fixed 128-byte field: never read past it even when the caller
  // left it unterminated.
  size_t len = strnlen(src, NET_MAX_ADDRESS_LENGTH - 1);

  size_t i = 0;
  while (i < len && !is_alnum(static_cast<unsigned char>(src[i]))) {
    dest[i] = src[i];
    i++;
  }
  dest[i] = '\0';
  if (i == len) {
    rec->done.store(-1, std::memory_order_release);
    return;
  }

  if (is_digit(static_cast<unsigned char>(src[i]))) {
    memcpy(dest, src, len);
    dest[len] = '\0';
    rec->done.store(1, std::memory_order_release);
    return;
  }

  char host[NET_MAX_ADDRESS_LENGTH];
  size_t h = 0;
  size_t j = i;
  while (j < len && src[j] != ':')
    host[h++] = src[j++];
  host[h] = '\0';

  unsigned int address;
  if (__netlane_internal__sock_lookup_host(host, &address) != 0) {
    rec->done.store(-1, std::memory_order_release);
    return;
  }

  snprintf(dest + i, NET_MAX_ADDRESS_LENGTH - i, "%u.%u.%u.%u", (address >> 24) & 255,
           (address >> 16) & 255, (address >> 8) & 255, address & 255);
  size_t out = strlen(dest);
  while (j < len && out < NET_MAX_ADDRESS_LENGTH - 1)
    dest[out++] = src[j++];
  dest[out] = '\0';

  rec->done.store(1, std::memory_order_release);
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
  if (d == NULL || d->dest == NULL)
    return -1;
  prep_driver_data *rec = new (std::nothrow) prep_driver_data();
  if (rec == NULL)
    return -1;
  rec->done.store(0, std::memory_order_relaxed);
  d->driver_data = rec;
  try {
    rec->thread = std::thread(ns_resolver, static_cast<void *>(d));
  } catch (const std::system_error &) {
    d->driver_data = NULL;
    delete rec;
    return -1;
  }
  rec->thread.detach();
  return 0;
}

int __netlane_internal__inet_poll_prepareaddress(NET_PREPADDR_DATA *d)
{
  // A request that is already over (or never started) has no record: say
  // failed rather than read freed memory.
  if (d == NULL || d->driver_data == NULL)
    return -1;
  prep_driver_data *rec = static_cast<prep_driver_data *>(d->driver_data);
  int done = rec->done.load(std::memory_order_acquire);
  if (done != 0) {
    delete rec;
    d->driver_data = NULL;
  }
  return done;
}
