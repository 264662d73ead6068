/* A listener's stateless cookies: the return-routability proof of the
 * netlane handshake (conn_wire.h). A cookie is SipHash-2-4, keyed with a
 * secret of the listener's that changes every COOKIE_EPOCH_MS, of the time
 * it was made, the request's id and nonce and the address it came from; a
 * client that echoes it within COOKIE_LIFE_MS has shown that it receives
 * what is sent to that address. Nothing is kept per request. */
#ifndef NETLANE_COOKIE_H
#define NETLANE_COOKIE_H

#include <stddef.h>
#include <stdint.h>

#include "conn_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

#define COOKIE_EPOCH_MS 30000  /* a secret's time; the one before is kept as long */
#define COOKIE_LIFE_MS 30000   /* a cookie older than this is refused */
#define COOKIE_KEY_SIZE 16     /* SipHash's key */

typedef struct cookie_secrets_t {
  unsigned char current[COOKIE_KEY_SIZE];
  unsigned char previous[COOKIE_KEY_SIZE];
  uint32_t current_epoch, previous_epoch;
  int have_previous;
} cookie_secrets_t;

/* SipHash-2-4 (Aumasson and Bernstein, 2012) of `len` bytes under a
 * 16-byte key, as the reference implementation's 64-bit output. */
uint64_t __netlane_internal__siphash24(const unsigned char key[COOKIE_KEY_SIZE], const unsigned char *in, size_t len);

/* Fills `buf` with `len` bytes from the operating system's random source:
 * 0 done; -1 none could be had. */
int __netlane_internal__random_bytes(void *buf, size_t len);

/* A first secret at timer value `now`: 0 ready; -1 no random bytes. */
int __netlane_internal__cookie_init(cookie_secrets_t *s, unsigned int now);
/* The cookie for a cookie request from `addr` (its text as the channel
 * reports senders) with `hello`'s id and nonce: sets hello->cookie_time to
 * `now` and fills hello->cookie. */
void __netlane_internal__cookie_make(cookie_secrets_t *s, unsigned int now, const char *addr, wire_hello_t *hello);
/* 1 when a proof's cookie (hello, from `addr`) is one this listener made
 * for that address, id and nonce within COOKIE_LIFE_MS before `now`; 0
 * otherwise. */
int __netlane_internal__cookie_check(cookie_secrets_t *s, unsigned int now, const char *addr, const wire_hello_t *hello);

#ifdef __cplusplus
}
#endif

#endif
