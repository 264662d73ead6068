// The windows of a wrapper conn and its resend timer: which message goes out
// when, what an acknowledgement releases, and where a received message is
// kept until the program reads it.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

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

void __netlane_internal__windows_start(out_t *out, in_t *in, index_t out_first, index_t in_first)
{
  out->base_index = out->next_index = out_first ? out_first : 1;
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
  out->queue_size = cfg->outqueue_size;
  out->base_index = 1;
  out->next_index = 1;
  // No bound (as the record a caller fills by hand leaves it) lets every
  // message of the window out at once.
  out->max_in_flight = cfg->max_in_flight > 0 ? cfg->max_in_flight : INT_MAX;
  out->timer.adaptive = cfg->resend_auto;
  out->timer.floor = cfg->resend_floor;
  out->timer.cap = cfg->resend_rate;
  out->timer.srtt8 = -1;
  in->queue_size = cfg->inqueue_size;
  in->base_index = 1;
  return 0;
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
  return __netlane_internal__index_distance(out->base_index, out->next_index) >= out->queue_size - 1;
}

int __netlane_internal__out_queue(out_t *out, const void *buf, int size)
{
  if (__netlane_internal__out_full(out)) return -1;
  out_packet_t *p = &out->packets[slot_at(out->base_slot, __netlane_internal__index_distance(out->base_index, out->next_index), out->queue_size)];
  if (p->data) return -1;
  unsigned char *packet = static_cast<unsigned char *>(malloc((size_t)size + CONN_HEADER_SIZE));
  if (!packet) return -1;
  p->index = out->next_index;
  out->next_index = __netlane_internal__index_next(out->next_index);
  p->ack = 0;
  p->last_send_time = 0;
  p->tries = 0;
  p->size = size;
  put_le32(packet, p->index);
  memcpy(packet + CONN_HEADER_SIZE, buf, (size_t)size);
  p->data = packet;
  return 0;
}

static void transmit(out_t *out, out_packet_t *p, const conn_io_t *io, unsigned int now)
{
  // The outcome is not consulted: a send that fails is a lost datagram.
  __netlane_internal__io_send(io, p->data, p->size + CONN_HEADER_SIZE);
  p->last_send_time = now;
  p->sequence = ++out->transmissions;
  p->later_acks = 0;
  if (p->tries == 0) {
    p->first_send_time = now;
    out->in_flight += p->size + CONN_HEADER_SIZE;
    out->sent++;
  } else {
    out->resent++;
  }
  if (p->tries < INT_MAX) p->tries++;
}

void __netlane_internal__out_send_due(out_t *out, const conn_io_t *io, unsigned int now)
{
  int n = 0;
  for (index_t i = out->base_index; i != out->next_index; i = __netlane_internal__index_next(i), n++) {
    out_packet_t *p = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
    if (!p->data || p->ack) continue;
    if (p->tries == 0) {
      // Messages go out in order, so once one must wait for room in
      // flight, so must every later one.
      if (out->in_flight > 0 && p->size + CONN_HEADER_SIZE > out->max_in_flight - out->in_flight) return;
      transmit(out, p, io, now);
    } else if ((int32_t)(now - p->last_send_time) > __netlane_internal__resend_wait(&out->timer, p->tries)) {
      // Only a message that went out under the present backoff and still
      // timed out doubles it again: a window of messages timing out
      // together is one slow answer, not many.
      int under_present = (int32_t)(p->sequence - out->timer.backoff_mark) > 0;
      transmit(out, p, io, now);
      if (under_present && out->timer.backoff < 30) {
        out->timer.backoff++;
        out->timer.backoff_mark = out->transmissions;
      }
    }
  }
}

int __netlane_internal__out_oldest_wait(const out_t *out, unsigned int now)
{
  int n = 0;
  for (index_t i = out->base_index; i != out->next_index; i = __netlane_internal__index_next(i), n++) {
    const out_packet_t *p = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
    if (!p->data || p->ack) continue;
    if (p->tries == 0) return -1;  // sent in order: nothing later went out
    int32_t waited = (int32_t)(now - p->first_send_time);
    return waited < 0 ? 0 : (int)waited;
  }
  return -1;
}

int __netlane_internal__out_next_due(const out_t *out, unsigned int now)
{
  int soonest = -1;
  int n = 0;
  for (index_t i = out->base_index; i != out->next_index; i = __netlane_internal__index_next(i), n++) {
    const out_packet_t *p = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
    if (!p->data || p->ack || p->tries == 0) continue;
    // out_send_due resends once the wait has strictly passed.
    int32_t left = (int32_t)__netlane_internal__resend_wait(&out->timer, p->tries) + 1 - (int32_t)(now - p->last_send_time);
    if (left < 0) left = 0;
    if (soonest < 0 || left < soonest) soonest = (int)left;
  }
  return soonest;
}

void __netlane_internal__out_take_ack(out_t *out, const conn_io_t *io, index_t a, unsigned int now)
{
  int32_t ahead = __netlane_internal__index_distance(out->base_index, a);
  if (ahead < 0 || ahead >= __netlane_internal__index_distance(out->base_index, out->next_index)) return;
  out_packet_t *p = &out->packets[slot_at(out->base_slot, ahead, out->queue_size)];
  if (!p->data || p->index != a || p->ack) return;
  p->ack = 1;
  out->in_flight -= p->size + CONN_HEADER_SIZE;
  // Only a message sent once says which transmission was answered.
  if (p->tries == 1) __netlane_internal__rtt_sample(&out->timer, now - p->last_send_time);
  if (out->timer.adaptive) {
    // Every acknowledgement names one message, so what is missing below it
    // is known exactly; a wrapping difference orders the transmissions.
    uint32_t acked = p->sequence;
    for (int32_t n = 0; n < ahead; n++) {
      out_packet_t *q = &out->packets[slot_at(out->base_slot, n, out->queue_size)];
      if (!q->data || q->ack || q->tries == 0 || (int32_t)(acked - q->sequence) <= 0) continue;
      if (++q->later_acks == EARLY_RESEND_ACKS) transmit(out, q, io, now);
    }
  }
  if (a != out->base_index) return;
  for (int n = 0; n < out->queue_size; n++) {
    p = &out->packets[out->base_slot];
    if (!p->data || !p->ack) break;
    free(p->data);
    p->data = NULL;
    p->ack = 0;
    out->base_index = __netlane_internal__index_next(out->base_index);
    out->base_slot = slot_at(out->base_slot, 1, out->queue_size);
  }
}

int __netlane_internal__in_store(in_t *in, index_t i, const unsigned char *msg, int size)
{
  int32_t ahead = __netlane_internal__index_distance(in->base_index, i);
  if (ahead >= in->queue_size) return IN_BEYOND;
  if (ahead < 0) return IN_KNOWN;
  in_packet_t *slot = &in->packets[slot_at(in->base_slot, ahead, in->queue_size)];
  if (slot->data) return IN_KNOWN;
  slot->data = static_cast<unsigned char *>(malloc((size_t)size));
  if (!slot->data) return IN_NOMEM;
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
  free(slot->data);
  slot->data = NULL;
  in->held--;
  in->base_index = __netlane_internal__index_next(in->base_index);
  in->base_slot = slot_at(in->base_slot, 1, in->queue_size);
}
