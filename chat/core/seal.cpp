// Private chats: the keys of a keyed chat and the sealed packets that carry
// its chat packets (libsodium). Each packet is one PACKET_SIZE message on
// the conn, zero after what is drawn here:
//
//   "Open"  client -> host, its first packet on a keyed join
//     0  4  "Open"        4  1  version 1     5  3  zero
//     8 32  cpk: the client's X25519 public key, fresh for each join
//   "Lock"  host -> client, the answer to "Open"
//     0  4  "Lock"        4  1  version 1     5  3  zero
//     8 16  salt of the host's chat         24 32  hpk, fresh for each conn
//   "Seal"  both ways, every packet after those
//     0  4  "Seal"        4  8  counter, big-endian: 0, 1, 2... each direction
//    12 272 ChaCha20-Poly1305 (IETF) of bytes 0-255 of the chat packet;
//           additional data bytes 0-11, nonce 4 zero bytes and the counter
//   "Bulk"  both ways, only a file's parts, and only to a peer that took it
//     0  4  "Bulk"        4  8  counter: the next of the direction's "Seal"s
//    12 1040 ChaCha20-Poly1305 (IETF) of all 1024 bytes of the chat packet,
//           additional data and nonce as "Seal"'s; 1052 bytes in all
//   "Nope"  host -> client, in clear; then the host closes the conn
//     0  4  "Nope"        4  1  1 the first packet was no "Open", 2 wrong key
//
// K = Argon2id(KEY text, salt); a conn's 64 key bytes = BLAKE2b keyed with K
// of "yammerlane chat 1", X25519(own secret, other public), cpk, hpk:
// bytes 0-31 client -> host, 32-63 host -> client.
#include <arpa/inet.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include "netops.h"
#include "packet.h"
#include "session.h"
#include "seal.h"
#include "timers.h"

char chat_key[KEY_TEXT_SIZE];
const char *needs_key_text = "This chat needs a key";
const char *wrong_key_text = "Wrong key for this chat";
const char *no_key_text = "This chat has no key: leave KEY empty to join it";
const char *no_lock_text = "The host did not answer the key: it may have none (leave KEY empty), "
                           "or it turns this address away for a minute after wrong keys";
const char *connect_wait_note = NULL;
long (*seal_clock)() = clock_ms;
long seal_failures = 0;
int lock_wait_ms = 5000;

static const char label[] = "yammerlane chat 1";  // 17 bytes, no terminator hashed

// A refused conn keeps its record while its "Nope" is delivered, at most this long.
#define NOPE_LINGER_MS 1000
// Received messages a waiting conn may have handled in one step.
#define ADMIT_READS 4

/* ---- Codec ---- */

static void put_be64(unsigned char *p, uint64_t v)
{
  for (int i = 7; i >= 0; i--, v >>= 8)
    p[i] = (unsigned char)v;
}

static uint64_t get_be64(const unsigned char *p)
{
  uint64_t v = 0;
  for (int i = 0; i < 8; i++)
    v = v << 8 | p[i];
  return v;
}

static bool is_packet(const char *packet, int size, const char *id)
{
  return size == PACKET_SIZE && memcmp(packet, id, 4) == 0;
}

int seal_derive(const char *key_text, const unsigned char salt[SEAL_SALT], unsigned char k[SEAL_KEY])
{
  if (sodium_init() < 0)
    return -1;
  return crypto_pwhash(k, SEAL_KEY, key_text, strlen(key_text), salt, crypto_pwhash_OPSLIMIT_INTERACTIVE,
                       crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) == 0 ? 0 : -1;
}

static void make_head(char *packet, const char *id)
{
  memset(packet, 0, PACKET_SIZE);
  memcpy(packet, id, 4);
  packet[4] = SEAL_VERSION;
}

void seal_make_open(char *packet, const unsigned char cpk[SEAL_PUBLIC])
{
  make_head(packet, "Open");
  memcpy(packet + 8, cpk, SEAL_PUBLIC);
}

void seal_make_lock(char *packet, const unsigned char salt[SEAL_SALT], const unsigned char hpk[SEAL_PUBLIC])
{
  make_head(packet, "Lock");
  memcpy(packet + 8, salt, SEAL_SALT);
  memcpy(packet + 24, hpk, SEAL_PUBLIC);
}

void seal_make_nope(char *packet, int reason)
{
  memset(packet, 0, PACKET_SIZE);
  memcpy(packet, "Nope", 4);
  packet[4] = (char)reason;
}

int seal_conn_keys(const unsigned char k[SEAL_KEY], const unsigned char own_secret[SEAL_PUBLIC],
                   const unsigned char other_public[SEAL_PUBLIC], const unsigned char cpk[SEAL_PUBLIC],
                   const unsigned char hpk[SEAL_PUBLIC], unsigned char keys[2 * SEAL_KEY])
{
  unsigned char shared[crypto_scalarmult_BYTES];
  // libsodium refuses an all-zero result: the other key was of small order.
  if (crypto_scalarmult(shared, own_secret, other_public) != 0) {
    sodium_memzero(shared, sizeof shared);
    return -1;
  }
  crypto_generichash_state h;
  crypto_generichash_init(&h, k, SEAL_KEY, 2 * SEAL_KEY);
  crypto_generichash_update(&h, (const unsigned char *)label, sizeof label - 1);
  crypto_generichash_update(&h, shared, sizeof shared);
  crypto_generichash_update(&h, cpk, SEAL_PUBLIC);
  crypto_generichash_update(&h, hpk, SEAL_PUBLIC);
  crypto_generichash_final(&h, keys, 2 * SEAL_KEY);
  sodium_memzero(shared, sizeof shared);
  sodium_memzero(&h, sizeof h);
  return 0;
}

static void make_nonce(unsigned char nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES], uint64_t counter)
{
  memset(nonce, 0, 4);
  put_be64(nonce + 4, counter);
}

// The sealed form `id` of the first `inner_size` bytes of `inner`, in
// `packet`: the head, then the cipher text and its tag.
static void seal_into(char *packet, const char *id, const char *inner, int inner_size, uint64_t counter,
                      const unsigned char key[SEAL_KEY])
{
  unsigned char *p = (unsigned char *)packet;
  unsigned char nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  memcpy(p, id, 4);
  put_be64(p + 4, counter);
  make_nonce(nonce, counter);
  crypto_aead_chacha20poly1305_ietf_encrypt(p + 12, NULL, (const unsigned char *)inner, inner_size,
                                            p, 12, NULL, nonce, key);
}

void seal_packet(char *packet, const char *inner, uint64_t counter, const unsigned char key[SEAL_KEY])
{
  memset(packet, 0, PACKET_SIZE);
  seal_into(packet, "Seal", inner, SEAL_INNER, counter, key);
}

void seal_bulk_packet(char *packet, const char *inner, uint64_t counter, const unsigned char key[SEAL_KEY])
{
  seal_into(packet, "Bulk", inner, PACKET_SIZE, counter, key);
}

int seal_unseal(char *inner, const char *packet, int size, uint64_t expected, const unsigned char key[SEAL_KEY])
{
  const unsigned char *p = (const unsigned char *)packet;
  bool bulk = size == SEAL_BULK && memcmp(packet, "Bulk", 4) == 0;
  if ((!bulk && !is_packet(packet, size, "Seal")) || get_be64(p + 4) != expected)
    return -1;
  int inner_size = bulk ? PACKET_SIZE : SEAL_INNER;
  unsigned char nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  make_nonce(nonce, expected);
  unsigned char opened[PACKET_SIZE];
  if (crypto_aead_chacha20poly1305_ietf_decrypt(opened, NULL, NULL, p + 12, inner_size + 16, p, 12,
                                                nonce, key) != 0)
    return -1;
  memset(inner, 0, PACKET_SIZE);
  memcpy(inner, opened, inner_size);
  sodium_memzero(opened, sizeof opened);
  return 0;
}

/* ---- Conns ---- */

// The state of one conn of a keyed chat.
enum { PHASE_FREE, PHASE_NEW, PHASE_LOCKED, PHASE_OPEN, PHASE_CLOSING };
typedef struct sealed_conn_t {
  NET_CONN *conn;
  int phase;
  unsigned char send_key[SEAL_KEY], receive_key[SEAL_KEY];
  uint64_t sent, received;        // the next counter of each direction
  bool held;                      // host: the packet that earned the place waits
  char held_packet[SEAL_INNER];
  long closing_since;
} sealed_conn_t;

// Host: every client place, every waiting conn and those closing after
// "Nope" (when these are all taken, the oldest closing one makes way).
#define SEAL_CONNS (MAX_CLIENTS + WAITING_MAX + 16)
static sealed_conn_t conns[SEAL_CONNS];

static bool keyed = false;
static bool hosting = false;
static unsigned char host_k[SEAL_KEY];
static unsigned char host_salt[SEAL_SALT];

static sealed_conn_t *record_of(NET_CONN *conn)
{
  for (sealed_conn_t &c : conns)
    if (c.phase != PHASE_FREE && c.conn == conn)
      return &c;
  return NULL;
}

static void wipe(sealed_conn_t *c)
{
  sodium_memzero(c, sizeof *c);
  c->phase = PHASE_FREE;
}

// A free record for `conn`; when none is free, a refused conn still
// delivering its "Nope" (the oldest) is closed for it. NULL when every
// record belongs to a conn that may yet join.
static sealed_conn_t *new_record(NET_CONN *conn)
{
  seal_forget(conn);
  sealed_conn_t *closing = NULL;
  for (sealed_conn_t &c : conns) {
    if (c.phase == PHASE_CLOSING && (!closing || c.closing_since - closing->closing_since < 0))
      closing = &c;
    if (c.phase == PHASE_FREE) {
      c.conn = conn;
      c.phase = PHASE_NEW;
      return &c;
    }
  }
  if (!closing)
    return NULL;
  chat_net_ops.close(closing->conn);
  wipe(closing);
  closing->conn = conn;
  closing->phase = PHASE_NEW;
  return closing;
}

void seal_forget(NET_CONN *conn)
{
  sealed_conn_t *c = conn ? record_of(conn) : NULL;
  if (c)
    wipe(c);
}

bool seal_keyed()
{
  return keyed;
}

/* ---- Addresses that guess keys ---- */

// A wrong key (a first "Seal" that does not open after "Lock") is counted
// where it can be pinned down. A conn that proved it receives at its
// address (NET_CONN_FIGURES.proved) counts against its host: an IPv4
// address, or an IPv6 /64, which one machine may fill with addresses of its
// own. Any other conn's address may be forged, so its failures count
// against its exact address and port, and against its host only with the
// wider SEAL_UNPROVED_HOST_LIMIT, which turns away no proved conn. Forged
// datagrams thus never shut out a conn that proved it receives, and the
// keys a host can try stay bounded either way.
enum { TALLY_HOST, TALLY_UNPROVED_HOST, TALLY_EXACT };
typedef struct address_t {
  char key[NET_MAX_ADDRESS_LENGTH];         // a host, or an address and port; "" unused
  int kind;                                 // TALLY_...
  long failures[SEAL_UNPROVED_HOST_LIMIT];  // when the last ones came, oldest first
  int count;
  bool blocked;
  long since;                               // blocked: since when; else the last failure
} address_t;
// Enough for the addresses guessing at once; beyond, the quietest is forgotten.
#define SEAL_ADDRESSES 128
static address_t addresses[SEAL_ADDRESSES];

static int tally_limit(int kind)
{
  return kind == TALLY_UNPROVED_HOST ? SEAL_UNPROVED_HOST_LIMIT : SEAL_FAILURE_LIMIT;
}

// The host of "10.0.0.5:24785" ("10.0.0.5"), of "[2001:db8::7%eth0]:5"
// ("[2001:db8::]/64"); the whole address and port for TALLY_EXACT.
static void key_of(NET_CONN *conn, int kind, char key[NET_MAX_ADDRESS_LENGTH])
{
  memcpy(key, conn->peer_addr, NET_MAX_ADDRESS_LENGTH);
  key[NET_MAX_ADDRESS_LENGTH - 1] = 0;
  char *colon = strrchr(key, ':');
  if (kind == TALLY_EXACT || !colon)
    return;
  *colon = 0;
  char *close = strchr(key, ']');
  if (key[0] != '[' || !close)
    return;
  *close = 0;
  char *zone = strchr(key, '%');
  if (zone)
    *zone = 0;
  unsigned char six[16];
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, key + 1, six) != 1)
    return;
  memset(six + 8, 0, 8);
  if (inet_ntop(AF_INET6, six, text, sizeof text))
    snprintf(key, NET_MAX_ADDRESS_LENGTH, "[%s]/64", text);
}

static bool proved(NET_CONN *conn)
{
  NET_CONN_FIGURES f;
  return chat_net_ops.figures && chat_net_ops.figures(conn, &f) == 0 && f.proved;
}

static bool address_used(const address_t *a)
{
  return a->count > 0 || a->blocked;
}

// Whether record `a` is rather given up than `b`: an unused one first, then
// one that turns nobody away, then one that forged datagrams can make (not
// a proved host's), then the one whose last event is oldest.
static bool rather_given_up(const address_t *a, const address_t *b, long now)
{
  if (address_used(a) != address_used(b))
    return !address_used(a);
  if (a->blocked != b->blocked)
    return !a->blocked;
  if ((a->kind == TALLY_HOST) != (b->kind == TALLY_HOST))
    return a->kind != TALLY_HOST;
  return now - a->since > now - b->since;
}

// The record of `key` of `kind`; with `make`, a new one in place of the
// record most rather given up when there is none.
static address_t *address_of(const char *key, int kind, bool make, long now)
{
  address_t *victim = NULL;
  for (address_t &a : addresses) {
    if (address_used(&a) && a.kind == kind && strcmp(a.key, key) == 0)
      return &a;
    if (!victim || rather_given_up(&a, victim, now))
      victim = &a;
  }
  if (!make)
    return NULL;
  memset(victim, 0, sizeof *victim);
  snprintf(victim->key, sizeof victim->key, "%s", key);
  victim->kind = kind;
  return victim;
}

static bool blocked_now(address_t *a, long now)
{
  if (a && a->blocked && now - a->since >= SEAL_BLOCK_MS)
    memset(a, 0, sizeof *a);
  return a && a->blocked;
}

// One failure of `conn` in the tally of `kind`.
static void tally(NET_CONN *conn, int kind, long now)
{
  char key[NET_MAX_ADDRESS_LENGTH];
  key_of(conn, kind, key);
  address_t *a = address_of(key, kind, true, now);
  if (blocked_now(a, now))
    return;
  // Failures older than the window no longer count.
  int kept = 0;
  for (int i = 0; i < a->count; i++)
    if (now - a->failures[i] < SEAL_FAILURE_WINDOW_MS)
      a->failures[kept++] = a->failures[i];
  a->count = kept;
  a->failures[a->count++] = now;
  a->since = now;
  if (a->count == tally_limit(kind)) {
    a->count = 0;
    a->blocked = true;
  }
}

static bool tally_blocked(NET_CONN *conn, int kind, long now)
{
  char key[NET_MAX_ADDRESS_LENGTH];
  key_of(conn, kind, key);
  return blocked_now(address_of(key, kind, false, 0), now);
}

// A key tried on `conn` and found wrong.
static void count_failure(NET_CONN *conn)
{
  seal_failures++;
  if (!hosting)
    return;
  long now = seal_clock();
  if (proved(conn)) {
    tally(conn, TALLY_HOST, now);
  } else {
    tally(conn, TALLY_EXACT, now);
    tally(conn, TALLY_UNPROVED_HOST, now);
  }
}

int seal_host_blocked(NET_CONN *conn)
{
  if (!keyed || !hosting || !conn)
    return 0;
  long now = seal_clock();
  if (tally_blocked(conn, TALLY_HOST, now))
    return 1;
  if (proved(conn))
    return 0;
  return tally_blocked(conn, TALLY_UNPROVED_HOST, now) || tally_blocked(conn, TALLY_EXACT, now) ? 1 : 0;
}

/* ---- Host ---- */

int seal_host_start(const char *key_text)
{
  seal_end();
  memset(addresses, 0, sizeof addresses);
  if (!key_text[0])
    return 0;
  if (sodium_init() < 0)
    return -1;
  randombytes_buf(host_salt, sizeof host_salt);
  if (seal_derive(key_text, host_salt, host_k) != 0)
    return -1;
  keyed = hosting = true;
  return 0;
}

// Sends "Nope" and keeps the conn until it is delivered (seal_step).
static int refuse(sealed_conn_t *c, int reason)
{
  char packet[PACKET_SIZE];
  seal_make_nope(packet, reason);
  NET_CONN *conn = c->conn;
  wipe(c);
  c->conn = conn;
  c->phase = PHASE_CLOSING;
  c->closing_since = seal_clock();
  chat_net_ops.send(conn, packet, PACKET_SIZE);
  return -1;
}

// The answer to "Open": a key pair for this conn, its keys, "Lock".
static int answer_open(sealed_conn_t *c, const char *open)
{
  unsigned char hsk[SEAL_PUBLIC], hpk[SEAL_PUBLIC], keys[2 * SEAL_KEY];
  const unsigned char *cpk = (const unsigned char *)open + 8;
  randombytes_buf(hsk, sizeof hsk);
  crypto_scalarmult_base(hpk, hsk);
  int made = seal_conn_keys(host_k, hsk, cpk, cpk, hpk, keys);
  sodium_memzero(hsk, sizeof hsk);
  // A key of small order tries no chat key: refused, but not counted.
  if (made != 0)
    return refuse(c, NOPE_WRONG_KEY);
  memcpy(c->receive_key, keys, SEAL_KEY);
  memcpy(c->send_key, keys + SEAL_KEY, SEAL_KEY);
  sodium_memzero(keys, sizeof keys);
  char lock[PACKET_SIZE];
  seal_make_lock(lock, host_salt, hpk);
  chat_net_ops.send(c->conn, lock, PACKET_SIZE);
  c->phase = PHASE_LOCKED;
  return 0;
}

int seal_admit(NET_CONN *conn)
{
  sealed_conn_t *c = record_of(conn);
  if (c && c->phase == PHASE_CLOSING)
    return -1;
  if (c && c->phase == PHASE_OPEN)
    return 1;  // it waits for a place to free up
  if (seal_host_blocked(conn) || (!c && !(c = new_record(conn)))) {
    // Turned away at once, or no room: closed without a word.
    seal_forget(conn);
    chat_net_ops.close(conn);
    return -1;
  }
  char packet[PACKET_SIZE];
  for (int n = 0; n < ADMIT_READS; n++) {
    int size = chat_net_ops.query(conn);
    if (size <= 0)
      return 0;
    int got = size > PACKET_SIZE ? -1 : chat_net_ops.receive(conn, packet, PACKET_SIZE);
    if (got == 0)
      return 0;
    if (got < 0)
      chat_net_ops.ignore(conn);
    if (c->phase == PHASE_NEW) {
      if (!is_packet(packet, got, "Open") || packet[4] != SEAL_VERSION)
        return refuse(c, NOPE_NEEDS_KEY);
      if (answer_open(c, packet) != 0)
        return -1;
      continue;
    }
    char inner[PACKET_SIZE];
    if (seal_unseal(inner, packet, got, c->received, c->receive_key) != 0) {
      count_failure(conn);
      return refuse(c, NOPE_WRONG_KEY);
    }
    c->received++;
    memcpy(c->held_packet, inner, SEAL_INNER);
    c->held = true;
    c->phase = PHASE_OPEN;
    return 1;
  }
  return 0;
}

// Whether everything sent on a real conn has been acknowledged.
static bool delivered(NET_CONN *conn)
{
  int out_q = 0;
  if (chat_net_ops.send != net_send_rdm)
    return true;
  return net_conn_stats(conn, NULL, &out_q) != 0 || out_q == 0;
}

void seal_step()
{
  long now = seal_clock();
  for (sealed_conn_t &c : conns) {
    if (c.phase != PHASE_CLOSING)
      continue;
    // Querying runs the conn's protocol, which resends the "Nope".
    for (int n = 0; n < ADMIT_READS && chat_net_ops.query(c.conn) != 0; n++)
      chat_net_ops.ignore(c.conn);
    if (delivered(c.conn) || now - c.closing_since >= NOPE_LINGER_MS) {
      chat_net_ops.close(c.conn);
      wipe(&c);
    }
  }
}

/* ---- Client ---- */

// How often the wait for "Lock" looks at the conn and the hook.
#define LOCK_POLL_MS 20

int seal_client_join(NET_CONN *conn, const char *key_text,
                     int (*wait_hook)(const char *peer, long remaining_ms), const char **why)
{
  seal_end();
  *why = NULL;
  sealed_conn_t *c = sodium_init() < 0 ? NULL : new_record(conn);
  if (!c) {
    *why = no_lock_text;
    return 1;
  }
  keyed = true;
  unsigned char csk[SEAL_PUBLIC], cpk[SEAL_PUBLIC];
  randombytes_buf(csk, sizeof csk);
  crypto_scalarmult_base(cpk, csk);
  char packet[PACKET_SIZE];
  seal_make_open(packet, cpk);
  chat_net_ops.send(conn, packet, PACKET_SIZE);

  connect_wait_note = "Checking the key...";
  int result = 1;
  long start = clock_ms();
  for (;;) {
    long now = clock_ms();
    if (now - start >= lock_wait_ms) {
      *why = no_lock_text;
      break;
    }
    if (wait_hook && wait_hook(conn->peer_addr, lock_wait_ms - (now - start))) {
      result = 4;
      break;
    }
    int size = chat_net_ops.query(conn);
    if (size == 0) {
      wait_ms(LOCK_POLL_MS);
      continue;
    }
    int got = size > PACKET_SIZE ? -1 : chat_net_ops.receive(conn, packet, PACKET_SIZE);
    if (got < 0)
      chat_net_ops.ignore(conn);
    if (is_packet(packet, got, "Nope")) {
      *why = packet[4] == NOPE_WRONG_KEY ? wrong_key_text : needs_key_text;
      break;
    }
    if (!is_packet(packet, got, "Lock") || packet[4] != SEAL_VERSION) {
      *why = no_key_text;
      break;
    }
    // Argon2id takes a moment: the frame says why first.
    if (wait_hook)
      wait_hook(conn->peer_addr, lock_wait_ms - (now - start));
    unsigned char k[SEAL_KEY], keys[2 * SEAL_KEY];
    const unsigned char *salt = (const unsigned char *)packet + 8, *hpk = salt + SEAL_SALT;
    if (seal_derive(key_text, salt, k) != 0) {
      *why = "Not enough memory to check the key";
      break;
    }
    int made = seal_conn_keys(k, csk, hpk, cpk, hpk, keys);
    sodium_memzero(k, sizeof k);
    if (made != 0) {
      *why = wrong_key_text;
      break;
    }
    memcpy(c->send_key, keys, SEAL_KEY);
    memcpy(c->receive_key, keys + SEAL_KEY, SEAL_KEY);
    sodium_memzero(keys, sizeof keys);
    c->phase = PHASE_OPEN;
    result = 0;
    break;
  }
  sodium_memzero(csk, sizeof csk);
  connect_wait_note = NULL;
  if (result != 0)
    seal_forget(conn);
  return result;
}

/* ---- Both ---- */

// Sends `packet` on `conn` as it is, or sealed as the conn's next counter
// (a "Bulk" when `bulk`).
static int send_sealed(NET_CONN *conn, const char *packet, bool bulk)
{
  if (!keyed)
    return chat_net_ops.send(conn, packet, PACKET_SIZE);
  sealed_conn_t *c = record_of(conn);
  if (!c || c->phase != PHASE_OPEN)
    return 0;
  char sealed[SEAL_BULK];
  if (bulk)
    seal_bulk_packet(sealed, packet, c->sent, c->send_key);
  else
    seal_packet(sealed, packet, c->sent, c->send_key);
  int result = chat_net_ops.send(conn, sealed, bulk ? SEAL_BULK : PACKET_SIZE);
  // A refused send (full window) is sent again later with the same counter.
  if (result == 0)
    c->sent++;
  return result;
}

int seal_send(NET_CONN *conn, const char *packet)
{
  return send_sealed(conn, packet, false);
}

int seal_send_bulk(NET_CONN *conn, const char *packet)
{
  return send_sealed(conn, packet, true);
}

int seal_held(NET_CONN *conn, char *packet)
{
  sealed_conn_t *c = keyed ? record_of(conn) : NULL;
  if (!c || !c->held)
    return 0;
  memset(packet, 0, PACKET_SIZE);
  memcpy(packet, c->held_packet, SEAL_INNER);
  sodium_memzero(c->held_packet, SEAL_INNER);
  c->held = false;
  return 1;
}

int seal_take(NET_CONN *conn, char *packet, int size)
{
  if (!keyed)
    return 1;
  // The host's refusal comes in clear, and only to a client.
  if (!hosting && is_packet(packet, size, "Nope"))
    return 1;
  sealed_conn_t *c = record_of(conn);
  if (!c || c->phase != PHASE_OPEN || seal_unseal(packet, packet, size, c->received, c->receive_key) != 0) {
    // The conn had proved the key: this is no guess, and no address's failure.
    memset(packet, 0, PACKET_SIZE);
    seal_failures++;
    return SEAL_BROKEN;
  }
  c->received++;
  return 1;
}

void seal_end()
{
  for (sealed_conn_t &c : conns) {
    if (c.phase == PHASE_CLOSING)
      chat_net_ops.close(c.conn);
    wipe(&c);
  }
  sodium_memzero(host_k, sizeof host_k);
  keyed = hosting = false;
}
