// The conn engine: what one connected conn does with each datagram from its
// peer and what it sends when flushed. No I/O: datagrams come in as bytes,
// go out through the caller's emit callback, and the time is an argument.
//
// Acknowledgements take one of two forms. With a peer that follows the
// original protocol, every data packet stored or known gets its own 8-byte
// acknowledgement. When both ends agreed on gathered acknowledgements at
// connect, a flush sends one datagram naming all that has arrived (the
// first index missing and a bitmap past it), and only when something
// arrived since the last one. When both agreed on a quiet host, only the
// end that connected sends keep-alives; the listener's conn answers each
// with a gathered acknowledgement flagged as an answer, so each end still
// hears the other while idle (and, unless the program set the wait, the
// client sends them less often while they are answered). When both agreed
// on the host's beat the roles turn round: the listener's conn sends them,
// on a tick shared by all of the host's conns, and the client answers.
// When both agreed on riding acknowledgements, a gathered one owed when
// data goes out is written in front of the first data packet: an answer
// and the acknowledgement of what it answers cost one datagram, one
// wake-up. When both agreed on bundles, the data packets of one flush
// share datagrams, and a sender well ahead of its peer holds new small
// messages back until they fill one or the peer catches up.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "conn_engine.h"
#include "conn_wire.h"

namespace {

// The emit callback of a flush, counting what went out.
struct counted_emit {
  conn_emit_fn emit;
  void *ctx;
  int count;
};

void emit_counted(void *ctx, const void *datagram, int len)
{
  counted_emit *c = static_cast<counted_emit *>(ctx);
  c->count++;
  c->emit(c->ctx, datagram, len);
}

// The gathered acknowledgement a flush owes, written once it is needed
// (most flushes of a receiver send none).
struct owed_ack {
  const in_t *in;
  unsigned flags;
  int bytes;  // of the bitmap; -1 until it is written
  index_t next;
  unsigned char bitmap[WIRE_BITMAP_MAX];
};

void write_owed(owed_ack *a)
{
  if (a->bytes < 0) a->bytes = __netlane_internal__in_gathered(a->in, &a->next, a->bitmap);
}

// The emit of a flush's data when the owed acknowledgement may ride on the
// first data packet: that one goes out as acknowledged data, when it fits
// the channel's datagrams.
struct riding_emit {
  conn_emit_fn emit;  // where every datagram goes on to
  void *ctx;
  owed_ack *ack;
  int pending;  // the acknowledgement has not gone yet
  int max;
};

void emit_riding(void *ctx, const void *datagram, int len)
{
  riding_emit *r = static_cast<riding_emit *>(ctx);
  if (r->pending) write_owed(r->ack);
  if (!r->pending || WIRE_RIDING_SIZE + r->ack->bytes + len > r->max) {
    r->emit(r->ctx, datagram, len);
    return;
  }
  static thread_local unsigned char both[WIRE_DATAGRAM_MAX];
  const owed_ack *a = r->ack;
  int n = __netlane_internal__wire_put_riding(both, a->next, a->flags, a->bitmap, a->bytes,
                                              static_cast<const unsigned char *>(datagram), len);
  r->pending = 0;
  r->emit(r->ctx, both, n);
}

// The emit of a flush's data when bundles are agreed: consecutive data
// packets are gathered into bundles of at most `max` bytes. The first of
// a bundle is kept by its address (a slot of the window, or acknowledged
// data written once per flush) and copied only when a second joins it, so
// a lone packet goes out as itself, uncopied.
struct bundle_emit {
  counted_emit *out;
  int max;
  int entries;
  const unsigned char *first;
  int first_len;
  int len;  // of the bundle in `buf`, once it has two entries
  unsigned char *buf;
};

void bundle_close(bundle_emit *b)
{
  if (b->entries == 1) emit_counted(b->out, b->first, b->first_len);
  else if (b->entries > 1) emit_counted(b->out, b->buf, b->len);
  b->entries = 0;
}

void emit_bundled(void *ctx, const void *datagram, int len)
{
  bundle_emit *b = static_cast<bundle_emit *>(ctx);
  const unsigned char *d = static_cast<const unsigned char *>(datagram);
  int used = b->entries == 1 ? WIRE_BUNDLE_SIZE + WIRE_BUNDLE_LENGTH + b->first_len : b->len;
  if (b->entries > 0 && (used + WIRE_BUNDLE_LENGTH + len > b->max || b->entries == WIRE_BUNDLE_ENTRIES))
    bundle_close(b);
  if (b->entries == 0) {
    b->first = d;
    b->first_len = len;
    b->entries = 1;
    return;
  }
  if (b->entries == 1) {
    b->len = __netlane_internal__wire_bundle_start(b->buf);
    b->len = __netlane_internal__wire_bundle_add(b->buf, b->len, b->first, b->first_len);
  }
  b->len = __netlane_internal__wire_bundle_add(b->buf, b->len, d, len);
  b->entries++;
}

// Whether this end sends keep-alives: both ends do, but for the listener's
// conn of a quiet host and the client of a host's beat, which only answer.
bool sends_keepalives(const conn_engine_t *e)
{
  if (e->features & WIRE_FEATURE_HOST_BEAT) return !e->client;
  return e->client || !(e->features & WIRE_FEATURE_QUIET_HOST);
}

// Ms of idleness before this end's next keep-alive (when it sends them).
int keepalive_wait(const conn_engine_t *e)
{
  unsigned one_sided = WIRE_FEATURE_QUIET_HOST | WIRE_FEATURE_HOST_BEAT;
  if (e->keepalive_auto && (e->features & one_sided) && !e->keepalive_unanswered) return ENGINE_QUIET_KEEPALIVE_MS;
  return e->keepalive;
}

// When this end's next keep-alive is due: its wait after the last send,
// moved onto the beat's tick for the listener's conn of a host's beat.
unsigned int keepalive_at(const conn_engine_t *e)
{
  unsigned int at = e->last_sent + (unsigned int)keepalive_wait(e);
  if (!(e->features & WIRE_FEATURE_HOST_BEAT) || e->client) return at;
  // Left to the library, the first beat goes as soon as the conn is idle:
  // a program takes a peer's silence as telling only once the peer has
  // answered one (the chat's gone rule), and a host that keeps sending a
  // client other users' lines may stay short of five idle seconds until
  // that client is long gone.
  if (e->keepalive_auto && e->keepalives_heard == 0 && !e->keepalive_unanswered) return e->last_sent;
  at -= ENGINE_BEAT_TICK_MS / 2;
  return (at + ENGINE_BEAT_TICK_MS - 1) & ~(unsigned int)(ENGINE_BEAT_TICK_MS - 1);
}

void owe_ack(conn_engine_t *e, index_t i, int verdict, int bytes)
{
  if (!(e->features & WIRE_FEATURE_GATHERED_ACKS)) {
    if (e->plain_owed < ENGINE_PLAIN_ACKS) e->plain_acks[e->plain_owed++] = i;
    return;
  }
  if (e->gathered_owed++ == 0) e->owed_since = e->last_heard;
  e->owed_bytes += bytes;
  // A message that comes alone (none in the ms before it) is acknowledged
  // at once: only a stream has others to gather, and a program waiting
  // for messages would otherwise wake again just to send it. A repeat says
  // the peer missed an acknowledgement, and a hole below a message says
  // one of the peer's went missing: both are news the peer's resends wait
  // for.
  int alone = (int32_t)(e->last_heard - e->last_data) > ENGINE_ACK_DELAY;
  e->last_data = e->last_heard;
  int32_t ahead = __netlane_internal__index_distance(e->in.base_index, i);
  if (verdict == IN_KNOWN || alone) {
    e->ack_urgent = 1;
  } else if (ahead > 0) {
    const in_t *in = &e->in;
    if (in->packets[(in->base_slot + ahead - 1) % in->queue_size].size == 0) e->ack_urgent = 1;
  }
}

bool enough_owed(const conn_engine_t *e)
{
  if (!(e->features & WIRE_FEATURE_WIDE_WINDOWS)) return e->gathered_owed >= ENGINE_ACK_EVERY;
  return e->gathered_owed >= ENGINE_WIDE_ACK_EVERY || e->owed_bytes >= ENGINE_WIDE_ACK_BYTES;
}

// Whether a flush sends the gathered acknowledgement owed: at once when
// it is news or answers a keep-alive, along with data going out anyway,
// else after every ENGINE_ACK_EVERY messages (between wide windows,
// ENGINE_WIDE_ACK_EVERY or their bytes) or ENGINE_ACK_DELAY ms, so that a
// stream costs its receiver a fraction of a datagram per message.

bool gathered_due(const conn_engine_t *e, unsigned int now, int sending)
{
  if (e->answer_owed) return true;
  if (!e->gathered_owed) return false;
  return sending || e->ack_urgent || enough_owed(e) || (int32_t)(now - e->owed_since) >= ENGINE_ACK_DELAY;
}

// Whether a packet past the window is worth holding: only while the
// program has the next message to read (reading it moves the window), and
// not while this end's own window is full, since the acknowledgements it
// waits for would be held up behind the packet.
bool may_park(conn_engine_t *e)
{
  return __netlane_internal__in_next(&e->in)->size > 0 && !__netlane_internal__out_full(&e->out);
}

int park(conn_engine_t *e, const unsigned char *packet, int len)
{
  if (e->parked_cap < len) {
    unsigned char *room = static_cast<unsigned char *>(realloc(e->parked, (size_t)len));
    if (!room) return 0;
    e->parked = room;
    e->parked_cap = len;
  }
  memcpy(e->parked, packet, (size_t)len);
  e->parked_len = len;
  return 1;
}

// Offers a data packet to the receive window and owes its acknowledgement
// when it is stored or known.
int take_data(conn_engine_t *e, const unsigned char *packet, int len)
{
  index_t i = __netlane_internal__wire_data_index(packet);
  // A conn that took its address over hears first whatever the conn it
  // took it from was still being sent: none of that is its to acknowledge.
  if (e->awaiting_first) {
    if (i != e->in.base_index) {
      e->dropped_window++;
      return ENGINE_TAKEN;
    }
    e->awaiting_first = 0;
  }
  int verdict = __netlane_internal__in_store(&e->in, i, packet + WIRE_HEADER_SIZE, len - WIRE_HEADER_SIZE);
  if (verdict == IN_STORED || verdict == IN_KNOWN) {
    if (verdict == IN_STORED) e->heard = 1;
    owe_ack(e, i, verdict, len - WIRE_HEADER_SIZE);
    return ENGINE_TAKEN;
  }
  if (verdict == IN_BEYOND) {
    if (may_park(e)) return ENGINE_PARKED;
    e->dropped_window++;
  }
  return ENGINE_TAKEN;
}

// Holds what take_data found worth parking (a packet, or the rest of a
// bundle from it on), or drops it when there is no memory for it.
int hold(conn_engine_t *e, const unsigned char *bytes, int len)
{
  if (park(e, bytes, len)) return ENGINE_PARKED;
  e->dropped_window++;
  return ENGINE_TAKEN;
}

void take_gathered(conn_engine_t *e, index_t next, unsigned flags, const unsigned char *bitmap, int bytes,
                   unsigned int now)
{
  if (__netlane_internal__out_take_gathered(&e->out, next, bitmap, bytes, now) != 0) {
    e->dropped_malformed++;
    return;
  }
  // The answer stands for the keep-alive its end does not send.
  if ((flags & WIRE_GATHERED_ANSWER) && sends_keepalives(e)) e->keepalives_heard++;
}

// Takes a data packet, or acknowledged data (alone or a bundle's entry):
// ENGINE_PARKED when its data packet, at `*packet`, is to be held.
int take_entry(conn_engine_t *e, const unsigned char *entry, int len, unsigned int now,
               const unsigned char **packet, int *packet_len)
{
  *packet = entry;
  *packet_len = len;
  if (__netlane_internal__wire_data_index(entry) == 0) {
    uint32_t next;
    unsigned flags;
    const unsigned char *bitmap;
    int bytes;
    __netlane_internal__wire_read_riding(entry, len, &next, &flags, &bitmap, &bytes, packet, packet_len);
    take_gathered(e, next, flags, bitmap, bytes, now);
  }
  return take_data(e, *packet, *packet_len);
}

// Takes a bundle's entries in order. One past the window that is worth
// holding is parked with every entry after it (all further past), as a
// bundle of its own: the engine then takes nothing more until engine_ready
// has offered them again. Of acknowledged data only the data packet is
// held, its acknowledgement having been taken. A parked bundle (`buf` is
// e->parked) shrinks in place to what is still held.
int take_bundle(conn_engine_t *e, const unsigned char *buf, int len, unsigned int now)
{
  const unsigned char *entry, *packet;
  int entry_len, packet_len;
  for (int at = WIRE_BUNDLE_SIZE, before = at; __netlane_internal__wire_bundle_next(buf, len, &at, &entry, &entry_len);
       before = at) {
    if (take_entry(e, entry, entry_len, now, &packet, &packet_len) != ENGINE_PARKED) continue;
    int keep = packet == entry ? 0 : packet_len;
    if (buf != e->parked && hold(e, buf, len) != ENGINE_PARKED) return ENGINE_TAKEN;
    e->parked_len = __netlane_internal__wire_bundle_rest(e->parked, len, before, keep);
    return ENGINE_PARKED;
  }
  if (buf == e->parked) e->parked_len = 0;
  return ENGINE_TAKEN;
}

// Whether this flush's data goes out in bundles, and whether new messages
// wait: while the peer is behind, until those waiting fill a bundle.
bool bundles_agreed(const conn_engine_t *e)
{
  unsigned both = WIRE_FEATURE_BUNDLES | WIRE_FEATURE_GATHERED_ACKS;
  return (e->features & both) == both;
}

int bundle_max(const conn_engine_t *e)
{
  return e->datagram_max < ENGINE_BUNDLE_BYTES ? e->datagram_max : ENGINE_BUNDLE_BYTES;
}

bool hold_new(const conn_engine_t *e)
{
  const out_t *out = &e->out;
  if (!bundles_agreed(e) || out->flying < ENGINE_HOLD_AHEAD) return false;
  int waiting = (int)__netlane_internal__index_distance(out->sent_end, out->next_index);
  if (waiting == 0 || waiting >= WIRE_BUNDLE_ENTRIES) return false;
  // Room for one more of their average size: messages too large to share
  // a bundle are not held for company that cannot join them.
  int entries = out->unsent_bytes + WIRE_BUNDLE_LENGTH * waiting;
  return WIRE_BUNDLE_SIZE + entries + entries / waiting <= bundle_max(e);
}

}  // namespace

int __netlane_internal__engine_create(conn_engine_t *e, const struct conn_config *cfg)
{
  memset(e, 0, sizeof *e);
  if (__netlane_internal__windows_create(&e->out, &e->in, cfg) != 0) return 1;
  e->keepalive_auto = cfg->keepalive < 0;
  e->keepalive = e->keepalive_auto ? ENGINE_KEEPALIVE_MS : cfg->keepalive;
  e->dead_after = cfg->dead_after;
  e->datagram_max = WIRE_DATAGRAM_MAX;
  return 0;
}

void __netlane_internal__engine_destroy(conn_engine_t *e)
{
  __netlane_internal__windows_destroy(&e->out, &e->in);
  free(e->parked);
  e->parked = NULL;
  e->parked_len = e->parked_cap = 0;
}

void __netlane_internal__engine_connected(conn_engine_t *e, unsigned int now, int client)
{
  e->connected = 1;
  e->client = client;
  e->last_heard = now;
  e->last_sent = now;
}

void __netlane_internal__engine_agree(conn_engine_t *e, unsigned features)
{
  e->features = features;
  if (!(features & WIRE_FEATURE_WIDE_WINDOWS)) return;
  __netlane_internal__out_may_grow(&e->out, CONN_WIDE_SLOTS);
  __netlane_internal__in_may_grow(&e->in, CONN_WIDE_SLOTS);
}

int __netlane_internal__engine_input(conn_engine_t *e, const unsigned char *datagram, int len, unsigned int now)
{
  if (len < 0) {
    e->dropped_malformed++;
    return ENGINE_TAKEN;
  }
  e->last_heard = now;
  e->keepalive_unanswered = 0;
  switch (__netlane_internal__wire_conn_kind(datagram, len)) {
    case WIRE_ZEROS:
      e->keepalives_heard++;
      if (!sends_keepalives(e)) {
        e->answer_owed = 1;
        // The peer fell quiet: so may this end's buffers, as at its own
        // keep-alive.
        __netlane_internal__windows_trim(&e->out, &e->in);
      }
      break;
    case WIRE_ACK:
      __netlane_internal__out_take_ack(&e->out, __netlane_internal__wire_ack_index(datagram), now);
      break;
    case WIRE_GATHERED: {
      uint32_t next;
      unsigned flags;
      const unsigned char *bitmap;
      int bytes;
      __netlane_internal__wire_read_gathered(datagram, len, &next, &flags, &bitmap, &bytes);
      take_gathered(e, next, flags, bitmap, bytes, now);
      break;
    }
    case WIRE_RIDING:
    case WIRE_DATA: {
      const unsigned char *packet;
      int packet_len;
      if (take_entry(e, datagram, len, now, &packet, &packet_len) != ENGINE_PARKED) return ENGINE_TAKEN;
      return hold(e, packet, packet_len);
    }
    case WIRE_BUNDLE:
      return take_bundle(e, datagram, len, now);
    case WIRE_COOKIE:
    case WIRE_ADMIT:
    case WIRE_ACCEPT:
      return ENGINE_HANDSHAKE;  // an answer reaching the conn after it was made
    default:
      e->dropped_malformed++;
      break;
  }
  return ENGINE_TAKEN;
}

int __netlane_internal__engine_ready(conn_engine_t *e)
{
  if (e->parked_len == 0) return 1;
  // A bundle's rest begins with a zero word, a data packet with its index.
  if (__netlane_internal__wire_data_index(e->parked) == 0)
    return take_bundle(e, e->parked, e->parked_len, e->last_heard) != ENGINE_PARKED;
  if (take_data(e, e->parked, e->parked_len) == ENGINE_PARKED) return 0;
  e->parked_len = 0;
  return 1;
}

// The keep-alive of a flush that sent nothing else, when its time has come.
static void keepalive_if_due(conn_engine_t *e, unsigned int now, conn_emit_fn emit, void *ctx)
{
  if (e->keepalive <= 0 || !sends_keepalives(e) || e->out.base_index != e->out.next_index) return;
  if ((int32_t)(now - keepalive_at(e)) < 0) return;
  unsigned char dgram[WIRE_REPLY_SIZE];
  __netlane_internal__wire_put_zeros(dgram);
  emit(ctx, dgram, WIRE_REPLY_SIZE);
  e->last_sent = now;
  e->keepalive_unanswered = 1;
  // A conn quiet for a keep-alive's wait lets go of the large buffers its
  // windows' slots kept from its traffic: thousands of conns that once
  // carried large messages would otherwise hold up to a window of them each.
  __netlane_internal__windows_trim(&e->out, &e->in);
}

void __netlane_internal__engine_flush(conn_engine_t *e, unsigned int now, conn_emit_fn emit, void *ctx)
{
  // Nothing owed and nothing queued, as in most flushes of a conn that
  // waits: only a keep-alive can be due.
  if (!e->plain_owed && !e->gathered_owed && !e->answer_owed && e->out.base_index == e->out.next_index) {
    if (e->connected && !e->dead) keepalive_if_due(e, now, emit, ctx);
    return;
  }
  counted_emit out = {emit, ctx, 0};
  unsigned char dgram[WIRE_GATHERED_SIZE + WIRE_BITMAP_MAX];
  for (int n = 0; n < e->plain_owed; n++) {
    __netlane_internal__wire_put_ack(dgram, e->plain_acks[n]);
    emit_counted(&out, dgram, WIRE_ACK_SIZE);
    e->acks_sent++;
  }
  e->plain_owed = 0;
  // A gone peer is sent nothing more: what arrives is still taken in.
  if (!e->dead && e->dead_after > 0 && __netlane_internal__out_oldest_wait(&e->out, now) >= e->dead_after) e->dead = 1;
  int acks = out.count;
  owed_ack ack;  // its bitmap is left unset: most flushes write none
  ack.in = &e->in;
  ack.flags = e->answer_owed ? WIRE_GATHERED_ANSWER : 0u;
  ack.bytes = -1;
  int may_ride = (e->features & WIRE_FEATURE_RIDING_ACKS) && (e->gathered_owed || e->answer_owed);
  static thread_local unsigned char bundle[WIRE_DATAGRAM_MAX];
  bundle_emit bundled = {&out, bundle_max(e), 0, NULL, 0, 0, bundle};
  bool bundling = bundles_agreed(e);
  conn_emit_fn data_emit = bundling ? emit_bundled : emit_counted;
  void *data_ctx = bundling ? static_cast<void *>(&bundled) : static_cast<void *>(&out);
  riding_emit riding = {data_emit, data_ctx, &ack, may_ride, e->datagram_max};
  if (!e->dead) {
    e->out.hold_new = hold_new(e);
    if (may_ride) __netlane_internal__out_send_due(&e->out, emit_riding, &riding, now);
    else __netlane_internal__out_send_due(&e->out, data_emit, data_ctx, now);
    e->out.hold_new = 0;
    bundle_close(&bundled);
  }
  int rode = may_ride && !riding.pending;
  if (rode || gathered_due(e, now, out.count > acks)) {
    if (!rode) {
      write_owed(&ack);
      emit_counted(&out, dgram, __netlane_internal__wire_put_gathered(dgram, ack.next, ack.flags, ack.bitmap, ack.bytes));
    }
    e->acks_sent++;
    e->gathered_owed = e->owed_bytes = e->answer_owed = e->ack_urgent = 0;
  }
  if (!e->connected || e->dead) return;
  if (out.count > 0) {
    e->last_sent = now;
    return;
  }
  keepalive_if_due(e, now, emit, ctx);
}

int __netlane_internal__engine_next_due(const conn_engine_t *e, unsigned int now)
{
  if (e->plain_owed || e->answer_owed || e->ack_urgent) return 0;
  int acks = -1;
  if (e->gathered_owed) {
    int32_t left = ENGINE_ACK_DELAY - (int32_t)(now - e->owed_since);
    acks = left < 0 || enough_owed(e) ? 0 : (int)left;
  }
  if (!e->connected || e->dead) return acks;
  int due = __netlane_internal__out_next_due(&e->out, now);
  if (acks >= 0 && (due < 0 || acks < due)) due = acks;
  // When the peer would count as gone.
  int waited = __netlane_internal__out_oldest_wait(&e->out, now);
  if (e->dead_after > 0 && waited >= 0) {
    int left = waited >= e->dead_after ? 0 : e->dead_after - waited;
    if (due < 0 || left < due) due = left;
  }
  // A keep-alive falls due too, so that a program that only waits is
  // still heard by its peer.
  if (e->keepalive > 0 && sends_keepalives(e) && e->out.base_index == e->out.next_index) {
    int32_t left = (int32_t)(keepalive_at(e) - now);
    if (left < 0) left = 0;
    if (due < 0 || left < due) due = (int)left;
  }
  return due;
}

int __netlane_internal__engine_queue(conn_engine_t *e, const void *buf, int size)
{
  return __netlane_internal__out_queue(&e->out, buf, size);
}

int __netlane_internal__engine_full(const conn_engine_t *e)
{
  return __netlane_internal__out_full(&e->out);
}

int __netlane_internal__engine_peek(conn_engine_t *e, const unsigned char **data)
{
  in_packet_t *slot = __netlane_internal__in_next(&e->in);
  *data = slot->size > 0 ? slot->data : NULL;
  return slot->size;
}

void __netlane_internal__engine_release(conn_engine_t *e)
{
  if (__netlane_internal__in_next(&e->in)->size > 0) __netlane_internal__in_release(&e->in);
}

int __netlane_internal__engine_held(const conn_engine_t *e)
{
  return e->in.held;
}

int __netlane_internal__engine_queued(const conn_engine_t *e)
{
  return (int)__netlane_internal__index_distance(e->out.base_index, e->out.next_index);
}
