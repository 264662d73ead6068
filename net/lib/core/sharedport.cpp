// A listener's port shared with the conns it accepted: the hash of peer
// addresses that files each datagram with its conn, the small queues
// between the port and the conns' protocol steps, and sends to prepared
// peer addresses.
#include <stdlib.h>
#include <string.h>

#include <arpa/inet.h>

#include "connwin.h"
#include "internal.h"
#include "sharedport.h"
#include "waitset_internal.h"

/* A peer's queue is a hand-over between the port and the conn's next
 * protocol step, not a buffer: past these the datagram is lost like one
 * the network dropped, and the peer's resends make up for it. */
#define PEER_QUEUE_DATAGRAMS 256
#define PEER_QUEUE_BYTES (512 * 1024)
#define REQUEST_QUEUE 64
#define MAX_DATAGRAM 16384
#define FIRST_BUCKETS 64

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
  char addr[NET_MAX_ADDRESS_LENGTH];
  unsigned int conn_id;
  int silent;
  int superseded;            /* a newer peer has the address (atomic) */
  int prepared_ok;
  unsigned char prepared[NET_PREPARED_TARGET_SIZE];
  void *owner;
  queue_t in;
};

struct port_share_t {
  NET_CHANNEL *chan;
  void *guard;
  int holds;      /* the listener while it is open, and each peer */
  int listening;
  void *owner;    /* the listener's */
  request_test_t is_request;
  unsigned char reply[16];
  int reply_len;
  port_peer_t *peers;
  port_peer_t **buckets;
  int nbuckets, npeers;
  queue_t requests;
};

static unsigned int hash_text(const char *s)
{
  unsigned int h = 2166136261u;  // FNV-1a
  for (; *s; s++) h = (h ^ (unsigned char)*s) * 16777619u;
  return h;
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
  q->count = q->bytes = 0;
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
  q->count++;
  q->bytes += len;
  return 0;
}

static datagram_t *queue_pop(queue_t *q)
{
  datagram_t *d = q->head;
  if (!d) return NULL;
  q->head = d->next;
  if (!q->head) q->tail = NULL;
  q->count--;
  q->bytes -= d->len;
  return d;
}

port_share_t *__netlane_internal__share_create(NET_CHANNEL *chan, request_test_t is_request,
                                               const unsigned char *reply, int reply_len, void *owner)
{
  port_share_t *s = static_cast<port_share_t *>(calloc(1, sizeof(port_share_t)));
  if (!s) return NULL;
  s->buckets = static_cast<port_peer_t **>(calloc(FIRST_BUCKETS, sizeof(port_peer_t *)));
  __netlane_internal__mutex_create(&s->guard);
  if (!s->buckets || !s->guard || reply_len > (int)sizeof s->reply) {
    if (s->guard) __netlane_internal__mutex_destroy(s->guard);
    free(s->buckets);
    free(s);
    return NULL;
  }
  s->nbuckets = FIRST_BUCKETS;
  s->chan = chan;
  s->holds = 1;
  s->listening = 1;
  s->owner = owner;
  s->is_request = is_request;
  memcpy(s->reply, reply, (size_t)reply_len);
  s->reply_len = reply_len;
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
  let_go(share);
}

// The newest peer of an address: the first of its bucket chain with it.
static port_peer_t *peer_of(port_share_t *s, const char *addr, unsigned int hash)
{
  for (port_peer_t *p = s->buckets[hash & (unsigned int)(s->nbuckets - 1)]; p; p = p->chain)
    if (p->hash == hash && strcmp(p->addr, addr) == 0) return p;
  return NULL;
}

static port_peer_t *find_pair(port_share_t *s, const char *addr, unsigned int conn_id)
{
  unsigned int hash = hash_text(addr);
  for (port_peer_t *p = s->buckets[hash & (unsigned int)(s->nbuckets - 1)]; p; p = p->chain)
    if (p->hash == hash && p->conn_id == conn_id && strcmp(p->addr, addr) == 0) return p;
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

int __netlane_internal__share_pump(port_share_t *share, int max)
{
  static thread_local unsigned char buf[MAX_DATAGRAM];
  char from[NET_MAX_ADDRESS_LENGTH];
  int taken = 0;
  lock(share);
  for (; taken < max; taken++) {
    from[0] = 0;
    int len = net_receive(share->chan, buf, (int)sizeof buf, from);
    if (len <= 0 && from[0] == 0 && (len == 0 || net_query(share->chan) == 0)) break;
    from[NET_MAX_ADDRESS_LENGTH - 1] = 0;
    if (len < 0 || from[0] == 0) continue;  // cut short, or from nobody: no peer's
    unsigned int conn_id;
    if (share->is_request(buf, len, &conn_id)) {
      port_peer_t *known = find_pair(share, from, conn_id);
      if (known) {
        // Answered here, so that a lost reply is made up for also once the
        // listener has closed.
        send_locked(share, known, share->reply, share->reply_len);
      } else if (share->listening) {
        if (queue_push(&share->requests, buf, len, from, REQUEST_QUEUE, REQUEST_QUEUE * 16) == 0)
          __netlane_internal__waitset_notify(share->owner);
      }
      continue;
    }
    port_peer_t *p = peer_of(share, from, hash_text(from));
    if (!p) continue;  // a stranger's
    if (queue_push(&p->in, buf, len, NULL, PEER_QUEUE_DATAGRAMS, PEER_QUEUE_BYTES) == 0 && p->owner)
      __netlane_internal__waitset_notify(p->owner);
  }
  unlock(share);
  return taken;
}

int __netlane_internal__share_next_request(port_share_t *share, unsigned char *buf, char *from)
{
  lock(share);
  datagram_t *d = queue_pop(&share->requests);
  unlock(share);
  if (!d) return 0;
  memcpy(buf, d->bytes, (size_t)d->len);
  __netlane_internal__copy_address(from, d->from);
  free(d);
  return 1;
}

int __netlane_internal__share_has_requests(port_share_t *share)
{
  lock(share);
  int any = share->requests.head != NULL;
  unlock(share);
  return any;
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
 * Addresses of other drivers are one host when their texts name one. */
static int silent_bound_allows(port_share_t *s, const char *addr, const struct conn_config *cfg)
{
  unsigned char mine[16], theirs[16];
  int n = address_bytes(addr, mine);
  size_t host_bytes = n == 4 ? 4 : 8, network_bytes = n == 4 ? 3 : 6;
  int here = 0, near = 0, all = 0;
  for (port_peer_t *p = s->peers; p; p = p->next) {
    if (!p->silent) continue;
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
                                           const struct conn_config *cfg, void *owner)
{
  port_peer_t *p = static_cast<port_peer_t *>(calloc(1, sizeof(port_peer_t)));
  if (!p) return NULL;
  __netlane_internal__copy_address(p->addr, addr);
  p->hash = hash_text(p->addr);
  p->conn_id = conn_id;
  p->silent = 1;
  p->owner = owner;
  NET_DRIVER *drv = share->chan->driver;
  if (drv->prepare_target && drv->send_to)
    p->prepared_ok = drv->prepare_target(share->chan, p->addr, p->prepared) == 0;
  if (!p->prepared_ok && (!drv->update_target || net_assigntarget(share->chan, p->addr) != 0)) {
    free(p);
    return NULL;
  }

  lock(share);
  if (!silent_bound_allows(share, p->addr, cfg)) {
    unlock(share);
    free(p);
    return NULL;
  }
  if (share->npeers >= share->nbuckets * 2) grow_buckets(share);
  port_peer_t *older = peer_of(share, p->addr, p->hash);
  if (older) __atomic_store_n(&older->superseded, 1, __ATOMIC_RELAXED);
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
      if (p->hash == peer->hash && strcmp(p->addr, peer->addr) == 0) {
        __atomic_store_n(&p->superseded, 0, __ATOMIC_RELAXED);
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
  queue_clear(&peer->in);
  free(peer);
  let_go(share);
}

void __netlane_internal__share_heard(port_share_t *share, port_peer_t *peer)
{
  lock(share);
  peer->silent = 0;
  unlock(share);
}

int __netlane_internal__share_take(port_share_t *share, port_peer_t *peer, void *buf, int size)
{
  lock(share);
  datagram_t *d = queue_pop(&peer->in);
  unlock(share);
  if (!d) return -2;
  int len = d->len;
  if (len > size) len = -1;
  else if (len > 0) memcpy(buf, d->bytes, (size_t)len);
  free(d);
  return len;
}

int __netlane_internal__share_has_input(port_share_t *share, port_peer_t *peer)
{
  lock(share);
  int any = peer->in.head != NULL;
  unlock(share);
  return any;
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

int __netlane_internal__share_peer_count(port_share_t *share)
{
  lock(share);
  int n = share->npeers;
  unlock(share);
  return n;
}

int __netlane_internal__io_send(const conn_io_t *io, const void *buf, int size)
{
  if (io->share) return __netlane_internal__share_send(io->share, io->peer, buf, size);
  return net_send(io->chan, buf, size);
}
