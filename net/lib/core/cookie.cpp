// A listener's cookies: SipHash-2-4 under a secret that changes with time,
// and the operating system's random bytes that the secrets and the
// clients' nonces are made of (the only file that asks the system for them).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include "byteorder.h"
#include "cookie.h"

namespace {

inline uint64_t rotl(uint64_t x, int b)
{
  return (x << b) | (x >> (64 - b));
}

// One SipRound, as the paper gives it.
inline void sipround(uint64_t &v0, uint64_t &v1, uint64_t &v2, uint64_t &v3)
{
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

// The secret of the epoch `epoch`, made now when the clock has moved into
// a new one; NULL for an epoch whose secret is gone (or not yet made).
const unsigned char *secret_of(cookie_secrets_t *s, unsigned int now, uint32_t epoch)
{
  uint32_t current = now / COOKIE_EPOCH_MS;
  if (current != s->current_epoch) {
    // The secret before is kept for one epoch, so that a cookie made at
    // the end of one is good early in the next. Without random bytes the
    // old secret serves on into the new epoch.
    unsigned char fresh[COOKIE_KEY_SIZE];
    if (__netlane_internal__random_bytes(fresh, sizeof fresh) != 0) memcpy(fresh, s->current, COOKIE_KEY_SIZE);
    s->have_previous = current == s->current_epoch + 1;
    memcpy(s->previous, s->current, COOKIE_KEY_SIZE);
    s->previous_epoch = s->current_epoch;
    memcpy(s->current, fresh, COOKIE_KEY_SIZE);
    s->current_epoch = current;
  }
  if (epoch == s->current_epoch) return s->current;
  if (s->have_previous && epoch == s->previous_epoch) return s->previous;
  return NULL;
}

// The MAC over the time, id, nonce and address text.
void mac(const unsigned char *key, uint32_t time, const char *addr, const wire_hello_t *hello,
         unsigned char out[WIRE_COOKIE_BYTES])
{
  unsigned char msg[16 + 128];
  size_t addr_len = strnlen(addr, 127);
  __netlane_put_le32(msg, time);
  __netlane_put_be32(msg + 4, hello->conn_id);
  memcpy(msg + 8, hello->nonce, WIRE_NONCE_SIZE);
  memcpy(msg + 16, addr, addr_len);
  __netlane_put_le64(out, __netlane_internal__siphash24(key, msg, 16 + addr_len));
}

}  // namespace

uint64_t __netlane_internal__siphash24(const unsigned char key[COOKIE_KEY_SIZE], const unsigned char *in, size_t len)
{
  uint64_t k0 = __netlane_get_le64(key), k1 = __netlane_get_le64(key + 8);
  uint64_t v0 = 0x736f6d6570736575ULL ^ k0;
  uint64_t v1 = 0x646f72616e646f6dULL ^ k1;
  uint64_t v2 = 0x6c7967656e657261ULL ^ k0;
  uint64_t v3 = 0x7465646279746573ULL ^ k1;
  size_t whole = len - len % 8;
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = __netlane_get_le64(in + i);
    v3 ^= m;
    sipround(v0, v1, v2, v3);
    sipround(v0, v1, v2, v3);
    v0 ^= m;
  }
  // The last block: the bytes left over, and the length's low byte on top.
  uint64_t b = (uint64_t)len << 56;
  for (size_t i = whole; i < len; i++) b |= (uint64_t)in[i] << (8 * (i - whole));
  v3 ^= b;
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  for (int r = 0; r < 4; r++) sipround(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

int __netlane_internal__random_bytes(void *buf, size_t len)
{
  unsigned char *p = static_cast<unsigned char *>(buf);
  size_t got = 0;
  while (got < len) {
    ssize_t n = getrandom(p + got, len - got, 0);
    if (n > 0) {
      got += (size_t)n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got == len) return 0;
  // A kernel without getrandom: the device it reads from.
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  while (got < len) {
    ssize_t n = read(fd, p + got, len - got);
    if (n > 0) got += (size_t)n;
    else if (n < 0 && errno == EINTR) continue;
    else break;
  }
  close(fd);
  return got == len ? 0 : -1;
}

int __netlane_internal__cookie_init(cookie_secrets_t *s, unsigned int now)
{
  memset(s, 0, sizeof *s);
  if (__netlane_internal__random_bytes(s->current, COOKIE_KEY_SIZE) != 0) return -1;
  s->current_epoch = now / COOKIE_EPOCH_MS;
  return 0;
}

void __netlane_internal__cookie_make(cookie_secrets_t *s, unsigned int now, const char *addr, wire_hello_t *hello)
{
  hello->cookie_time = now;
  mac(secret_of(s, now, now / COOKIE_EPOCH_MS), now, addr, hello, hello->cookie);
}

int __netlane_internal__cookie_check(cookie_secrets_t *s, unsigned int now, const char *addr, const wire_hello_t *hello)
{
  int32_t age = (int32_t)(now - hello->cookie_time);
  if (age < 0 || age > COOKIE_LIFE_MS) return 0;
  const unsigned char *key = secret_of(s, now, hello->cookie_time / COOKIE_EPOCH_MS);
  if (!key) return 0;
  unsigned char want[WIRE_COOKIE_BYTES];
  mac(key, hello->cookie_time, addr, hello, want);
  // Compared in time that does not depend on where they differ.
  unsigned char differ = 0;
  for (int i = 0; i < WIRE_COOKIE_BYTES; i++) differ |= (unsigned char)(want[i] ^ hello->cookie[i]);
  return differ == 0;
}
