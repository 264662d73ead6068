// A listener's cookies: libsodium's SipHash-2-4 under a secret that changes
// with time, and the random bytes that the secrets and the clients' nonces
// are made of (the only file that asks for them).
#include <string.h>

#include <sodium.h>

#include "byteorder.h"
#include "cookie.h"

namespace {

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
  unsigned char out[crypto_shorthash_siphash24_BYTES];
  crypto_shorthash_siphash24(out, in, (unsigned long long)len, key);
  return __netlane_get_le64(out);
}

int __netlane_internal__random_bytes(void *buf, size_t len)
{
  // libsodium reads the kernel's generator (getrandom, else /dev/urandom).
  if (sodium_init() < 0) return -1;
  randombytes_buf(buf, len);
  return 0;
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
