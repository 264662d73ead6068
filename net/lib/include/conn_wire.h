/* The conn wire format: every datagram the wrapper's conns and listeners
 * send, drawn byte by byte, with the tests that tell them apart and the
 * routines that write and read them. Nothing here sends, receives or keeps
 * state.
 *
 * The original protocol's datagrams, all a design-following peer ever sees
 * or sends:
 *
 *  Data packet, 5 to 16384 bytes:
 *    0       1       2       3       4 ...
 *   +-------+-------+-------+-------+---------------------------+
 *   | message index, LSB first, !=0 | message, 1 to 16380 bytes |
 *   +-------+-------+-------+-------+---------------------------+
 *
 *  Acknowledgement, exactly 8 bytes (bytes 4-7 are bytes 0-3 of the data
 *  packet acknowledged, copied unchanged):
 *    0   1   2   3   4       5       6       7
 *   +---+---+---+---+-------+-------+-------+-------+
 *   | 0 | 0 | 0 | 0 | acknowledged index, LSB first |
 *   +---+---+---+---+-------+-------+-------+-------+
 *
 *  Connect request, exactly 12 bytes, client to the listening address; the
 *  id is the client's calendar time in seconds when it called connect (one
 *  more than its previous id when that would repeat one):
 *    0   1   2   3   4   5   6   7   8       9       10      11
 *   +---+---+---+---+---+---+---+---+-------+-------+-------+-------+
 *   | c | o | n | n | e | c | t |\0 | connection id, MSB first      |
 *   +---+---+---+---+---+---+---+---+-------+-------+-------+-------+
 *
 *  Connect reply, exactly 8 bytes, from the listening port to the client,
 *  which retargets its channel at the sender (and takes a reply from any
 *  port of the host it asked, as hosts that answer from a port per client
 *  send it):
 *   +---+---+---+---+---+---+---+---+
 *   | 0 | 0 | 0 | 0 | 0 | 0 | 0 | 0 |
 *   +---+---+---+---+---+---+---+---+
 *
 *  Keep-alive, the same 8 zero bytes, sent by a connected conn that has had
 *  nothing to send for conn_keepalive ms: it reads as an acknowledgement of
 *  index 0, which every conn drops (below its base index, and a late connect
 *  reply to a connected conn), so a peer that knows nothing of keep-alives
 *  ignores it and never answers it.
 *
 * A datagram shorter than 4 bytes is ignored; a zero first word is an
 * acknowledgement when the datagram is exactly 8 bytes long and is ignored
 * otherwise; a nonzero first word is a data packet, ignored when it carries
 * no message. A design-following listener takes only 12-byte requests and
 * a design-following client only the 8-byte reply.
 *
 * Netlane's own datagrams, between two netlane peers only. Each is of a
 * length the original protocol gives no meaning at the place it goes to, so a
 * design-following peer drops it unread: the client's two go to the
 * listening address and are not 12 bytes long; the listener's begin with a
 * zero word and are not 8 bytes long. Numbers in "NL" datagrams are LSB
 * first but for the connection id, written as in the request.
 *
 *  Cookie request, exactly 32 bytes, client to the listening address; the
 *  nonce is 8 random bytes of the client's connect, the features those it
 *  offers (WIRE_FEATURE_*); version 2 says that the client takes an admit
 *  (a listener of version 1 answers any version with its cookie):
 *    0 ... 7          8 ... 11   12  13  14  15  16 ... 23  24 ... 27  28 ... 31
 *   +----------------+----------+---+---+---+---+----------+----------+----------+
 *   | "connect" \0   | conn id  | N | L | 1 | 1 | nonce    | features | 0        |
 *   +----------------+----------+---+---+---+---+----------+----------+----------+
 *                     MSB first       kind ver
 *
 *  Cookie, exactly 32 bytes, listener to the sender of a cookie request,
 *  no longer than the request (a forged request's answer amplifies
 *  nothing); the cookie is SipHash-2-4, under the listener's secret of the
 *  time, of the sender's address, the id, the nonce and the time (cookie.h):
 *    0 ... 3   4   5   6   7   8 ... 11   12 ... 19   20 ... 23   24 ... 31
 *   +--------+---+---+---+---+----------+-----------+-----------+-----------+
 *   | 0      | N | L | 2 | 1 | conn id  | nonce     | time, ms  | cookie    |
 *   +--------+---+---+---+---+----------+-----------+-----------+-----------+
 *
 *  Proof, exactly 40 bytes, client to the listening address: the cookie
 *  request's first 28 bytes with kind 3, then the cookie's time and cookie:
 *    0 ... 7        8 ... 11  12 13 14 15  16 ... 23  24 ... 27  28 ... 31  32 ... 39
 *   +--------------+---------+--+--+--+--+----------+----------+----------+----------+
 *   | "connect" \0 | conn id |N |L |3 |1 | nonce    | features | time, ms | cookie   |
 *   +--------------+---------+--+--+--+--+----------+----------+----------+----------+
 *
 *  Accept, exactly 24 bytes, listener to a client whose proof held: the
 *  features both ends use from now on (those offered that the listener
 *  has):
 *    0 ... 3   4   5   6   7   8 ... 11   12 ... 19   20 ... 23
 *   +--------+---+---+---+---+----------+-----------+-----------+
 *   | 0      | N | L | 4 | 1 | conn id  | nonce     | features  |
 *   +--------+---+---+---+---+----------+-----------+-----------+
 *
 *  Admit, exactly 32 bytes, listener to the sender of a version-2 cookie
 *  request from an address that has no conn at the port: the cookie's
 *  bytes with kind 6. A conn is made for the client, unproved; the client
 *  is connected on it and sends the proof (above) ahead of its first
 *  message, which the accept answers and which makes both conns proved:
 *    0 ... 3   4   5   6   7   8 ... 11   12 ... 19   20 ... 23   24 ... 31
 *   +--------+---+---+---+---+----------+-----------+-----------+-----------+
 *   | 0      | N | L | 6 | 1 | conn id  | nonce     | time, ms  | cookie    |
 *   +--------+---+---+---+---+----------+-----------+-----------+-----------+
 *
 *  Gathered acknowledgement, 12 to 12 + WIRE_BITMAP_MAX bytes, between
 *  conns that agreed on WIRE_FEATURE_GATHERED_ACKS: every index before
 *  "next" has arrived, and bit j (least significant first) of bitmap byte b
 *  says whether the index 8b + j + 1 steps past "next" (counting as the
 *  indexes run, 0 skipped) has. Flag bit 0: it answers a keep-alive (the
 *  client's, to a quiet host; the host's beat, with WIRE_FEATURE_HOST_BEAT).
 *    0 ... 3   4   5   6   7       8 ... 11        12 ...
 *   +--------+---+---+---+-------+---------------+--------------+
 *   | 0      | N | L | 5 | flags | next, LSB 1st | bitmap       |
 *   +--------+---+---+---+-------+---------------+--------------+
 *
 *  Acknowledged data, at most WIRE_DATAGRAM_MAX bytes, between conns that
 *  agreed on WIRE_FEATURE_RIDING_ACKS: a gathered acknowledgement with its
 *  bitmap's length B (at most WIRE_BITMAP_MAX) in byte 12, then one data
 *  packet as drawn above, so that an answer and the acknowledgement of what
 *  it answers travel in one datagram:
 *    0 ... 3   4   5   6   7       8 ... 11        12   13 ... 12+B   13+B ...
 *   +--------+---+---+---+-------+---------------+----+------------+-------------+
 *   | 0      | N | L | 7 | flags | next, LSB 1st | B  | bitmap     | data packet |
 *   +--------+---+---+---+-------+---------------+----+------------+-------------+
 *
 *  Bundle, at most WIRE_DATAGRAM_MAX bytes, between conns that agreed on
 *  WIRE_FEATURE_BUNDLES: C entries (2 to WIRE_BUNDLE_ENTRIES), each a
 *  length L (LSB first) and L bytes of a data packet, the first of which
 *  may be acknowledged data instead, filling the datagram to its end. The
 *  entries are taken in order as if each had come alone:
 *    0 ... 3   4   5   6   7   8   9   10 ... 9+L1    10+L1 ...
 *   +--------+---+---+---+---+---+---+--------------+---------------+
 *   | 0      | N | L | 8 | C | L1    | first entry  | L2, entry ... |
 *   +--------+---+---+---+---+---+---+--------------+---------------+
 */
#ifndef NETLANE_CONN_WIRE_H
#define NETLANE_CONN_WIRE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WIRE_HEADER_SIZE 4          /* the index in front of every message */
#define WIRE_ACK_SIZE 8
#define WIRE_REQUEST_SIZE 12
#define WIRE_REPLY_SIZE 8
#define WIRE_COOKIE_REQUEST_SIZE 32
#define WIRE_COOKIE_SIZE 32
#define WIRE_PROOF_SIZE 40
#define WIRE_ACCEPT_SIZE 24
#define WIRE_GATHERED_SIZE 12       /* without its bitmap */
#define WIRE_BITMAP_MAX 64          /* bitmap bytes: 512 indexes past "next" */
#define WIRE_RIDING_SIZE 13         /* acknowledged data without bitmap and packet */
#define WIRE_BUNDLE_SIZE 8          /* a bundle without its entries */
#define WIRE_BUNDLE_LENGTH 2        /* the length in front of each entry */
#define WIRE_BUNDLE_ENTRIES 255
#define WIRE_DATAGRAM_MAX 16384     /* the longest data packet, and acknowledged data */
#define WIRE_NONCE_SIZE 8
#define WIRE_COOKIE_BYTES 8
#define WIRE_HELLO_ADMITTING 2      /* the cookie request version of clients that take an admit */

/* Features a netlane client offers and a listener agrees to. */
#define WIRE_FEATURE_GATHERED_ACKS 1u  /* gathered acknowledgements, one per step */
#define WIRE_FEATURE_QUIET_HOST 2u     /* only the client sends keep-alives; the
                                          listener's conn answers each */
#define WIRE_FEATURE_WIDE_WINDOWS 4u   /* both ends' queues may grow to
                                          CONN_WIDE_SLOTS slots: a sender may
                                          have that many messages unreleased */
#define WIRE_FEATURE_HOST_BEAT 8u     /* only the listener's conn sends keep-alives,
                                          its idle conns' together on a beat; the
                                          end that connected answers each (over
                                          the quiet host when both are agreed) */
#define WIRE_FEATURE_RIDING_ACKS 16u   /* a gathered acknowledgement may ride
                                          on a data packet (acknowledged data) */
#define WIRE_FEATURE_BUNDLES 32u       /* several data packets may share a
                                          datagram (a bundle) */
#define CONN_WIDE_SLOTS 256

/* The features this library offers when it connects and agrees to when it
 * listens. A test may lower it to play a netlane
 * peer that has fewer. */
#define WIRE_FEATURES_BUILT \
  (WIRE_FEATURE_GATHERED_ACKS | WIRE_FEATURE_QUIET_HOST | WIRE_FEATURE_WIDE_WINDOWS | WIRE_FEATURE_HOST_BEAT | \
   WIRE_FEATURE_RIDING_ACKS | WIRE_FEATURE_BUNDLES)
extern unsigned __netlane_internal__conn_features;

/* Gathered acknowledgement flags. */
#define WIRE_GATHERED_ANSWER 1u  /* it answers a keep-alive */

/* What a datagram is. At a listening port a datagram is a request of one
 * of three kinds or nothing; at a conn's channel it is one of the others. */
typedef enum wire_kind {
  WIRE_JUNK = 0,        /* none of the below: dropped */
  WIRE_DATA,            /* a data packet with a message */
  WIRE_ACK,             /* an 8-byte acknowledgement of a nonzero index */
  WIRE_ZEROS,           /* 8 zero bytes: a connect reply or a keep-alive */
  WIRE_GATHERED,        /* a gathered acknowledgement */
  WIRE_COOKIE,          /* a listener's cookie */
  WIRE_ACCEPT,          /* a listener's accept */
  WIRE_REQUEST,         /* the plain 12-byte connect request */
  WIRE_COOKIE_REQUEST,  /* a netlane client's cookie request */
  WIRE_PROOF,           /* a netlane client's proof */
  WIRE_ADMIT,           /* a listener's admit: a cookie, and a conn made */
  WIRE_RIDING,          /* acknowledged data: a gathered acknowledgement and a data packet */
  WIRE_BUNDLE           /* several data packets, the first perhaps acknowledged data */
} wire_kind;

/* The fields of the handshake's netlane datagrams (which of them a kind
 * carries is in the diagrams above). */
typedef struct wire_hello_t {
  uint32_t conn_id;
  unsigned char nonce[WIRE_NONCE_SIZE];
  uint32_t features;
  uint32_t cookie_time;
  unsigned char cookie[WIRE_COOKIE_BYTES];
  unsigned version;  /* a cookie request's (written as 1 when 0) */
} wire_hello_t;

/* The kind of a datagram reaching a listening port: WIRE_REQUEST,
 * WIRE_COOKIE_REQUEST, WIRE_PROOF, or WIRE_JUNK for anything else (which a
 * shared port files with the peer of its sender). */
wire_kind __netlane_internal__wire_listener_kind(const unsigned char *buf, int len);
/* The kind of a datagram reaching a conn: WIRE_DATA, WIRE_ACK, WIRE_ZEROS,
 * WIRE_GATHERED, WIRE_RIDING, WIRE_BUNDLE, WIRE_COOKIE, WIRE_ADMIT,
 * WIRE_ACCEPT or WIRE_JUNK, by the original classification for the first
 * three. Acknowledged data is WIRE_RIDING only when its bitmap fits and a
 * data packet with a message follows it; a bundle is WIRE_BUNDLE only when
 * its count and every entry's length and kind hold, to its last byte. */
wire_kind __netlane_internal__wire_conn_kind(const unsigned char *buf, int len);

/* The index of a data packet; the index an 8-byte acknowledgement names. */
uint32_t __netlane_internal__wire_data_index(const unsigned char *buf);
uint32_t __netlane_internal__wire_ack_index(const unsigned char *buf);
/* The id of a request of any of the three kinds. */
uint32_t __netlane_internal__wire_request_id(const unsigned char *buf);
/* The hello fields of a cookie request, cookie, admit, proof or accept (`kind`
 * as classified); those the kind does not carry are zero. */
void __netlane_internal__wire_read_hello(const unsigned char *buf, wire_kind kind, wire_hello_t *hello);

/* Writers: each fills the datagram's whole length as drawn above. */
void __netlane_internal__wire_put_request(unsigned char *out, uint32_t conn_id);
void __netlane_internal__wire_put_ack(unsigned char *out, uint32_t index);
void __netlane_internal__wire_put_zeros(unsigned char *out);
void __netlane_internal__wire_put_cookie_request(unsigned char *out, const wire_hello_t *hello);
void __netlane_internal__wire_put_cookie(unsigned char *out, const wire_hello_t *hello);
void __netlane_internal__wire_put_admit(unsigned char *out, const wire_hello_t *hello);
void __netlane_internal__wire_put_proof(unsigned char *out, const wire_hello_t *hello);
void __netlane_internal__wire_put_accept(unsigned char *out, const wire_hello_t *hello);
/* A gathered acknowledgement with `bitmap_bytes` bitmap bytes (at most
 * WIRE_BITMAP_MAX) into `out`; answers its length. */
int __netlane_internal__wire_put_gathered(unsigned char *out, uint32_t next, unsigned flags,
                                          const unsigned char *bitmap, int bitmap_bytes);
/* A gathered acknowledgement's fields: next, flags, and its bitmap's bytes
 * (how many in `*bitmap_bytes`, at most WIRE_BITMAP_MAX). */
void __netlane_internal__wire_read_gathered(const unsigned char *buf, int len, uint32_t *next, unsigned *flags,
                                            const unsigned char **bitmap, int *bitmap_bytes);
/* Acknowledged data into `out` (room for WIRE_RIDING_SIZE + bitmap_bytes +
 * packet_len bytes): the gathered acknowledgement's fields, then the data
 * packet `packet`; answers its length. */
int __netlane_internal__wire_put_riding(unsigned char *out, uint32_t next, unsigned flags, const unsigned char *bitmap,
                                        int bitmap_bytes, const unsigned char *packet, int packet_len);
/* The parts of a datagram classified WIRE_RIDING: the acknowledgement's
 * fields as wire_read_gathered gives them, and the data packet in
 * `*packet`, `*packet_len` bytes. */
void __netlane_internal__wire_read_riding(const unsigned char *buf, int len, uint32_t *next, unsigned *flags,
                                          const unsigned char **bitmap, int *bitmap_bytes,
                                          const unsigned char **packet, int *packet_len);

/* Bundles. wire_bundle_start writes the header of an empty bundle into
 * `out` (room for WIRE_DATAGRAM_MAX bytes) and answers its length;
 * wire_bundle_add appends one entry to the bundle of `len` bytes there
 * and answers the new length (the caller keeps it within its bound). */
int __netlane_internal__wire_bundle_start(unsigned char *out);
int __netlane_internal__wire_bundle_add(unsigned char *out, int len, const unsigned char *entry, int entry_len);
/* The entries of a datagram classified WIRE_BUNDLE, or of one whose
 * header a bundle's first entries were cut from (at `*at`, which starts at
 * WIRE_BUNDLE_SIZE): the next entry in `*entry`, `*entry_len` bytes, and
 * `*at` moved past it; 0 when there is none. */
int __netlane_internal__wire_bundle_next(const unsigned char *buf, int len, int *at, const unsigned char **entry,
                                         int *entry_len);
/* Rewrites the bundle of `len` bytes at `buf` as the bundle of its entries
 * from offset `at` on (in place), the first of them cut to its last `keep`
 * bytes when `keep` is above 0: answers its length. */
int __netlane_internal__wire_bundle_rest(unsigned char *buf, int len, int at, int keep);

#ifdef __cplusplus
}
#endif

#endif
