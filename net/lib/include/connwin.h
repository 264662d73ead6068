/* The two sliding windows of a wrapper conn and the timer that decides when
 * an unacknowledged message goes out again. The conn engine feeds them what
 * arrives and hands what they send to its emit callback; nothing here reads
 * or writes a channel. */
#ifndef NETLANE_CONNWIN_H
#define NETLANE_CONNWIN_H

#include <stdint.h>

#include "connhelp.h"
#include "netlane.h"

#define CONN_HEADER_SIZE 4  /* the index in front of every message */

typedef uint32_t index_t;

struct port_share_t;
struct port_peer_t;

/* Where a conn's datagrams go: its own channel's target, or, for a conn a
 * listener accepted, its peer through the listener's shared port. */
typedef struct conn_io_t {
  NET_CHANNEL *chan;
  struct port_share_t *share;  /* NULL: send on chan */
  struct port_peer_t *peer;
} conn_io_t;

/* Takes one datagram to send: the engine's way out. */
typedef void (*conn_emit_fn)(void *ctx, const void *datagram, int len);

/* Every slot of both windows owns a buffer, made on first use, grown to the
 * largest message it has held and used again for the messages after, so a
 * stream allocates nothing per message. A buffer above this size goes when
 * its message does: a conn keeps at most its slots times this much, and
 * once it falls quiet its slots times CONN_SLOT_QUIET (windows_trim). */
#define CONN_SLOT_KEEP 4096
/* A quiet conn keeps the buffers of its slots up to this size (a chat
 * line's, a keep-alive's), which cost little and would come back with the
 * next message; larger ones go. */
#define CONN_SLOT_QUIET 256

typedef struct out_packet_t {
  index_t index;
  int held;                     /* 1: the slot holds a message */
  int resend_now;               /* 1: three later acknowledgements: send at the next flush */
  int ack;                      /* 1 once the peer acknowledged it */
  unsigned int last_send_time;  /* timer value at the last transmission */
  unsigned int first_send_time; /* timer value at the first */
  int tries;                    /* transmissions so far; 0: not sent yet */
  uint32_t sequence;            /* the conn's count of transmissions at its last one */
  int later_acks;               /* acknowledged messages sent after its last transmission */
  int size;                     /* message bytes, without the header */
  int cap;                      /* bytes `data` has room for */
  unsigned char *data;          /* header and message as sent */
} out_packet_t;

/* When to send again: every `cap` ms, or, when adaptive, after the smoothed
 * round trip plus four times its variation, doubled for each further
 * transmission of the same message, kept within [floor, cap]. A time-out
 * also doubles the wait of every message until a message sent once is
 * acknowledged: the round trips that made it time out cannot be measured (a
 * resent message gives no sample), so the doubled wait stands in for them
 * until the estimate has caught up, and one slow answer does not make the
 * whole window go out again. */
typedef struct resend_timer_t {
  int adaptive;
  int floor;    /* ms */
  int cap;      /* ms: the configured resend rate */
  int srtt8;    /* smoothed round trip in eighths of a ms; -1 before a sample */
  int rttvar4;  /* its mean deviation in quarters of a ms */
  int backoff;  /* doublings every wait takes until the next sample */
  uint32_t backoff_mark;  /* the transmission count when it last grew */
} resend_timer_t;

typedef struct out_t {
  out_packet_t *packets;
  int queue_size;     /* slots now */
  int first_size;     /* slots it started with, and goes back to when quiet */
  int grow_to;        /* slots it may double up to when full (0: fixed) */
  index_t base_index; /* lowest index not yet released */
  index_t next_index; /* index of the next message queued */
  index_t sent_end;   /* the first index never sent: all before it were */
  int base_slot;      /* the slot of base_index */
  int max_in_flight;  /* bytes of sent, unacknowledged packets before new ones wait */
  int in_flight;
  int flying;         /* messages sent and not acknowledged */
  int unsent_bytes;   /* of the messages queued and never sent, with their headers */
  int hold_new;       /* 1: messages never sent wait (to go out together later) */
  uint32_t transmissions;  /* counts every datagram of data sent, to order them */
  int kept;           /* slots holding a buffer above CONN_SLOT_QUIET bytes */
  /* No resend falls due before scan_at (while scan_valid), unless scan_now
   * says the waits may have shortened or a message is to go at once: only
   * then does a flush walk the messages already sent. */
  unsigned int scan_at;
  int scan_valid;
  int scan_now;
  resend_timer_t timer;
  long sent;          /* messages sent at least once */
  long resent;        /* transmissions beyond the first */
} out_t;

typedef struct in_packet_t {
  int size;             /* message bytes; 0: slot free */
  int cap;              /* bytes `data` has room for */
  unsigned char *data;  /* the message */
} in_packet_t;

typedef struct in_t {
  in_packet_t *packets;
  int queue_size;     /* slots now */
  int first_size;     /* slots it started with, and goes back to when quiet */
  int grow_to;        /* slots it may grow to for a packet beyond (0: fixed) */
  index_t base_index; /* index of the next message handed out */
  int base_slot;      /* its slot */
  int held;           /* occupied slots */
  int kept;           /* slots holding a buffer above CONN_SLOT_QUIET bytes */
} in_t;

/* What became of a data packet offered to the in window. */
#define IN_STORED 0  /* new, stored: acknowledge */
#define IN_KNOWN  1  /* stored or handed out before: acknowledge again */
#define IN_BEYOND 2  /* past the window: no acknowledgement */
#define IN_NOMEM  3  /* no memory to store it: no acknowledgement */

#ifdef __cplusplus
extern "C" {
#endif

/* Indexes run 1, 2, ... 0xFFFFFFFF, 1, ...: 0 marks an acknowledgement and
 * is never a message's. index_next is the index after `i`; index_distance
 * how many steps lead from `a` to `b` (negative when `b` lies before `a`),
 * both across the wrap. */
index_t __netlane_internal__index_next(index_t i);
int32_t __netlane_internal__index_distance(index_t a, index_t b);
/* Starts both windows at other indexes (the first message out is
 * `out_first`, the first expected in is `in_first`), before any message. */
void __netlane_internal__windows_start(out_t *out, in_t *in, index_t out_first, index_t in_first);

/* Sends one datagram the conn's way: as net_send. */
int __netlane_internal__io_send(const conn_io_t *io, const void *buf, int size);

/* Both windows at the sizes in force, every slot free, indexes at 1.
 * 0 ok; 1 no memory (or a size below one slot), nothing left allocated. */
int __netlane_internal__windows_create(out_t *out, in_t *in, const struct conn_config *cfg);
/* When neither window holds a message, lets go of the buffers their slots
 * keep above CONN_SLOT_QUIET bytes, and a window grown for a burst goes
 * back to its first size with none: a conn that carried large messages or
 * a burst and fell quiet holds none of them. */
void __netlane_internal__windows_trim(out_t *out, in_t *in);
/* Frees both windows with every message still in them. */
void __netlane_internal__windows_destroy(out_t *out, in_t *in);

/* Feeds one round-trip measurement (ms) into the estimate and ends the
 * backoff. */
void __netlane_internal__rtt_sample(resend_timer_t *timer, unsigned int ms);
/* The wait before the transmission after `tries` ones, in ms. */
int __netlane_internal__resend_wait(const resend_timer_t *timer, int tries);

/* Queues a message as the next index: 0 queued; -1 the window is full or
 * memory ran out. It goes out at the next call of out_send_due. */
int __netlane_internal__out_queue(out_t *out, const void *buf, int size);
/* Emits, in index order, every message never sent while the bytes in
 * flight allow, every unacknowledged one whose wait has passed and every
 * one three later acknowledgements asked for. */
void __netlane_internal__out_send_due(out_t *out, conn_emit_fn emit, void *ctx, unsigned int now);
/* Takes an acknowledgement of index `a`: marks it, measures the round trip
 * from a message sent once, releases from the base, and, when adaptive,
 * marks a message for sending again at once when three messages sent after
 * it have been acknowledged and it has not. */
void __netlane_internal__out_take_ack(out_t *out, index_t a, unsigned int now);
/* Takes a gathered acknowledgement (every index before `next`, and those
 * its bitmap names) as that many acknowledgements, measuring one round
 * trip: 0 taken; -1 it names a message never sent, and nothing is taken. */
int __netlane_internal__out_take_gathered(out_t *out, index_t next, const unsigned char *bitmap, int bitmap_bytes,
                                          unsigned int now);
/* Ms since the first transmission of the oldest message sent and not yet
 * acknowledged; -1 when there is none. */
int __netlane_internal__out_oldest_wait(const out_t *out, unsigned int now);
/* 1 when no further message can be queued (a window that may still grow
 * is not full). */
int __netlane_internal__out_full(const out_t *out);
/* Lets the out window grow, on demand, up to `slots` (a power of two),
 * once the peer has agreed that its in window grows as far; lets the in
 * window grow as far for the packets of a peer that may send so many. */
void __netlane_internal__out_may_grow(out_t *out, int slots);
void __netlane_internal__in_may_grow(in_t *in, int slots);
/* Ms from `now` until out_send_due has a resend to make; -1 none. New
 * messages held back for room in flight wait for acknowledgements, not time. */
int __netlane_internal__out_next_due(const out_t *out, unsigned int now);

/* Offers the data packet of index `i` with `size` message bytes: IN_*. */
int __netlane_internal__in_store(in_t *in, index_t i, const unsigned char *msg, int size);
/* The slot of the next message in order (its size 0 when none). */
in_packet_t *__netlane_internal__in_next(in_t *in);
/* Frees the next message and moves the window on by one. */
void __netlane_internal__in_release(in_t *in);
/* The gathered acknowledgement of what the window holds: the first index
 * not yet arrived in `*next`, the bitmap of those past it that have in
 * `bitmap` (room for WIRE_BITMAP_MAX bytes); answers the bitmap's length. */
int __netlane_internal__in_gathered(const in_t *in, index_t *next, unsigned char *bitmap);

#ifdef __cplusplus
}
#endif

#endif
