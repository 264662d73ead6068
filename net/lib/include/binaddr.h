/* The I/O layer's calls into the Internet driver that the driver record has
 * no slot for: a sender's socket address in binary (family, port, zone and
 * 4 or 16 bytes), which the shared port and a conn's own channel hash and
 * compare per datagram instead of an address text; many datagrams taken in
 * one call; and sends gathered while a conn's protocol step runs and handed
 * to the kernel together at its end. Channels of every other driver take
 * the text path of the driver record. */
#ifndef NETLANE_BINADDR_H
#define NETLANE_BINADDR_H

#include <string.h>

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bin_addr_t {
  unsigned char family;    /* 4 or 6; 0: no Internet address */
  unsigned char unused;
  unsigned short port;     /* network order */
  unsigned int zone;       /* IPv6 scope; 0 none */
  unsigned char bytes[16]; /* IPv4 in the first 4, the rest 0 */
} bin_addr_t;

static inline unsigned int __netlane_internal__bin_addr_hash(const bin_addr_t *a)
{
  unsigned int w[6];
  memcpy(w, a, sizeof w);
  unsigned int h = 2166136261u;
  for (int i = 0; i < 6; i++) h = (h ^ w[i]) * 16777619u;
  /* A multiply carries bits upwards only: the port, in the top half of
   * the first word, would reach few of the low bits that pick a bucket
   * (10,000 ports of one host fell into 640 buckets). The finalizer of
   * MurmurHash3 mixes every bit into every other. */
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  return h ^ (h >> 16);
}

static inline int __netlane_internal__bin_addr_equal(const bin_addr_t *a, const bin_addr_t *b)
{
  return memcmp(a, b, sizeof *a) == 0;
}

/* A written Internet address ("10.0.0.1:5", "[2001:db8::7]:5",
 * "[fe80::1%eth0]:5") in binary, never looked up: 0 read; -1 any other
 * text (`out` then has family 0). */
int __netlane_internal__bin_addr_read(const char *text, bin_addr_t *out);
/* Writes `a` as the driver writes a sender (NET_MAX_ADDRESS_LENGTH room). */
char *__netlane_internal__bin_addr_write(char *text, const bin_addr_t *a);

/* 1 when `chan` is an Internet driver channel, whose calls below serve it. */
int __netlane_internal__inet_channel(NET_CHANNEL *chan);

/* One datagram, as the driver's recv, the sender in binary: its length
 * (-1 cut short, and gone), or -2 when none waits. `round`: the caller's
 * wait round (waitset_internal.h), 0 none: a channel found empty in this
 * round is not read again in it. Each read asks the socket for two: a
 * second is kept for the next read (the channel's query and
 * inet_stashed count it), and one alone says the socket is empty, so the
 * read that would only find that out is not made in the round. */
int __netlane_internal__inet_recv_bin(NET_CHANNEL *chan, void *buf, int size, bin_addr_t *from,
                                      unsigned long round);

/* 1 when a read of `chan` kept a datagram that no read has handed out. */
int __netlane_internal__inet_stashed(NET_CHANNEL *chan);

/* Up to `max` datagrams at once (`bufs[i]` of `size` bytes each): how many
 * came (a `lens[i]` of -1 for one cut short), 0 none; -1 on failure. */
int __netlane_internal__inet_recv_many(NET_CHANNEL *chan, unsigned char *const *bufs, int size, int *lens,
                                       bin_addr_t *froms, int max);

/* 1 when `from` is the channel's target. */
int __netlane_internal__inet_from_target(NET_CHANNEL *chan, const bin_addr_t *from);

/* Sends one datagram to `prepared` (as prepare_target made it; NULL: the
 * channel's target), now or, while held, at the flush: 0 done or
 * gathered, nonzero as net_send. */
int __netlane_internal__inet_send(NET_CHANNEL *chan, const void *buf, int size, const void *prepared);
/* Gathering on this thread: hold begins it (holds nest), flush ends one
 * hold and, at the last, sends what was gathered, many to a call. */
void __netlane_internal__inet_hold(void);
void __netlane_internal__inet_flush(void);

/* A test hook: 1 makes the batch calls take the one-at-a-time path, as on
 * a kernel without them. */
void __netlane_internal__sock_batch_off(int off);

#ifdef __cplusplus
}
#endif

#endif
