// The I/O layer under the conns: a listener's port shared with the conns it
// accepted (the hash of peer addresses, binary where the driver gives
// them, that files each datagram with its conn; the small queues between
// the port and the conns' protocol steps; sends to prepared peer
// addresses), a conn's own channel read and sent on, and the handshake's
// answers that need no conn: cookies, repeated replies and accepts, and the
// check of a proof. Ports are drained many datagrams to a call and the
// sends of one protocol step go out together, on the Internet driver.
#include <stdlib.h>
#include <string.h>

#include <arpa/inet.h>

#include "binaddr.h"
#include "conn_wire.h"
#include "connwin.h"
#include "cookie.h"
#include "handshake.h"
#include "internal.h"
#include "sharedport.h"
#include "waitset_internal.h"

/* A peer's queue is a hand-over between the port and the conn's next
 * protocol step, not a buffer: past these the datagram is lost like one
 * the network dropped, and the peer's resends make up for it. */
#define PEER_QUEUE_DATAGRAMS 256
#define PEER_QUEUE_BYTES (512 * 1024)
#define REQUEST_QUEUE 64      /* plain and cookie requests waiting for the listener */
#define PROOF_QUEUE 64        /* proofs waiting for it, taken first */
/* A plain request does not take an address over from a conn that has
 * heard from it within this long: the address is in use. */
#define TAKEOVER_QUIET_MS 5000
#define MAX_DATAGRAM 16384
#define FIRST_BUCKETS 64
/* Datagrams taken from the port per call where the driver has the call. */
#define RX_BATCH 32
/* A peer queue's entries are fixed buffers from the port's pool, reused:
 * filing a datagram allocates nothing once the pool is warm. A longer
 * datagram takes a heap block beside its buffer. */
#define SLOT_BYTES 2048
#define POOL_KEEP 512         /* free buffers the pool keeps */
/* Owners told of filed datagrams once per pump; past this many, at once. */
#define TOLD_MOST 64

typedef struct slot_t {
  struct slot_t *next;
  int len;
  unsigned char *data;  /* bytes, or a heap block for a longer datagram */
  unsigned char bytes[SLOT_BYTES];
} slot_t;

/* Filed by a pump, under the guard; taken by the conn's step, under the
 * conn's own guard only: the pump pushes onto `filed` and the step takes
 * the whole of it at once, so neither waits for the other, and a message
 * costs the port's guard once, in the pump. */
typedef struct peer_queue_t {
  slot_t *filed;     /* newest first (atomic) */
  slot_t *held;      /* taken from `filed`, oldest first, not yet lent: the step's own */
  int count, bytes;  /* filed and held (atomic): the queue's bounds, and
                        whether it is empty, without any guard */
} peer_queue_t;

typedef struct datagram_t {
  struct datagram_t *next;
  int len;
  char from[NET_MAX_ADDRESS_LENGTH];  /* requests only */
  unsigned char bytes[1];
} datagram_t;

typedef struct queue_t {
  datagram_t *head, *tail;
  int count, bytes;
} queue_t;

struct port_peer_t {
  port_peer_t *next, *prev;  /* every peer, for the bounds */
  port_peer_t *chain;        /* the next peer in the same bucket */
  unsigned int hash;
  bin_addr_t key;            /* the address in binary; family 0: only its text */
  char addr[NET_MAX_ADDRESS_LENGTH];
  unsigned int conn_id;
  int silent;
  int superseded;            /* a newer peer has the address (atomic) */
  int replaced;              /* that newer peer proved the address: this one's
                                client has gone, for good (atomic) */
  int proved;                /* it echoed a cookie (atomic: its conn reads it) */
  int admitted;              /* made for a cookie request: its proof is to come */
  unsigned features;         /* agreed in its accept */
  unsigned offered;          /* those the listener agrees to */
  unsigned char nonce[WIRE_NONCE_SIZE];  /* its client's, for the accept */
  int heard;                 /* a datagram from its address was filed for it */
  unsigned int last_heard;   /* when the last was, in timer ms */
  int prepared_ok;
  unsigned char prepared[NET_PREPARED_TARGET_SIZE];
  void *owner;
  peer_queue_t in;
  unsigned long told_in;     /* the pump that last told its owner */
};

struct port_share_t {
  NET_CHANNEL *chan;
  void *guard;
  int holds;      /* the listener while it is open, and each peer */
  int listening;
  void *owner;    /* the listener's */
  cookie_secrets_t secrets;
  port_peer_t *peers;
  port_peer_t **buckets;
  int nbuckets, npeers;
  queue_t requests;  /* plain and cookie requests of new pairs */
  queue_t proofs;    /* proofs of new pairs that held */
  long cookies_sent, proofs_refused;
  int binary;        /* an Internet channel: senders come in binary */
  slot_t *pool;      /* free buffers for the peers' queues */
  int pooled;
  slot_t *returned;  /* buffers the steps gave back, for the pool (atomic) */
  unsigned char *rx; /* RX_BATCH buffers of MAX_DATAGRAM bytes, once needed */
  unsigned long pumps;
  unsigned long drained_round;  /* the wait round the port was last found empty
                                   in; written under the guard, atomically */
  int skips;                    /* reads passed over since (atomic) */
  int rx_last;                  /* datagrams the last batched read took */
  void *told[TOLD_MOST];        /* owners to tell at the end of this pump */
  int ntold;
};

static unsigned int hash_text(const char *s)
{
  unsigned int h = 2166136261u;  // FNV-1a
  for (; *s; s++) h = (h ^ (unsigned char)*s) * 16777619u;
  return h;
}

/* The demultiplexing key of an address text: its binary form where it is
 * a written Internet address, else (another driver's) the text's hash. */
static unsigned int key_of_text(const char *text, bin_addr_t *key)
{
  if (__netlane_internal__bin_addr_read(text, key) == 0) return __netlane_internal__bin_addr_hash(key);
  return hash_text(text);
}

static int same_key(const port_peer_t *p, unsigned int hash, const bin_addr_t *key, const char *text)
{
  if (p->hash != hash) return 0;
  if (key->family) return __netlane_internal__bin_addr_equal(&p->key, key);
  return !p->key.family && strcmp(p->addr, text) == 0;
}

static void lock(port_share_t *s) { __netlane_internal__mutex_lock(s->guard); }
static void unlock(port_share_t *s) { __netlane_internal__mutex_unlock(s->guard); }

static void queue_clear(queue_t *q)
{
  while (q->head) {
    datagram_t *d = q->head;
    q->head = d->next;
    free(d);
  }
  q->tail = NULL;
  __atomic_store_n(&q->count, 0, __ATOMIC_RELAXED);
  q->bytes = 0;
}

static int queue_push(queue_t *q, const unsigned char *buf, int len, const char *from, int most, int most_bytes)
{
  if (q->count >= most || q->bytes + len > most_bytes) return -1;
  datagram_t *d = static_cast<datagram_t *>(malloc(sizeof(datagram_t) + (size_t)len));
  if (!d) return -1;
  d->next = NULL;
  d->len = len;
  if (len > 0) memcpy(d->bytes, buf, (size_t)len);
  if (from) __netlane_internal__copy_address(d->from, from);
  else d->from[0] = 0;
  if (q->tail) q->tail->next = d;
  else q->head = d;
  q->tail = d;
  __atomic_store_n(&q->count, q->count + 1, __ATOMIC_RELEASE);
  q->bytes += len;
  return 0;
}

// With the guard held: the buffer goes back to the pool.
static void slot_put(port_share_t *s, slot_t *d)
{
  if (d->data != d->bytes) free(d->data);
  if (s->pooled >= POOL_KEEP) {
    free(d);
    return;
  }
  d->next = s->pool;
  s->pool = d;
  s->pooled++;
}

// With the guard held: the buffers the steps gave back join the pool.
static void slots_returned(port_share_t *s)
{
  slot_t *d = __atomic_exchange_n(&s->returned, (slot_t *)NULL, __ATOMIC_ACQUIRE);
  while (d) {
    slot_t *after = d->next;
    slot_put(s, d);
    d = after;
  }
}

// With the guard held: a buffer from the pool, or a new one.
static slot_t *slot_get(port_share_t *s, int len)
{
  if (!s->pool) slots_returned(s);
  slot_t *d = s->pool;
  if (d) {
    s->pool = d->next;
    s->pooled--;
  } else if (!(d = static_cast<slot_t *>(malloc(sizeof(slot_t))))) {
    return NULL;
  }
  d->data = d->bytes;
  if (len > SLOT_BYTES && !(d->data = static_cast<unsigned char *>(malloc((size_t)len)))) {
    d->next = s->pool;
    s->pool = d;
    s->pooled++;
    return NULL;
  }
  d->next = NULL;
  d->len = len;
  return d;
}

// Without the guard (a step's): the buffer goes back for the next pump to
// put into the pool. Only pumps take from `returned`, all of it at once,
// so a push never meets a buffer taken and pushed again meanwhile.
static void slot_give_back(port_share_t *s, slot_t *d)
{
  slot_t *top = __atomic_load_n(&s->returned, __ATOMIC_RELAXED);
  do {
    d->next = top;
  } while (!__atomic_compare_exchange_n(&s->returned, &top, d, true, __ATOMIC_RELEASE, __ATOMIC_RELAXED));
}

// With the guard held: files a datagram for the peer, or drops it when
// the queue is at its bounds. 0 filed. It is counted before it is pushed,
// so that a step never finds the count at 0 with a datagram filed.
static int peer_push(port_share_t *s, peer_queue_t *q, const unsigned char *buf, int len)
{
  if (__atomic_load_n(&q->count, __ATOMIC_RELAXED) >= PEER_QUEUE_DATAGRAMS ||
      __atomic_load_n(&q->bytes, __ATOMIC_RELAXED) + len > PEER_QUEUE_BYTES)
    return -1;
  slot_t *d = slot_get(s, len);
  if (!d) return -1;
  if (len > 0) memcpy(d->data, buf, (size_t)len);
  __atomic_add_fetch(&q->count, 1, __ATOMIC_RELEASE);
  __atomic_add_fetch(&q->bytes, len, __ATOMIC_RELAXED);
  slot_t *top = __atomic_load_n(&q->filed, __ATOMIC_RELAXED);
  do {
    d->next = top;
  } while (!__atomic_compare_exchange_n(&q->filed, &top, d, true, __ATOMIC_RELEASE, __ATOMIC_RELAXED));
  return 0;
}

// The step's (or, once the conn is gone, the guard's): the oldest datagram
// filed, uncounted. The filed ones, newest first, are turned round into
// `held` when it has run out.
static slot_t *peer_pop(peer_queue_t *q)
{
  if (!q->held) {
    slot_t *d = __atomic_exchange_n(&q->filed, (slot_t *)NULL, __ATOMIC_ACQUIRE);
    while (d) {
      slot_t *after = d->next;
      d->next = q->held;
      q->held = d;
      d = after;
    }
  }
  slot_t *d = q->held;
  if (d) q->held = d->next;
  return d;
}

static void peer_uncount(peer_queue_t *q, int n, int bytes)
{
  __atomic_sub_fetch(&q->bytes, bytes, __ATOMIC_RELAXED);
  __atomic_sub_fetch(&q->count, n, __ATOMIC_RELEASE);
}

// Without any guard: whether the queue looks empty. A datagram filed at
// this moment is taken at the conn's next step, which the filing pump
// announces to the wait sets.
static int peer_empty(peer_queue_t *q)
{
  return __atomic_load_n(&q->count, __ATOMIC_ACQUIRE) == 0;
}

// With the guard held, once no step can run for the peer.
static void peer_clear(port_share_t *s, peer_queue_t *q)
{
  while (slot_t *d = peer_pop(q)) slot_put(s, d);
  q->count = q->bytes = 0;
}

static datagram_t *queue_pop(queue_t *q)
{
  datagram_t *d = q->head;
  if (!d) return NULL;
  q->head = d->next;
  if (!q->head) q->tail = NULL;
  __atomic_store_n(&q->count, q->count - 1, __ATOMIC_RELAXED);
  q->bytes -= d->len;
  return d;
}

port_share_t *__netlane_internal__share_create(NET_CHANNEL *chan, void *owner)
{
  port_share_t *s = static_cast<port_share_t *>(calloc(1, sizeof(port_share_t)));
  if (!s) return NULL;
  s->buckets = static_cast<port_peer_t **>(calloc(FIRST_BUCKETS, sizeof(port_peer_t *)));
  __netlane_internal__mutex_create(&s->guard);
  if (!s->buckets || !s->guard || __netlane_internal__cookie_init(&s->secrets, __netlane_timer_func()) != 0) {
    if (s->guard) __netlane_internal__mutex_destroy(s->guard);
    free(s->buckets);
    free(s);
    return NULL;
  }
  s->nbuckets = FIRST_BUCKETS;
  s->chan = chan;
  s->binary = __netlane_internal__inet_channel(chan);
  s->holds = 1;
  s->listening = 1;
  s->owner = owner;
  return s;
}

NET_CHANNEL *__netlane_internal__share_channel(port_share_t *share)
{
  return share->chan;
}

// Called with the guard held, which it releases: the last hold closes the
// channel and frees the share.
static void let_go(port_share_t *s)
{
  int last = --s->holds == 0;
  unlock(s);
  if (!last) return;
  queue_clear(&s->requests);
  queue_clear(&s->proofs);
  slots_returned(s);
  while (slot_t *d = s->pool) {
    s->pool = d->next;
    free(d);
  }
  free(s->rx);
  net_closechannel(s->chan);
  __netlane_internal__mutex_destroy(s->guard);
  free(s->buckets);
  free(s);
}

void __netlane_internal__share_stop_listening(port_share_t *share)
{
  lock(share);
  share->listening = 0;
  queue_clear(&share->requests);
  queue_clear(&share->proofs);
  let_go(share);
}

// The newest peer of an address: the first of its bucket chain with it.
// `text` is looked at only when the key has no binary form.
static port_peer_t *peer_of(port_share_t *s, const bin_addr_t *key, unsigned int hash, const char *text)
{
  for (port_peer_t *p = s->buckets[hash & (unsigned int)(s->nbuckets - 1)]; p; p = p->chain)
    if (same_key(p, hash, key, text)) return p;
  return NULL;
}

static port_peer_t *find_pair(port_share_t *s, const char *addr, unsigned int conn_id)
{
  bin_addr_t key;
  unsigned int hash = key_of_text(addr, &key);
  for (port_peer_t *p = s->buckets[hash & (unsigned int)(s->nbuckets - 1)]; p; p = p->chain)
    if (p->conn_id == conn_id && same_key(p, hash, &key, addr)) return p;
  return NULL;
}

// With the guard held. A driver that cannot send to a prepared address is
// retargeted per send, under the guard, so that two conns never send to
// each other's peer.
static int send_locked(port_share_t *s, port_peer_t *p, const void *buf, int size)
{
  if (p->prepared_ok) return s->chan->driver->send_to(s->chan, buf, size, p->prepared);
  return net_assigntarget(s->chan, p->addr) != 0 ? -1 : net_send(s->chan, buf, size);
}

// With the guard held: one datagram to an address that has no peer (the
// sender of a cookie request), through a prepared address where the driver
// has them, else by retargeting the channel, which only sends under the
// guard so retargeted.
static void send_to_address(port_share_t *s, const char *addr, const void *buf, int size)
{
  NET_DRIVER *drv = s->chan->driver;
  unsigned char prepared[NET_PREPARED_TARGET_SIZE];
  if (drv->prepare_target && drv->send_to) {
    if (drv->prepare_target(s->chan, addr, prepared) == 0) drv->send_to(s->chan, buf, size, prepared);
    return;
  }
  if (drv->update_target && net_assigntarget(s->chan, addr) == 0) net_send(s->chan, buf, size);
}

static hs_pair pair_of(port_peer_t *p)
{
  if (!p) return HS_PAIR_NONE;
  if (__atomic_load_n(&p->proved, __ATOMIC_ACQUIRE)) return HS_PAIR_PROVED;
  return p->admitted ? HS_PAIR_ADMITTED : HS_PAIR_PLAIN;
}

// With the guard held: a cookie (or, `admit`, an admit) for `hello`'s id
// and nonce to `from`, made now.
static void send_cookie_locked(port_share_t *s, const char *from, const wire_hello_t *hello, int admit)
{
  wire_hello_t h = *hello;
  unsigned char cookie[WIRE_COOKIE_SIZE];
  __netlane_internal__cookie_make(&s->secrets, __netlane_timer_func(), from, &h);
  if (admit) __netlane_internal__wire_put_admit(cookie, &h);
  else __netlane_internal__wire_put_cookie(cookie, &h);
  send_to_address(s, from, cookie, WIRE_COOKIE_SIZE);
  s->cookies_sent++;
}

// With the guard held: what a peer's repeated request is answered with,
// the accept of a proved peer, the admit of an admitted one or the plain
// reply of an unproved one.
static void answer_locked(port_share_t *s, port_peer_t *p)
{
  unsigned char out[WIRE_ACCEPT_SIZE];
  wire_hello_t hello;
  memset(&hello, 0, sizeof hello);
  hello.conn_id = p->conn_id;
  memcpy(hello.nonce, p->nonce, WIRE_NONCE_SIZE);
  hello.features = p->features;
  switch (__netlane_internal__hs_pair_answer(pair_of(p))) {
    case HS_REPLY_ACCEPT:
      __netlane_internal__wire_put_accept(out, &hello);
      send_locked(s, p, out, WIRE_ACCEPT_SIZE);
      break;
    case HS_REPLY_ADMIT:
      send_cookie_locked(s, p->addr, &hello, 1);
      break;
    default:
      __netlane_internal__wire_put_zeros(out);
      send_locked(s, p, out, WIRE_REPLY_SIZE);
      break;
  }
}

// With the guard held: the pair's conn is proved from now on (its step
// takes the features up).
static void prove_locked(port_peer_t *p, const wire_hello_t *hello)
{
  if (p->proved) return;
  p->features = hello->features & p->offered;
  memcpy(p->nonce, hello->nonce, WIRE_NONCE_SIZE);
  __atomic_store_n(&p->proved, 1, __ATOMIC_RELEASE);
  if (p->owner) __netlane_internal__waitset_notify(p->owner);
}

// With the guard held: a request of any kind reaching the port, answered
// here where no conn is needed, else queued for the listener (a cookie
// request the listener has no room for gets the plain cookie instead).
static void take_request(port_share_t *s, wire_kind kind, const unsigned char *buf, int len, const char *from,
                         unsigned int now)
{
  port_peer_t *known = find_pair(s, from, __netlane_internal__wire_request_id(buf));
  wire_hello_t hello;
  __netlane_internal__wire_read_hello(buf, kind, &hello);
  if (kind == WIRE_PROOF && !__netlane_internal__cookie_check(&s->secrets, now, from, &hello)) {
    s->proofs_refused++;
    return;
  }
  int used = known != NULL;
  if (!used) {
    bin_addr_t key;
    unsigned int hash = key_of_text(from, &key);
    used = peer_of(s, &key, hash, from) != NULL;
  }
  switch (__netlane_internal__hs_port_rule(kind, (int)hello.version, pair_of(known), used, s->listening)) {
    case HS_REPLY_ZEROS:
    case HS_REPLY_ACCEPT:
    case HS_REPLY_ADMIT:
      answer_locked(s, known);
      break;
    case HS_REPLY_PROVE:
      prove_locked(known, &hello);
      answer_locked(s, known);
      break;
    case HS_REPLY_COOKIE:
      send_cookie_locked(s, from, &hello, 0);
      break;
    case HS_REPLY_LISTENER:
      // Proofs that held wait apart and are taken first: forged requests
      // cannot crowd them out.
      if (kind == WIRE_PROOF) {
        if (queue_push(&s->proofs, buf, len, from, PROOF_QUEUE, PROOF_QUEUE * WIRE_PROOF_SIZE) == 0)
          __netlane_internal__waitset_notify(s->owner);
      } else if (queue_push(&s->requests, buf, len, from, REQUEST_QUEUE, REQUEST_QUEUE * WIRE_COOKIE_REQUEST_SIZE) ==
                 0) {
        __netlane_internal__waitset_notify(s->owner);
      } else if (kind == WIRE_COOKIE_REQUEST) {
        send_cookie_locked(s, from, &hello, 0);
      }
      break;
    default:
      break;
  }
}

// With the guard held: the owner is told at the end of this pump.
static void tell(port_share_t *s, port_peer_t *p)
{
  if (p->told_in == s->pumps) return;
  p->told_in = s->pumps;
  if (s->ntold == TOLD_MOST) {
    __netlane_internal__waitset_notify_many(s->told, s->ntold);
    s->ntold = 0;
  }
  s->told[s->ntold++] = p->owner;
}

// With the guard held: one datagram that reached the port from `key`,
// with the sender's text in `from`, or "" when it came in binary: a
// request's sender is then written as text, which the handshake keeps.
static void file_datagram(port_share_t *s, const unsigned char *buf, int len, const bin_addr_t *key,
                          unsigned int hash, char *from, unsigned int now)
{
  wire_kind kind = __netlane_internal__wire_listener_kind(buf, len);
  if (kind != WIRE_JUNK) {
    if (!from[0]) __netlane_internal__bin_addr_write(from, key);
    take_request(s, kind, buf, len, from, now);
    return;
  }
  port_peer_t *p = peer_of(s, key, hash, from);
  if (!p) return;  // a stranger's
  p->heard = 1;
  p->last_heard = now;
  if (peer_push(s, &p->in, buf, len) == 0 && p->owner) tell(s, p);
}

// With the guard held: up to `max` datagrams from an Internet channel,
// many to a call. 1 when the port was found empty.
static int pump_binary(port_share_t *s, int max, int *taken, unsigned int now)
{
  unsigned char *bufs[RX_BATCH];
  int lens[RX_BATCH];
  bin_addr_t froms[RX_BATCH];
  char from[NET_MAX_ADDRESS_LENGTH];
  // A batch as large as the last one took, doubled: each slot offered
  // costs its setting up, and a port that is read as datagrams come holds
  // one or two; a full batch makes the next as large as there is room for.
  int batch = 2 * s->rx_last < 4 ? 4 : 2 * s->rx_last > RX_BATCH ? RX_BATCH : 2 * s->rx_last;
  int placed = 0;  // the slots given their buffers so far
  while (*taken < max) {
    int want = max - *taken < batch ? max - *taken : batch;
    for (; placed < want; placed++) bufs[placed] = s->rx + (size_t)placed * MAX_DATAGRAM;
    int got = __netlane_internal__inet_recv_many(s->chan, bufs, MAX_DATAGRAM, lens, froms, want);
    if (got <= 0) return got == 0 || net_query(s->chan) == 0;
    s->rx_last = got;
    if (got == want) batch = RX_BATCH;
    *taken += got;
    for (int i = 0; i < got; i++) {
      if (lens[i] < 0) continue;  // cut short: no peer's
      from[0] = 0;
      file_datagram(s, bufs[i], lens[i], &froms[i], __netlane_internal__bin_addr_hash(&froms[i]), from, now);
    }
    if (got < want) return 1;
  }
  return 0;
}

// With the guard held: the same through the driver record, senders as
// text (drivers other than the Internet one).
static int pump_text(port_share_t *s, int max, int *taken, unsigned int now)
{
  static thread_local unsigned char buf[MAX_DATAGRAM];
  char from[NET_MAX_ADDRESS_LENGTH];
  for (; *taken < max; (*taken)++) {
    from[0] = 0;
    int len = net_receive(s->chan, buf, (int)sizeof buf, from);
    if (len <= 0 && from[0] == 0 && (len == 0 || net_query(s->chan) == 0)) return 1;
    from[NET_MAX_ADDRESS_LENGTH - 1] = 0;
    if (len < 0 || from[0] == 0) continue;  // cut short, or from nobody: no peer's
    bin_addr_t key;
    unsigned int hash = key_of_text(from, &key);
    file_datagram(s, buf, len, &key, hash, from, now);
  }
  return 0;
}

// Takes in up to `max` datagrams. Unless `forced` (the poller said the
// port is readable), a port found empty in this thread's wait round is
// not read again in it.
static int pump(port_share_t *share, int max, int forced)
{
  // The round's end and the filing time reckon one reading of the clock.
  netlane_time_held held_time;
  unsigned long round = __netlane_internal__wait_round();
  // Passed over without the guard: a read already found the port empty
  // in this round (a wait's own looks pass it over every time).
  if (!forced && round != 0 && __atomic_load_n(&share->drained_round, __ATOMIC_RELAXED) == round &&
      (__netlane_internal__wait_looking() || __atomic_fetch_add(&share->skips, 1, __ATOMIC_RELAXED) < WAIT_ROUND_SKIPS))
    return 0;
  if (!forced && __netlane_internal__reads_deferred()) return 0;
  int taken = 0;
  unsigned int now = __netlane_internal__now();
  lock(share);
  if (share->binary && !share->rx) share->rx = static_cast<unsigned char *>(malloc((size_t)RX_BATCH * MAX_DATAGRAM));
  share->pumps++;
  share->ntold = 0;
  int drained = share->binary && share->rx ? pump_binary(share, max, &taken, now) : pump_text(share, max, &taken, now);
  if (drained) {
    __atomic_store_n(&share->skips, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&share->drained_round, round, __ATOMIC_RELAXED);
  }
  __netlane_internal__waitset_notify_many(share->told, share->ntold);
  share->ntold = 0;
  unlock(share);
  return taken;
}

int __netlane_internal__share_pump(port_share_t *share, int max)
{
  return pump(share, max, 0);
}

int __netlane_internal__share_pump_readable(port_share_t *share, int max)
{
  return pump(share, max, 1);
}

// Whether a queue of requests holds any, without the guard: a listener
// that polls for them at every turn takes no lock while there are none.
static int queue_any(queue_t *q)
{
  return __atomic_load_n(&q->count, __ATOMIC_ACQUIRE) != 0;
}

void __netlane_internal__share_quiet(port_share_t *share)
{
  unsigned long round = __netlane_internal__wait_round();
  if (round == 0 || __atomic_load_n(&share->drained_round, __ATOMIC_RELAXED) == round) return;
  __atomic_store_n(&share->skips, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&share->drained_round, round, __ATOMIC_RELAXED);
}

int __netlane_internal__share_next_request(port_share_t *share, unsigned char *buf, char *from)
{
  if (!queue_any(&share->proofs) && !queue_any(&share->requests)) return 0;
  lock(share);
  datagram_t *d = queue_pop(&share->proofs);
  if (!d) d = queue_pop(&share->requests);
  unlock(share);
  if (!d) return 0;
  memcpy(buf, d->bytes, (size_t)d->len);
  __netlane_internal__copy_address(from, d->from);
  int kind = __netlane_internal__wire_listener_kind(d->bytes, d->len);
  free(d);
  return kind;
}

int __netlane_internal__share_has_requests(port_share_t *share)
{
  return queue_any(&share->requests) || queue_any(&share->proofs);
}

port_peer_t *__netlane_internal__share_find(port_share_t *share, const char *addr, unsigned int conn_id)
{
  lock(share);
  port_peer_t *p = find_pair(share, addr, conn_id);
  unlock(share);
  return p;
}

/* The part of an address text that names the machine: what comes before
 * the port ("127.0.0.2" of "127.0.0.2:5000"); the whole text when it names
 * no port. */
static size_t host_part_length(const char *addr)
{
  const char *colon = strrchr(addr, ':');
  return colon ? (size_t)(colon - addr) : strlen(addr);
}

int __netlane_internal__same_host(const char *a, const char *b)
{
  size_t len = host_part_length(a);
  return len == host_part_length(b) && strncmp(a, b, len) == 0;
}

/* The address bytes of a written Internet address ("10.0.0.1:5",
 * "[2001:db8::7]:5", "[fe80::1%eth0]:5"), never looked up: 4 or 16, or 0
 * for any other text. */
static int address_bytes(const char *text, unsigned char out[16])
{
  char host[NET_MAX_ADDRESS_LENGTH];
  size_t len = host_part_length(text);
  if (len >= sizeof host) return 0;
  memcpy(host, text, len);
  host[len] = 0;
  if (host[0] == '[' && len > 2 && host[len - 1] == ']') {
    host[len - 1] = 0;
    char *zone = strchr(host, '%');
    if (zone) *zone = 0;
    return inet_pton(AF_INET6, host + 1, out) == 1 ? 16 : 0;
  }
  return inet_pton(AF_INET, host, out) == 1 ? 4 : 0;
}

/* Whether one more conn not yet heard from may be accepted from `addr`:
 * the bounds per sending host, per network and for all hosts together.
 * One host is one IPv4 address, or one IPv6 /64, since a machine may take
 * any number of addresses of its /64; one network is an IPv4 /24 or an
 * IPv6 /48, so that a range of addresses cannot crowd honest callers out.
 * Addresses of other drivers are one host when their texts name one.
 * Proved and unproved conns are counted apart. */
static int silent_bound_allows(port_share_t *s, const char *addr, const struct conn_config *cfg, int proved)
{
  unsigned char mine[16], theirs[16];
  int n = address_bytes(addr, mine);
  size_t host_bytes = n == 4 ? 4 : 8, network_bytes = n == 4 ? 3 : 6;
  int here = 0, near = 0, all = 0;
  for (port_peer_t *p = s->peers; p; p = p->next) {
    // Proved and unproved conns each have places of their own: forged
    // requests cannot take those of clients that showed their address.
    if (!p->silent || p->proved != proved) continue;
    all++;
    if (n == 0 || address_bytes(p->addr, theirs) != n) {
      if (__netlane_internal__same_host(p->addr, addr)) here++, near++;
    } else if (memcmp(mine, theirs, host_bytes) == 0) {
      here++, near++;
    } else if (memcmp(mine, theirs, network_bytes) == 0) {
      near++;
    }
  }
  // A network holds at least as many as one of its hosts may.
  int network_bound = cfg->max_silent_per_network > cfg->max_silent_per_address ? cfg->max_silent_per_network
                                                                                : cfg->max_silent_per_address;
  return here < cfg->max_silent_per_address && near < network_bound && all < cfg->max_silent;
}

static void grow_buckets(port_share_t *s)
{
  int n = s->nbuckets * 2;
  port_peer_t **b = static_cast<port_peer_t **>(calloc((size_t)n, sizeof(port_peer_t *)));
  if (!b) return;  // longer chains, still correct
  // Walking the list oldest first keeps the newest peer of an address in
  // front of its chain.
  port_peer_t *last = s->peers;
  while (last && last->next) last = last->next;
  for (port_peer_t *p = last; p; p = p->prev) {
    port_peer_t **head = &b[p->hash & (unsigned int)(n - 1)];
    p->chain = *head;
    *head = p;
  }
  free(s->buckets);
  s->buckets = b;
  s->nbuckets = n;
}

port_peer_t *__netlane_internal__share_add(port_share_t *share, const char *addr, unsigned int conn_id,
                                           const struct conn_config *cfg, void *owner, const wire_hello_t *hello,
                                           int how, int *took_over)
{
  const wire_hello_t *proof = how == HS_PAIR_PROVED ? hello : NULL;
  *took_over = 0;
  port_peer_t *p = static_cast<port_peer_t *>(calloc(1, sizeof(port_peer_t)));
  if (!p) return NULL;
  __netlane_internal__copy_address(p->addr, addr);
  p->hash = key_of_text(p->addr, &p->key);
  p->conn_id = conn_id;
  p->silent = 1;
  p->owner = owner;
  p->offered = __netlane_internal__conn_offered(cfg, __netlane_internal__inet_channel(share->chan));
  if (proof) {
    p->proved = 1;
    p->features = proof->features & p->offered;
    memcpy(p->nonce, proof->nonce, WIRE_NONCE_SIZE);
  } else if (how == HS_PAIR_ADMITTED) {
    // Its cookie request came from the address: heard now, so that no
    // plain request takes the address while its proof is on the way.
    p->admitted = 1;
    memcpy(p->nonce, hello->nonce, WIRE_NONCE_SIZE);
    p->heard = 1;
    p->last_heard = __netlane_internal__now();
  }
  NET_DRIVER *drv = share->chan->driver;
  if (drv->prepare_target && drv->send_to)
    p->prepared_ok = drv->prepare_target(share->chan, p->addr, p->prepared) == 0;
  if (!p->prepared_ok && (!drv->update_target || net_assigntarget(share->chan, p->addr) != 0)) {
    free(p);
    return NULL;
  }

  unsigned int now = __netlane_internal__now();
  lock(share);
  port_peer_t *older = peer_of(share, &p->key, p->hash, p->addr);
  // An unproved request never takes an address from a proved conn, nor
  // from one that heard from it a moment ago: anyone can forge it.
  // An admitted one takes none over at all.
  int refused = older && !proof &&
                (p->admitted || older->proved ||
                 (older->heard && (int32_t)(now - older->last_heard) < TAKEOVER_QUIET_MS));
  if (refused || !silent_bound_allows(share, p->addr, cfg, proof != NULL)) {
    unlock(share);
    free(p);
    return NULL;
  }
  // A bucket per peer: a datagram's look-up then mostly visits one peer
  // record, a cache miss at a host of thousands, for 8 bytes a peer.
  if (share->npeers >= share->nbuckets) grow_buckets(share);
  if (older) {
    __atomic_store_n(&older->superseded, 1, __ATOMIC_RELAXED);
    // A proof shows that its client receives at the address now: whatever
    // spoke from there before (a client started again on the same port)
    // is gone, and its conn with it.
    if (proof) __atomic_store_n(&older->replaced, 1, __ATOMIC_RELAXED);
    *took_over = 1;
  }
  port_peer_t **head = &share->buckets[p->hash & (unsigned int)(share->nbuckets - 1)];
  p->chain = *head;
  *head = p;
  p->next = share->peers;
  if (share->peers) share->peers->prev = p;
  share->peers = p;
  share->npeers++;
  share->holds++;
  unlock(share);
  return p;
}

void __netlane_internal__share_remove(port_share_t *share, port_peer_t *peer)
{
  lock(share);
  // The address goes back to the newest peer left there: a request in a
  // peer's name that the program turned away must not cut its conn off.
  if (!peer->superseded) {
    for (port_peer_t *p = peer->chain; p; p = p->chain) {
      if (same_key(p, peer->hash, &peer->key, peer->addr)) {
        if (!__atomic_load_n(&p->replaced, __ATOMIC_RELAXED)) __atomic_store_n(&p->superseded, 0, __ATOMIC_RELAXED);
        break;
      }
    }
  }
  for (port_peer_t **link = &share->buckets[peer->hash & (unsigned int)(share->nbuckets - 1)]; *link;
       link = &(*link)->chain) {
    if (*link == peer) {
      *link = peer->chain;
      break;
    }
  }
  if (peer->prev) peer->prev->next = peer->next;
  else share->peers = peer->next;
  if (peer->next) peer->next->prev = peer->prev;
  share->npeers--;
  peer_clear(share, &peer->in);
  free(peer);
  let_go(share);
}

void __netlane_internal__share_heard(port_share_t *share, port_peer_t *peer)
{
  lock(share);
  peer->silent = 0;
  unlock(share);
}

int __netlane_internal__share_borrow(port_share_t *, port_peer_t *peer, port_loan_t *loan, int max)
{
  loan->head = loan->next = NULL;
  if (max <= 0 || peer_empty(&peer->in)) return 0;
  int n = 0, bytes = 0;
  slot_t **link = &loan->head;
  for (slot_t *d; n < max && (d = peer_pop(&peer->in)); n++) {
    bytes += d->len;
    *link = d;
    link = &d->next;
  }
  *link = NULL;
  loan->next = loan->head;
  if (n > 0) peer_uncount(&peer->in, n, bytes);
  return n;
}

const unsigned char *__netlane_internal__share_lent(port_loan_t *loan, int *len)
{
  slot_t *d = loan->next;
  if (!d) return NULL;
  loan->next = d->next;
  *len = d->len;
  return d->data;
}

void __netlane_internal__share_give_back(port_share_t *share, port_peer_t *peer, port_loan_t *loan)
{
  if (!loan->head) return;
  // What was not handed on goes back in front, in its order, before
  // anything filed meanwhile.
  if (slot_t *first = loan->next) {
    slot_t *last = first;
    int n = 1, bytes = first->len;
    for (; last->next; last = last->next, n++) bytes += last->next->len;
    last->next = peer->in.held;
    peer->in.held = first;
    __atomic_add_fetch(&peer->in.bytes, bytes, __ATOMIC_RELAXED);
    __atomic_add_fetch(&peer->in.count, n, __ATOMIC_RELEASE);
  }
  for (slot_t *d = loan->head; d != loan->next;) {
    slot_t *after = d->next;
    slot_give_back(share, d);
    d = after;
  }
  loan->head = loan->next = NULL;
}

int __netlane_internal__share_has_input(port_share_t *, port_peer_t *peer)
{
  return !peer_empty(&peer->in);
}

int __netlane_internal__share_send(port_share_t *share, port_peer_t *peer, const void *buf, int size)
{
  if (__atomic_load_n(&peer->superseded, __ATOMIC_RELAXED)) return 0;
  // A prepared address never changes: no guard is needed to send to it.
  if (peer->prepared_ok) return share->chan->driver->send_to(share->chan, buf, size, peer->prepared);
  lock(share);
  int answer = send_locked(share, peer, buf, size);
  unlock(share);
  return answer;
}

void __netlane_internal__share_answer(port_share_t *share, port_peer_t *peer)
{
  lock(share);
  answer_locked(share, peer);
  unlock(share);
}

void __netlane_internal__share_send_cookie(port_share_t *share, const char *addr, const wire_hello_t *hello)
{
  lock(share);
  send_cookie_locked(share, addr, hello, 0);
  unlock(share);
}

int __netlane_internal__share_pair(port_share_t *share, port_peer_t *peer)
{
  lock(share);
  int pair = pair_of(peer);
  unlock(share);
  return pair;
}

void __netlane_internal__share_prove(port_share_t *share, port_peer_t *peer, const wire_hello_t *proof)
{
  lock(share);
  prove_locked(peer, proof);
  unlock(share);
}

int __netlane_internal__share_peer_replaced(port_peer_t *peer)
{
  return __atomic_load_n(&peer->replaced, __ATOMIC_RELAXED);
}

int __netlane_internal__share_peer_proved(port_peer_t *peer, unsigned *features)
{
  if (!__atomic_load_n(&peer->proved, __ATOMIC_ACQUIRE)) return 0;
  *features = peer->features;
  return 1;
}

void __netlane_internal__share_counts(port_share_t *share, long *cookies_sent, long *proofs_refused)
{
  lock(share);
  *cookies_sent = share->cookies_sent;
  *proofs_refused = share->proofs_refused;
  unlock(share);
}

int __netlane_internal__share_peer_count(port_share_t *share)
{
  lock(share);
  int n = share->npeers;
  unlock(share);
  return n;
}

int __netlane_internal__share_queued(port_share_t *share, port_peer_t *peer, int *pooled)
{
  lock(share);
  int n = __atomic_load_n(&peer->in.count, __ATOMIC_ACQUIRE);
  slots_returned(share);
  if (pooled) *pooled = share->pooled;
  unlock(share);
  return n;
}

int __netlane_internal__io_send(const conn_io_t *io, const void *buf, int size)
{
  if (io->share) {
    port_peer_t *peer = io->peer;
    if (__atomic_load_n(&peer->superseded, __ATOMIC_RELAXED)) return 0;
    if (peer->prepared_ok && io->share->binary)
      return __netlane_internal__inet_send(io->share->chan, buf, size, peer->prepared);
    return __netlane_internal__share_send(io->share, peer, buf, size);
  }
  if (__netlane_internal__inet_channel(io->chan)) return __netlane_internal__inet_send(io->chan, buf, size, NULL);
  return net_send(io->chan, buf, size);
}

void __netlane_internal__io_hold(void)
{
  __netlane_internal__inet_hold();
}

void __netlane_internal__io_flush(void)
{
  __netlane_internal__inet_flush();
}

int __netlane_internal__io_read_own(NET_CHANNEL *chan, void *buf, int size, int *foreign)
{
  *foreign = 0;
  if (__netlane_internal__inet_channel(chan)) {
    bin_addr_t from;
    int len = __netlane_internal__inet_recv_bin(chan, buf, size, &from, __netlane_internal__wait_round());
    if (len >= 0) *foreign = !__netlane_internal__inet_from_target(chan, &from);
    return len;
  }
  char from[NET_MAX_ADDRESS_LENGTH];
  from[0] = 0;
  int len = net_receive(chan, buf, size, from);
  // An empty datagram names its sender, and a driver that answers -1 for
  // an empty queue (the local one) says so again through its query.
  if (len <= 0 && from[0] == 0 && (len == 0 || net_query(chan) == 0)) return -2;
  from[NET_MAX_ADDRESS_LENGTH - 1] = 0;
  if (len >= 0) *foreign = strcmp(from, chan->target_addr) != 0;
  return len;
}
