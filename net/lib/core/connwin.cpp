// The windows of a wrapper conn and its resend timer: which message goes out
// when, what an acknowledgement releases, and where a received message is
// kept until the program reads it. The conn engine drives them; they send
// only through the emit callback they are given.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "conn_wire.h"
#include "connwin.h"

/* Longest round-trip sample taken, in ms: keeps the fixed-point sums in an
 * int. */
#define LONGEST_SAMPLE 600000

/* Acknowledged messages, sent after one that is not, that make it go out
 * again before its wait is over: enough that reordering alone rarely does. */
#define EARLY_RESEND_ACKS 3

static void put_le32(unsigned char *p, uint32_t v)
{
  p[0] = (unsigned char)(v & 0xFF);
  p[1] = (unsigned char)((v >> 8) & 0xFF);
  p[2] = (unsigned char)((v >> 16) & 0xFF);
  p[3] = (unsigned char)((v >> 24) & 0xFF);
}

index_t __netlane_internal__index_next(index_t i)
{
  return i == 0xFFFFFFFFu ? 1 : i + 1;
}

int32_t __netlane_internal__index_distance(index_t a, index_t b)
{
  int32_t d = (int32_t)(b - a);
  if (d > 0 && b < a) d--;  // forward past 0, which no message has
  if (d < 0 && b > a) d++;  // back past it
  return d;
}

// The slot of the index `ahead` steps past a window's base.
static int slot_at(int base_slot, int32_t ahead, int queue_size)
{
  return (int)(((int64_t)base_slot + ahead) % queue_size);
}

// Room for `size` bytes in a slot's buffer, kept from the messages before:
// 0, or -1 when memory ran out (the buffer is as it was). `kept` counts
// the window's slots whose buffer is above CONN_SLOT_QUIET bytes.
static int slot_room(unsigned char **data, int *cap, int size, int *kept)
{
  if (*cap >= size) return 0;
  // Rounded up so that messages growing by a few bytes do not each grow it.
  int want = size <= CONN_SLOT_KEEP ? (size + 63) & ~63 : size;
  unsigned char *grown = static_cast<unsigned char *>(realloc(*data, (size_t)want));
  if (!grown) return -1;
  if (*cap <= CONN_SLOT_QUIET && want > CONN_SLOT_QUIET) (*kept)++;
  *data = grown;
  *cap = want;
  return 0;
}

static void slot_free(unsigned char **data, int *cap, int *kept)
{
  if (*cap > CONN_SLOT_QUIET) (*kept)--;
  free(*data);
  *data = NULL;
  *cap = 0;
}

// A slot's message has gone: a buffer above the kept size goes with it.
static void slot_done(unsigned char **data, int *cap, int *kept)
{
  if (*cap > CONN_SLOT_KEEP) slot_free(data, cap, kept);
}

void __netlane_internal__windows_start(out_t *out, in_t *in, index_t out_first, index_t in_first)
{
  out->base_index = out->next_index = out->sent_end = out_first ? out_first : 1;
  in->base_index = in_first ? in_first : 1;
}

int __netlane_internal__windows_create(out_t *out, in_t *in, const struct conn_config *cfg)
{
  memset(out, 0, sizeof *out);
  memset(in, 0, sizeof *in);
  if (cfg->outqueue_size < 1 || cfg->inqueue_size < 1) return 1;
  out->packets = static_cast<out_packet_t *>(calloc((size_t)cfg->outqueue_size, sizeof(out_packet_t)));
  in->packets = static_cast<in_packet_t *>(calloc((size_t)cfg->inqueue_size, sizeof(in_packet_t)));
  if (!out->packets || !in->packets) {
    free(out->packets);
    free(in->packets);
    out->packets = NULL;
    in->packets = NULL;
    return 1;
  }
  out->queue_size = out->first_size = cfg->outqueue_size;
  out->base_index = 1;
  out->next_index = 1;
  out->sent_end = 1;
  // No bound (as the record a caller fills by hand leaves it) lets every
  // message of the window out at once.
  out->max_in_flight = cfg->max_in_flight > 0 ? cfg->max_in_flight : INT_MAX;
  out->timer.adaptive = cfg->resend_auto;
  out->timer.floor = cfg->resend_floor;
  out->timer.cap = cfg->resend_rate;
  out->timer.srtt8 = -1;
  in->queue_size = in->first_size = cfg->inqueue_size;
  in->base_index = 1;
  return 0;
}

// An empty window grown for a burst goes back to the slots it started
// with (where memory allows: else it stays as it is).
template <typename slot_t>
static void shrink_slots(slot_t **packets, int *queue_size, int *base_slot, int size)
{
  if (*queue_size <= size) return;
  slot_t *fewer = static_cast<slot_t *>(calloc((size_t)size, sizeof(slot_t)));
  if (!fewer) return;
  free(*packets);
  *packets = fewer;
  *queue_size = size;
  *base_slot = 0;
}

// The buffers of an empty window: every one where it is to shrink, else
// those above the quiet size. Most quiet conns have none such, and the
// count spares them a walk over their slots.
template <typename slot_t>
static void trim_slots(slot_t *packets, int queue_size, int first_size, int *kept)
{
  bool all = queue_size > first_size;
  if (!all && *kept == 0) return;
  for (int i = 0; i < queue_size; i++)
    if (packets[i].data && (all || packets[i].cap > CONN_SLOT_QUIET))
      slot_free(&packets[i].data, &packets[i].cap, kept);
}

void __netlane_internal__windows_trim(out_t *out, in_t *in)
{
  if (out->base_index != out->next_index || in->held > 0) return;
  trim_slots(out->packets, out->queue_size, out->first_size, &out->kept);
  trim_slots(in->packets, in->queue_size, in->first_size, &in->kept);
  shrink_slots(&out->packets, &out->queue_size, &out->base_slot, out->first_size);
  shrink_slots(&in->packets, &in->queue_size, &in->base_slot, in->first_size);
}

void __netlane_internal__windows_destroy(out_t *out, in_t *in)
{
  if (out->packets) {
    for (int i = 0; i < out->queue_size; i++) free(out->packets[i].data);
    free(out->packets);
    out->packets = NULL;
  }
  if (in->packets) {
    for (int i = 0; i < in->queue_size; i++) free(in->packets[i].data);
    free(in->packets);
    in->packets = NULL;
  }
}

// The well-known retransmission-timer rules in fixed point: the variation
// follows the distance of each sample from the old estimate by a quarter,
// the estimate follows the sample by an eighth; the first sample sets the
// estimate and half of it as the variation.
void __netlane_internal__rtt_sample(resend_timer_t *timer, unsigned int ms)
{
  int m = ms > LONGEST_SAMPLE ? LONGEST_SAMPLE : (int)ms;
  timer->backoff = 0;
  if (timer->srtt8 < 0) {
    timer->srtt8 = m * 8;
    timer->rttvar4 = m * 2;
    return;
  }
  // Rounded rather than cut, or small values would never decay to 0.
  int err8 = m * 8 - timer->srtt8;
  timer->rttvar4 += ((err8 < 0 ? -err8 : err8) + 4) / 8 - (timer->rttvar4 + 2) / 4;
  timer->srtt8 += (err8 + (err8 < 0 ? -4 : 4)) / 8;
}

int __netlane_internal__resend_wait(const resend_timer_t *timer, int tries)
{
  int cap = timer->cap;
  if (!timer->adaptive || timer->srtt8 < 0) return cap;
  // Estimate plus four variations, at least one tick above the estimate.
  int wait = (timer->srtt8 + 7) / 8 + (timer->rttvar4 > 1 ? timer->rttvar4 : 1);
  if (wait < timer->floor) wait = timer->floor;
  int doublings = tries - 1 > timer->backoff ? tries - 1 : timer->backoff;
  for (int n = 0; n < doublings && wait < cap; n++) wait = wait > cap / 2 ? cap : wait * 2;
  return wait < cap ? wait : cap;
}

int __netlane_internal__out_full(const out_t *out)
{
  int slots = out->grow_to > out->queue_size ? out->grow_to : out->queue_size;
  return __netlane_internal__index_distance(out->base_index, out->next_index) >= slots - 1;
}

void __netlane_internal__out_may_grow(out_t *out, int slots)
{
  out->grow_to = slots;
}

void __netlane_internal__in_may_grow(in_t *in, int slots)
{
  in->grow_to = slots;
}

// Windows grow only as far as a conn's traffic needs, so that thousands
// of quiet conns keep the small arrays they started with. The slots are
// laid out again from the base, each index at its new place.
template <typename slot_t>
static int relay_slots(slot_t **packets, int *queue_size, int *base_slot, int size)
{
  slot_t *grown = static_cast<slot_t *>(calloc((size_t)size, sizeof(slot_t)));
  if (!grown) return -1;
  for (int n = 0; n < *queue_size; n++) grown[n] = (*packets)[slot_at(*base_slot, n, *queue_size)];
  free(*packets);
  *packets = grown;
  *queue_size = size;
  *base_slot = 0;
  return 0;
}

static int out_grow(out_t *out)
{
  return relay_slots(&out->packets, &out->queue_size, &out->base_slot, out->queue_size * 2);
}

static int in_grow(in_t *in, int32_t ahead)
{
  int size = in->queue_size;
  while (size <= ahead && size < in->grow_to) size *= 2;
  if (size <= ahead) return -1;
  return relay_slots(&in->packets, &in->queue_size, &in->base_slot, size);
}

int __netlane_internal__out_queue(out_t *out, const void *buf, int size)
{
  if (__netlane_internal__out_full(out) || size <= 0) return -1;
  if (__netlane_internal__index_distance(out->base_index, out->next_index) >= out->queue_size - 1 && out_grow(out) != 0)
    return -1;
  out_packet_t *p = &out->packets[slot_at(out->base_slot, __netlane_internal__index_distance(out->base_index, out->next_index), out->queue_size)];
  if (p->held || slot_room(&p->data, &p->cap, size + CONN_HEADER_SIZE, &out->kept) != 0) return -1;
  p->index = out->next_index;
  out->next_index = __netlane_internal__index_next(out->next_index);
  p->held = 1;
  p->ack = 0;
  p->resend_now = 0;
  p->last_send_time = 0;
  p->tries = 0;
  p->size = size;
  put_le32(p->data, p->index);
  memcpy(p->data + CONN_HEADER_SIZE, buf, (size_t)size);
  out->unsent_bytes += size + CONN_HEADER_SIZE;
  return 0;
}

// Keeps the soonest time a sent message's resend falls due.
static void note_due(out_t *out, const out_packet_t *p)
{
  unsigned int due = p->last_send_time + (unsigned int)__netlane_internal__resend_wait(&out->timer, p->tries) + 1;
  if (!out->scan_valid || (int32_t)(due - out->scan_at) < 0) out->scan_at = due;
  out->scan_valid = 1;
}

static void transmit(out_t *out, out_packet_t *p, conn_emit_fn emit, void *ctx, unsigned int now)
{
  // The outcome is not consulted: a send that fails is a lost datagram.
  emit(ctx, p->data, p->size + CONN_HEADER_SIZE);
  p->last_send_time = now;
  p->sequence = ++out->transmissions;
  p->later_acks = 0;
  p->resend_now = 0;
  if (p->tries == 0) {
    p->first_send_time = now;
    out->in_flight += p->size + CONN_HEADER_SIZE;
    out->flying++;
    out->unsent_bytes -= p->size + CONN_HEADER_SIZE;
    out->sent++;
    out->sent_end = __netlane_internal__index_next(p->index);
  } else {
    out->resent++;
  }
  if (p->tries < INT_MAX) p->tries++;
  note_due(out, p);
}

// Whether a resend may be due: else only new messages are looked at.
static int resends_may_be_due(const out_t *out, unsigned int now)
{
  return out->scan_now || (out->scan_valid && (int32_t)(now - out->scan_at) >= 0);
}

void __netlane_internal__out_send_due(out_t *out, conn_emit_fn emit, void *ctx, unsigned int now)
{
  int n = 0;
  index_t i = out->base_index;
  if (resends_may_be_due(out, now)) {
    // Walked whole: the soonest due is found again from what is in flight.
    out->scan_now = out->scan_valid = 0;
  } else {
    n = __netlane_internal__index_distance(out->base_index, out->sent_end);
    i = out->sent_end;
  }
  for (; i != out->next_index; i = __netlane_internal__index_next(i), n++) {
    out_packet_t *p = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
    if (!p->held || p->ack) continue;
    if (p->tries == 0) {
      // Messages go out in order, so once one must wait for room in
      // flight, or for company, so must every later one.
      if (out->hold_new) return;
      if (out->in_flight > 0 && p->size + CONN_HEADER_SIZE > out->max_in_flight - out->in_flight) return;
      transmit(out, p, emit, ctx, now);
    } else if (p->resend_now) {
      transmit(out, p, emit, ctx, now);
    } else if ((int32_t)(now - p->last_send_time) > __netlane_internal__resend_wait(&out->timer, p->tries)) {
      // Only a message that went out under the present backoff and still
      // timed out doubles it again: a window of messages timing out
      // together is one slow answer, not many.
      int under_present = (int32_t)(p->sequence - out->timer.backoff_mark) > 0;
      transmit(out, p, emit, ctx, now);
      if (under_present && out->timer.backoff < 30) {
        out->timer.backoff++;
        out->timer.backoff_mark = out->transmissions;
      }
    } else {
      note_due(out, p);
    }
  }
}

int __netlane_internal__out_oldest_wait(const out_t *out, unsigned int now)
{
  int n = 0;
  for (index_t i = out->base_index; i != out->next_index; i = __netlane_internal__index_next(i), n++) {
    const out_packet_t *p = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
    if (!p->held || p->ack) continue;
    if (p->tries == 0) return -1;  // sent in order: nothing later went out
    int32_t waited = (int32_t)(now - p->first_send_time);
    return waited < 0 ? 0 : (int)waited;
  }
  return -1;
}

int __netlane_internal__out_next_due(const out_t *out, unsigned int now)
{
  if (!out->scan_now) {
    if (!out->scan_valid) return -1;
    int32_t left = (int32_t)(out->scan_at - now);
    return left < 0 ? 0 : (int)left;
  }
  int soonest = -1;
  int n = 0;
  for (index_t i = out->base_index; i != out->sent_end && i != out->next_index; i = __netlane_internal__index_next(i), n++) {
    const out_packet_t *p = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
    if (!p->held || p->ack || p->tries == 0) continue;
    if (p->resend_now) return 0;
    // out_send_due resends once the wait has strictly passed.
    int32_t left = (int32_t)__netlane_internal__resend_wait(&out->timer, p->tries) + 1 - (int32_t)(now - p->last_send_time);
    if (left < 0) left = 0;
    if (soonest < 0 || left < soonest) soonest = (int)left;
  }
  return soonest;
}

namespace {

// What the acknowledgements of one datagram did, gathered while each
// message it names is marked.
struct ack_round {
  int newly;                 // messages newly acknowledged
  int32_t highest;           // the furthest of them from the base; -1 none
  uint32_t top[EARLY_RESEND_ACKS];  // the latest transmissions among them
  int ntop;
  int rtt_from;              // ahead of the base: the message sent once to time; -1 none
  uint32_t rtt_sequence;
};

// Whether transmission `a` came after transmission `b` (the counts wrap).
bool later(uint32_t a, uint32_t b)
{
  return (int32_t)(a - b) > 0;
}

void mark(out_t *out, int32_t ahead, ack_round *r)
{
  out_packet_t *p = &out->packets[slot_at(out->base_slot, ahead, out->queue_size)];
  if (!p->held || p->ack || p->tries == 0) return;
  p->ack = 1;
  p->resend_now = 0;
  out->in_flight -= p->size + CONN_HEADER_SIZE;
  out->flying--;
  r->newly++;
  if (ahead > r->highest) r->highest = ahead;
  // Only a message sent once says which transmission was answered; of
  // several, the latest sent says the most about the path now.
  if (p->tries == 1 && (r->rtt_from < 0 || later(p->sequence, r->rtt_sequence))) {
    r->rtt_from = ahead;
    r->rtt_sequence = p->sequence;
  }
  // Keeps the EARLY_RESEND_ACKS latest transmissions: how many of the
  // round's acknowledgements came after a message's, up to that count, is
  // how many of these did.
  uint32_t s = p->sequence;
  if (r->ntop < EARLY_RESEND_ACKS) {
    r->top[r->ntop++] = s;
  } else {
    int low = 0;
    for (int k = 1; k < r->ntop; k++)
      if (later(r->top[low], r->top[k])) low = k;
    if (later(s, r->top[low])) r->top[low] = s;
  }
}

void finish_round(out_t *out, ack_round *r, unsigned int now)
{
  if (r->newly == 0) return;
  if (r->rtt_from >= 0) {
    const out_packet_t *p = &out->packets[slot_at(out->base_slot, r->rtt_from, out->queue_size)];
    int before = __netlane_internal__resend_wait(&out->timer, 1);
    __netlane_internal__rtt_sample(&out->timer, now - p->last_send_time);
    // Shorter waits (or the end of a backoff) may bring a resend forward.
    if (__netlane_internal__resend_wait(&out->timer, 1) < before) out->scan_now = 1;
  }
  if (out->timer.adaptive) {
    // What is missing below the furthest acknowledged message is known
    // exactly; a wrapping difference orders the transmissions.
    for (int32_t n = 0; n < r->highest; n++) {
      out_packet_t *q = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
      if (!q->held || q->ack || q->tries == 0 || q->later_acks >= EARLY_RESEND_ACKS) continue;
      for (int k = 0; k < r->ntop; k++)
        if (later(r->top[k], q->sequence)) q->later_acks++;
      if (q->later_acks >= EARLY_RESEND_ACKS) q->resend_now = out->scan_now = 1;
    }
  }
  for (int n = 0; n < out->queue_size; n++) {
    out_packet_t *p = &out->packets[out->base_slot];
    if (!p->held || !p->ack) break;
    p->held = 0;
    p->ack = 0;
    slot_done(&p->data, &p->cap, &out->kept);
    out->base_index = __netlane_internal__index_next(out->base_index);
    out->base_slot = slot_at(out->base_slot, 1, out->queue_size);
  }
  if (out->base_index == out->sent_end) out->scan_valid = out->scan_now = 0;
}

void start_round(ack_round *r)
{
  r->newly = 0;
  r->highest = -1;
  r->ntop = 0;
  r->rtt_from = -1;
  r->rtt_sequence = 0;
}

}  // namespace

void __netlane_internal__out_take_ack(out_t *out, index_t a, unsigned int now)
{
  int32_t ahead = __netlane_internal__index_distance(out->base_index, a);
  if (ahead < 0 || ahead >= __netlane_internal__index_distance(out->base_index, out->next_index)) return;
  if (out->packets[slot_at(out->base_slot, ahead, out->queue_size)].index != a) return;
  ack_round r;
  start_round(&r);
  mark(out, ahead, &r);
  finish_round(out, &r, now);
}

int __netlane_internal__out_take_gathered(out_t *out, index_t next, const unsigned char *bitmap, int bitmap_bytes,
                                          unsigned int now)
{
  int32_t sent = __netlane_internal__index_distance(out->base_index, out->sent_end);
  int32_t upto = __netlane_internal__index_distance(out->base_index, next);
  // An older acknowledgement, overtaken on the way, names less than the
  // base already says: its bitmap may still tell something.
  if (upto > sent || upto < -(int32_t)WIRE_BITMAP_MAX * 8 - out->queue_size) return -1;
  if (bitmap_bytes < 0) bitmap_bytes = 0;
  if (bitmap_bytes > WIRE_BITMAP_MAX) bitmap_bytes = WIRE_BITMAP_MAX;
  int last = -1;  // the furthest bit set
  for (int b = bitmap_bytes - 1; b >= 0 && last < 0; b--)
    for (int j = 7; j >= 0; j--)
      if (bitmap[b] & (1u << j)) {
        last = 8 * b + j;
        break;
      }
  if (last >= 0 && upto + last + 1 >= sent) return -1;
  ack_round r;
  start_round(&r);
  for (int32_t n = 0; n < upto; n++) mark(out, n, &r);
  for (int k = 0; k <= last; k++) {
    int32_t ahead = upto + k + 1;
    if (ahead >= 0 && (bitmap[k / 8] & (1u << (k % 8)))) mark(out, ahead, &r);
  }
  finish_round(out, &r, now);
  return 0;
}

int __netlane_internal__in_store(in_t *in, index_t i, const unsigned char *msg, int size)
{
  int32_t ahead = __netlane_internal__index_distance(in->base_index, i);
  if (ahead >= in->queue_size && (ahead >= in->grow_to || in_grow(in, ahead) != 0))
    return ahead >= in->grow_to ? IN_BEYOND : IN_NOMEM;
  if (ahead < 0) return IN_KNOWN;
  in_packet_t *slot = &in->packets[slot_at(in->base_slot, ahead, in->queue_size)];
  if (slot->size > 0) return IN_KNOWN;
  if (size <= 0 || slot_room(&slot->data, &slot->cap, size, &in->kept) != 0) return IN_NOMEM;
  memcpy(slot->data, msg, (size_t)size);
  slot->size = size;
  in->held++;
  return IN_STORED;
}

in_packet_t *__netlane_internal__in_next(in_t *in)
{
  return &in->packets[in->base_slot];
}

void __netlane_internal__in_release(in_t *in)
{
  in_packet_t *slot = __netlane_internal__in_next(in);
  slot->size = 0;
  slot_done(&slot->data, &slot->cap, &in->kept);
  in->held--;
  in->base_index = __netlane_internal__index_next(in->base_index);
  in->base_slot = slot_at(in->base_slot, 1, in->queue_size);
}

int __netlane_internal__in_gathered(const in_t *in, index_t *next, unsigned char *bitmap)
{
  int32_t first = 0;
  while (first < in->queue_size && in->packets[slot_at(in->base_slot, first, in->queue_size)].size > 0) first++;
  index_t at = in->base_index;
  for (int32_t n = 0; n < first; n++) at = __netlane_internal__index_next(at);
  *next = at;
  // Only as far as the messages held reach, and the bitmap's bits.
  int left = in->held - first;
  int bytes = 0;
  memset(bitmap, 0, WIRE_BITMAP_MAX);
  for (int k = 0; left > 0 && k < WIRE_BITMAP_MAX * 8; k++) {
    int32_t ahead = first + 1 + k;
    if (ahead >= in->queue_size) break;
    if (in->packets[slot_at(in->base_slot, ahead, in->queue_size)].size > 0) {
      bitmap[k / 8] |= (unsigned char)(1u << (k % 8));
      bytes = k / 8 + 1;
      left--;
    }
  }
  return bytes;
}
