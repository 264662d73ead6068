/* The conn engine: the reliable protocol of one connected conn, and no I/O.
 * It is given each datagram that arrived from the peer and the time, and
 * gives back, when flushed, every datagram due then (new messages, resends,
 * acknowledgements, keep-alives) through a callback, and the time it wants
 * to be flushed again. It reads no clock and no channel and takes no lock:
 * the wrapper driver's glue in connhelp does all of that around it. */
#ifndef NETLANE_CONN_ENGINE_H
#define NETLANE_CONN_ENGINE_H

#include "connhelp.h"
#include "connwin.h"

/* 8-byte acknowledgements owed between two flushes: more than the glue
 * takes in per step. One beyond is not sent, and its message comes again. */
#define ENGINE_PLAIN_ACKS 128
/* A gathered acknowledgement waits for this many messages, or this many
 * ms, unless it is news (a hole, a repeat) or data goes out with it. */
#define ENGINE_ACK_EVERY 4
#define ENGINE_ACK_DELAY 1
/* Between ends that agreed on wide windows (each sends up to 255 messages
 * and at least 64 KiB unacknowledged: configuring either queue, or fewer
 * bytes, gives wide windows up) a gathered acknowledgement waits for this
 * many messages, or this many bytes of them, instead: a stream's receiver
 * then spends a sixteenth of a datagram per message on them, and its
 * sender soon runs far enough ahead to put many messages into one
 * datagram. As many as a sender has out before it holds new ones
 * (ENGINE_HOLD_AHEAD, below): a burst just past that waits for one
 * acknowledgement, not for the acknowledgement's delay. */
#define ENGINE_WIDE_ACK_EVERY 16
#define ENGINE_WIDE_ACK_BYTES 16384

/* Keep-alive waits when conn_keepalive is left to the library: a second
 * of idleness, as a design-following peer expects; but the end that
 * connected to a netlane host on the quiet host waits ENGINE_QUIET_KEEPALIVE_MS
 * while its keep-alives are answered, and a second again after one that
 * was not (lost on the way, or its answer was). A peer counts as gone
 * after ten seconds of silence, so five keep-alives go out inside that
 * window, four of them may be lost in a row, and the host of many idle
 * conns hears a fifth as much as from a design-following peer. A NAT
 * mapping (tens of seconds at least) is still kept. */
#define ENGINE_KEEPALIVE_MS 1000
#define ENGINE_QUIET_KEEPALIVE_MS 5000
/* With the host's beat (WIRE_FEATURE_HOST_BEAT) the listener's conn keeps
 * those waits itself, but sends on the nearest tick of this many ms of the
 * timer at or after its wait less half a tick: the beats of a host's idle
 * conns then go out in one wake, batched, and their answers come back
 * close together, where a client's own keep-alives would each wake the
 * host apart. A tick holds the beats of 64 ms: few enough that their
 * answers fit a socket's buffer. A power of two, so the rounding holds
 * across the timer's wrap. */
#define ENGINE_BEAT_TICK_MS 64

/* With bundles agreed (and gathered acknowledgements), new messages wait
 * while the peer is behind (this many sent ones unacknowledged), until
 * they fill a bundle of ENGINE_BUNDLE_BYTES or acknowledgements come: a
 * sender that has outrun its peer then spends one datagram on many
 * messages, where one that has not (a round trip, a chat line, a short
 * burst) sends each at once, as before. Messages too large for two to
 * share a bundle never wait. A bundle's bytes stay within what one
 * Ethernet frame carries, with room for the IPv6 and UDP headers, so
 * that no bundle is cut into fragments. */
#define ENGINE_HOLD_AHEAD 16
#define ENGINE_BUNDLE_BYTES 1400

typedef struct conn_engine_t {
  out_t out;
  in_t in;
  unsigned features;   /* WIRE_FEATURE_* agreed with the peer */
  int client;          /* 1: this end connected (it sends the keep-alives of a
                          quiet host, and answers a host's beat) */
  int connected;
  int awaiting_first;  /* took its address over: acknowledges nothing before
                          the first message of a stream */
  int heard;           /* a data message has been stored */
  unsigned int last_heard;  /* when any datagram last came from the peer */
  unsigned int last_sent;   /* when this end last sent anything */
  int keepalive;       /* ms of idleness before a keep-alive; 0 none */
  int keepalive_auto;  /* the wait is the library's: longer on a quiet host */
  int keepalive_unanswered;  /* a keep-alive went out and nothing came since */
  int dead_after;      /* ms the oldest unacknowledged message may wait; 0 for ever */
  int dead;            /* the peer counts as gone: only acknowledgements are sent */
  int datagram_max;    /* the longest datagram the channel carries (acknowledged
                          data is sent only within it) */
  /* Acknowledgements owed: 8-byte ones in arrival order, or, gathered, one
   * for all that arrived since the last. */
  index_t plain_acks[ENGINE_PLAIN_ACKS];
  int plain_owed;
  int gathered_owed;   /* messages arrived since the last gathered one */
  int owed_bytes;      /* their bytes */
  unsigned int owed_since;  /* when the first of them came */
  unsigned int last_data;   /* when the last data packet came */
  int ack_urgent;      /* one of them was a repeat or left a hole below it */
  int answer_owed;     /* a keep-alive came that a quiet host answers */
  /* A data packet just past the receive window, held (with the datagrams
   * behind it left where they are) while the program has a message to read
   * that will move the window on. Its buffer is kept once made. */
  unsigned char *parked;
  int parked_len;      /* 0: none parked */
  int parked_cap;
  long dropped_window, dropped_malformed;
  long acks_sent;       /* acknowledgement datagrams of either form */
  long keepalives_heard;  /* keep-alives from the peer, or its answers to ours */
} conn_engine_t;

/* What became of a datagram given to engine_input. */
#define ENGINE_TAKEN 0   /* taken (or dropped): give it the next one */
#define ENGINE_PARKED 1  /* parked: give it nothing more before engine_ready */
#define ENGINE_HANDSHAKE 2  /* a cookie, admit or accept: the handshake's to judge */

#ifdef __cplusplus
extern "C" {
#endif

/* A fresh engine with windows at `cfg`'s sizes: 0 ok; 1 no memory, nothing
 * left allocated. */
int __netlane_internal__engine_create(conn_engine_t *e, const struct conn_config *cfg);
void __netlane_internal__engine_destroy(conn_engine_t *e);
/* The conn is connected from `now` (the peer counts as just heard);
 * `client` 1 for the end that connected, 0 for the one a listener made. */
void __netlane_internal__engine_connected(conn_engine_t *e, unsigned int now, int client);

/* The features agreed with the peer hold from now on (a peer proved late
 * agrees after it connected). */
void __netlane_internal__engine_agree(conn_engine_t *e, unsigned features);

/* Takes one datagram from the peer: ENGINE_*. */
int __netlane_internal__engine_input(conn_engine_t *e, const unsigned char *datagram, int len, unsigned int now);
/* 1 when the engine takes datagrams: a parked packet is offered again
 * first, and while it still cannot be taken the answer is 0. */
int __netlane_internal__engine_ready(conn_engine_t *e);
/* Gives `emit` every datagram due at `now`, in this order: the owed 8-byte
 * acknowledgements, new messages and resends in index order, the gathered
 * acknowledgement when it is due, a keep-alive. With riding acknowledgements
 * agreed, an owed gathered one goes in the first data packet that goes out
 * instead (acknowledged data). Nothing is sent to a dead peer but
 * acknowledgements. */
void __netlane_internal__engine_flush(conn_engine_t *e, unsigned int now, conn_emit_fn emit, void *ctx);
/* Ms from `now` until a flush has something to send (or the peer would
 * count as gone); -1 none. */
int __netlane_internal__engine_next_due(const conn_engine_t *e, unsigned int now);

/* Queues a message: 0 queued, sent at the next flush unless the bytes in
 * flight are at their bound; -1 the window is full or no memory. */
int __netlane_internal__engine_queue(conn_engine_t *e, const void *buf, int size);
/* 1 when no further message can be queued. */
int __netlane_internal__engine_full(const conn_engine_t *e);
/* The next message in order: its length with `*data` at it, 0 none. */
int __netlane_internal__engine_peek(conn_engine_t *e, const unsigned char **data);
/* Hands the next message out: the window moves on by one. */
void __netlane_internal__engine_release(conn_engine_t *e);
/* Messages received and not handed out; messages queued and not released. */
int __netlane_internal__engine_held(const conn_engine_t *e);
int __netlane_internal__engine_queued(const conn_engine_t *e);

#ifdef __cplusplus
}
#endif

#endif
