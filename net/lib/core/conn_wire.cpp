// The conn wire format: telling datagrams apart, writing and reading them
// (the byte diagrams are in conn_wire.h).
#include <string.h>

#include "byteorder.h"
#include "conn_wire.h"

unsigned __netlane_internal__conn_features = WIRE_FEATURES_BUILT;

namespace {

const unsigned char connect_word[8] = {'c', 'o', 'n', 'n', 'e', 'c', 't', 0};
const unsigned char netlane_mark[2] = {'N', 'L'};
const unsigned char hello_version = 1;

enum {
  KIND_COOKIE_REQUEST = 1,
  KIND_COOKIE = 2,
  KIND_PROOF = 3,
  KIND_ACCEPT = 4,
  KIND_GATHERED = 5,
  KIND_ADMIT = 6,
  KIND_RIDING = 7,
  KIND_BUNDLE = 8
};

// The "NL", kind and version (or flags) of a netlane datagram at `at`.
bool netlane_kind(const unsigned char *at, int kind)
{
  return memcmp(at, netlane_mark, 2) == 0 && at[2] == kind;
}

void put_mark(unsigned char *at, int kind, unsigned char last)
{
  memcpy(at, netlane_mark, 2);
  at[2] = (unsigned char)kind;
  at[3] = last;
}

// Whether a bundle's count and entries hold to its last byte: only its
// first entry may be acknowledged data, and no entry is a bundle.
bool bundle_holds(const unsigned char *buf, int len)
{
  int count = buf[7];
  if (count < 2 || len > WIRE_DATAGRAM_MAX) return false;
  int at = WIRE_BUNDLE_SIZE, n = 0;
  const unsigned char *entry;
  int entry_len;
  while (__netlane_internal__wire_bundle_next(buf, len, &at, &entry, &entry_len)) {
    // Only a first entry that reads as acknowledged data is classified as
    // a whole: a bundle inside a bundle is never looked into.
    bool acked = n == 0 && entry_len > WIRE_RIDING_SIZE && netlane_kind(entry + 4, KIND_RIDING);
    wire_kind kind = acked || __netlane_get_le32(entry) != 0 ? __netlane_internal__wire_conn_kind(entry, entry_len) : WIRE_JUNK;
    if (kind != WIRE_DATA && (kind != WIRE_RIDING || n > 0)) return false;
    n++;
  }
  return at == len && n == count;
}

}  // namespace

wire_kind __netlane_internal__wire_listener_kind(const unsigned char *buf, int len)
{
  if (len < WIRE_REQUEST_SIZE || memcmp(buf, connect_word, sizeof connect_word) != 0) return WIRE_JUNK;
  if (len == WIRE_REQUEST_SIZE) return WIRE_REQUEST;
  // Any version: a later client's request is answered as this one knows.
  if (len == WIRE_COOKIE_REQUEST_SIZE && netlane_kind(buf + 12, KIND_COOKIE_REQUEST)) return WIRE_COOKIE_REQUEST;
  if (len == WIRE_PROOF_SIZE && netlane_kind(buf + 12, KIND_PROOF)) return WIRE_PROOF;
  return WIRE_JUNK;
}

wire_kind __netlane_internal__wire_conn_kind(const unsigned char *buf, int len)
{
  if (len < WIRE_HEADER_SIZE) return WIRE_JUNK;
  if (__netlane_get_le32(buf) != 0) return len > WIRE_HEADER_SIZE ? WIRE_DATA : WIRE_JUNK;
  if (len == WIRE_ACK_SIZE) return __netlane_get_le32(buf + 4) == 0 ? WIRE_ZEROS : WIRE_ACK;
  if (len >= WIRE_GATHERED_SIZE && len <= WIRE_GATHERED_SIZE + WIRE_BITMAP_MAX && netlane_kind(buf + 4, KIND_GATHERED))
    return WIRE_GATHERED;
  if (len > WIRE_RIDING_SIZE && netlane_kind(buf + 4, KIND_RIDING)) {
    int packet = WIRE_RIDING_SIZE + buf[12];
    if (buf[12] > WIRE_BITMAP_MAX || len <= packet + WIRE_HEADER_SIZE || __netlane_get_le32(buf + packet) == 0)
      return WIRE_JUNK;
    return WIRE_RIDING;
  }
  if (len > WIRE_BUNDLE_SIZE && netlane_kind(buf + 4, KIND_BUNDLE)) return bundle_holds(buf, len) ? WIRE_BUNDLE : WIRE_JUNK;
  if (len == WIRE_COOKIE_SIZE && netlane_kind(buf + 4, KIND_COOKIE)) return WIRE_COOKIE;
  if (len == WIRE_COOKIE_SIZE && netlane_kind(buf + 4, KIND_ADMIT)) return WIRE_ADMIT;
  if (len == WIRE_ACCEPT_SIZE && netlane_kind(buf + 4, KIND_ACCEPT)) return WIRE_ACCEPT;
  return WIRE_JUNK;
}

uint32_t __netlane_internal__wire_data_index(const unsigned char *buf)
{
  return __netlane_get_le32(buf);
}

uint32_t __netlane_internal__wire_ack_index(const unsigned char *buf)
{
  return __netlane_get_le32(buf + 4);
}

uint32_t __netlane_internal__wire_request_id(const unsigned char *buf)
{
  return __netlane_get_be32(buf + sizeof connect_word);
}

void __netlane_internal__wire_read_hello(const unsigned char *buf, wire_kind kind, wire_hello_t *hello)
{
  memset(hello, 0, sizeof *hello);
  switch (kind) {
    case WIRE_COOKIE_REQUEST:
    case WIRE_PROOF:
      hello->conn_id = __netlane_get_be32(buf + 8);
      memcpy(hello->nonce, buf + 16, WIRE_NONCE_SIZE);
      hello->features = __netlane_get_le32(buf + 24);
      hello->version = buf[15];
      if (kind == WIRE_PROOF) {
        hello->cookie_time = __netlane_get_le32(buf + 28);
        memcpy(hello->cookie, buf + 32, WIRE_COOKIE_BYTES);
      }
      break;
    case WIRE_COOKIE:
    case WIRE_ADMIT:
      hello->conn_id = __netlane_get_be32(buf + 8);
      memcpy(hello->nonce, buf + 12, WIRE_NONCE_SIZE);
      hello->cookie_time = __netlane_get_le32(buf + 20);
      memcpy(hello->cookie, buf + 24, WIRE_COOKIE_BYTES);
      break;
    case WIRE_ACCEPT:
      hello->conn_id = __netlane_get_be32(buf + 8);
      memcpy(hello->nonce, buf + 12, WIRE_NONCE_SIZE);
      hello->features = __netlane_get_le32(buf + 20);
      break;
    default:
      break;
  }
}

void __netlane_internal__wire_put_request(unsigned char *out, uint32_t conn_id)
{
  memcpy(out, connect_word, sizeof connect_word);
  __netlane_put_be32(out + 8, conn_id);
}

void __netlane_internal__wire_put_ack(unsigned char *out, uint32_t index)
{
  memset(out, 0, 4);
  __netlane_put_le32(out + 4, index);
}

void __netlane_internal__wire_put_zeros(unsigned char *out)
{
  memset(out, 0, WIRE_REPLY_SIZE);
}

void __netlane_internal__wire_put_cookie_request(unsigned char *out, const wire_hello_t *hello)
{
  memset(out, 0, WIRE_COOKIE_REQUEST_SIZE);
  __netlane_internal__wire_put_request(out, hello->conn_id);
  put_mark(out + 12, KIND_COOKIE_REQUEST, hello->version ? (unsigned char)hello->version : hello_version);
  memcpy(out + 16, hello->nonce, WIRE_NONCE_SIZE);
  __netlane_put_le32(out + 24, hello->features);
}

void __netlane_internal__wire_put_cookie(unsigned char *out, const wire_hello_t *hello)
{
  memset(out, 0, WIRE_COOKIE_SIZE);
  put_mark(out + 4, KIND_COOKIE, hello_version);
  __netlane_put_be32(out + 8, hello->conn_id);
  memcpy(out + 12, hello->nonce, WIRE_NONCE_SIZE);
  __netlane_put_le32(out + 20, hello->cookie_time);
  memcpy(out + 24, hello->cookie, WIRE_COOKIE_BYTES);
}

void __netlane_internal__wire_put_admit(unsigned char *out, const wire_hello_t *hello)
{
  __netlane_internal__wire_put_cookie(out, hello);
  out[6] = KIND_ADMIT;
}

void __netlane_internal__wire_put_proof(unsigned char *out, const wire_hello_t *hello)
{
  __netlane_internal__wire_put_cookie_request(out, hello);
  out[14] = KIND_PROOF;
  out[15] = hello_version;  // the proof's form is the same for every client
  __netlane_put_le32(out + 28, hello->cookie_time);
  memcpy(out + 32, hello->cookie, WIRE_COOKIE_BYTES);
}

void __netlane_internal__wire_put_accept(unsigned char *out, const wire_hello_t *hello)
{
  memset(out, 0, WIRE_ACCEPT_SIZE);
  put_mark(out + 4, KIND_ACCEPT, hello_version);
  __netlane_put_be32(out + 8, hello->conn_id);
  memcpy(out + 12, hello->nonce, WIRE_NONCE_SIZE);
  __netlane_put_le32(out + 20, hello->features);
}

int __netlane_internal__wire_put_gathered(unsigned char *out, uint32_t next, unsigned flags,
                                          const unsigned char *bitmap, int bitmap_bytes)
{
  if (bitmap_bytes < 0) bitmap_bytes = 0;
  if (bitmap_bytes > WIRE_BITMAP_MAX) bitmap_bytes = WIRE_BITMAP_MAX;
  memset(out, 0, 4);
  put_mark(out + 4, KIND_GATHERED, (unsigned char)flags);
  __netlane_put_le32(out + 8, next);
  if (bitmap_bytes > 0) memcpy(out + WIRE_GATHERED_SIZE, bitmap, (size_t)bitmap_bytes);
  return WIRE_GATHERED_SIZE + bitmap_bytes;
}

void __netlane_internal__wire_read_gathered(const unsigned char *buf, int len, uint32_t *next, unsigned *flags,
                                            const unsigned char **bitmap, int *bitmap_bytes)
{
  *flags = buf[7];
  *next = __netlane_get_le32(buf + 8);
  *bitmap = buf + WIRE_GATHERED_SIZE;
  int n = len - WIRE_GATHERED_SIZE;
  *bitmap_bytes = n < 0 ? 0 : n > WIRE_BITMAP_MAX ? WIRE_BITMAP_MAX : n;
}

int __netlane_internal__wire_put_riding(unsigned char *out, uint32_t next, unsigned flags, const unsigned char *bitmap,
                                        int bitmap_bytes, const unsigned char *packet, int packet_len)
{
  if (bitmap_bytes < 0) bitmap_bytes = 0;
  if (bitmap_bytes > WIRE_BITMAP_MAX) bitmap_bytes = WIRE_BITMAP_MAX;
  memset(out, 0, 4);
  put_mark(out + 4, KIND_RIDING, (unsigned char)flags);
  __netlane_put_le32(out + 8, next);
  out[12] = (unsigned char)bitmap_bytes;
  if (bitmap_bytes > 0) memcpy(out + WIRE_RIDING_SIZE, bitmap, (size_t)bitmap_bytes);
  memcpy(out + WIRE_RIDING_SIZE + bitmap_bytes, packet, (size_t)packet_len);
  return WIRE_RIDING_SIZE + bitmap_bytes + packet_len;
}

void __netlane_internal__wire_read_riding(const unsigned char *buf, int len, uint32_t *next, unsigned *flags,
                                          const unsigned char **bitmap, int *bitmap_bytes,
                                          const unsigned char **packet, int *packet_len)
{
  *flags = buf[7];
  *next = __netlane_get_le32(buf + 8);
  *bitmap = buf + WIRE_RIDING_SIZE;
  *bitmap_bytes = buf[12];
  *packet = buf + WIRE_RIDING_SIZE + buf[12];
  *packet_len = len - WIRE_RIDING_SIZE - buf[12];
}

int __netlane_internal__wire_bundle_start(unsigned char *out)
{
  memset(out, 0, 4);
  put_mark(out + 4, KIND_BUNDLE, 0);
  return WIRE_BUNDLE_SIZE;
}

int __netlane_internal__wire_bundle_add(unsigned char *out, int len, const unsigned char *entry, int entry_len)
{
  out[len] = (unsigned char)entry_len;
  out[len + 1] = (unsigned char)(entry_len >> 8);
  memcpy(out + len + WIRE_BUNDLE_LENGTH, entry, (size_t)entry_len);
  out[7]++;
  return len + WIRE_BUNDLE_LENGTH + entry_len;
}

int __netlane_internal__wire_bundle_next(const unsigned char *buf, int len, int *at, const unsigned char **entry,
                                         int *entry_len)
{
  if (*at + WIRE_BUNDLE_LENGTH > len) return 0;
  int n = buf[*at] | buf[*at + 1] << 8;
  // A length past the end stops the walk short of it, which the
  // classification takes as a bundle that does not hold.
  if (n <= 0 || n > len - *at - WIRE_BUNDLE_LENGTH) return 0;
  *entry = buf + *at + WIRE_BUNDLE_LENGTH;
  *entry_len = n;
  *at += WIRE_BUNDLE_LENGTH + n;
  return 1;
}

int __netlane_internal__wire_bundle_rest(unsigned char *buf, int len, int at, int keep)
{
  if (keep > 0) {
    int end = at + WIRE_BUNDLE_LENGTH + (buf[at] | buf[at + 1] << 8);
    at = end - keep - WIRE_BUNDLE_LENGTH;
    buf[at] = (unsigned char)keep;
    buf[at + 1] = (unsigned char)(keep >> 8);
  }
  int rest = len - at;
  memmove(buf + WIRE_BUNDLE_SIZE, buf + at, (size_t)rest);
  len = WIRE_BUNDLE_SIZE + rest;
  int count = 0;
  const unsigned char *entry;
  int entry_len;
  for (int walk = WIRE_BUNDLE_SIZE; __netlane_internal__wire_bundle_next(buf, len, &walk, &entry, &entry_len);) count++;
  buf[7] = (unsigned char)count;
  return len;
}
