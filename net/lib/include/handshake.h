/* The conn handshake: the rules by which a connecting conn asks, takes its
 * answer and proves its address, and by which a listener's port answers
 * each kind of request. Nothing here sends, receives or keeps a conn: the
 * rules take a datagram and the time and say what to send and what became
 * of the conn; connhelp.cpp and sharedport.cpp do the I/O.
 *
 * Between two netlane peers the client asks for a cookie (version 2 of the
 * cookie request: it takes an admit). A listener whose port has no conn of
 * that address makes one at once, unproved, and answers with an admit: a
 * cookie that also says the conn is made. The client is connected on it and
 * sends the proof ahead of its first message (or once it has been connected
 * PROOF_IDLE_MS with nothing to send); the proof makes the listener's conn
 * proved, and the accept that answers it makes the client's proved. An
 * address that has a conn, or a listener out of places, gets the plain
 * cookie instead, which keeps nothing: the client proves first and only the
 * proof makes a conn (proved, taking the address over if need be). A
 * version-1 client (and a design-following listener's ways) are answered as
 * before: cookie, proof, accept; the 12-byte request and 8-byte reply. */
#ifndef NETLANE_HANDSHAKE_H
#define NETLANE_HANDSHAKE_H

#include <stdint.h>

#include "conn_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A client with no cookie this long after its cookie request also asks the
 * plain way (sooner when the resend wait is shorter): the listener may
 * follow the original protocol, which ignores cookie requests. */
#define HS_PLAIN_FALLBACK_MS 200
/* An admitted client with nothing to send proves its address this long
 * after it connected. */
#define HS_PROOF_IDLE_MS 200
/* An admitted client sends its proof at most this often; the conn stays
 * unproved if no accept came by then. */
#define HS_PROOF_SENDS 8

/* How a connecting conn asks. */
#define HS_ASK_PLAIN 0   /* the plain request only */
#define HS_ASK_COOKIE 1  /* a cookie request, and the plain one after the fallback wait */
#define HS_ASK_PROOF 2   /* a cookie came: the proof, until the accept */

typedef struct hs_client_t {
  unsigned char plain[WIRE_REQUEST_SIZE];  /* the plain request */
  unsigned char hello[WIRE_PROOF_SIZE];    /* the cookie request, then the proof */
  int hello_len;
  wire_hello_t asked;         /* the id, nonce and features offered (and, once had, the cookie) */
  int asking;                 /* HS_ASK_* */
  unsigned int request_time;  /* when a request last went out */
  int requests;               /* how often */
  unsigned int plain_time;    /* when the plain request first went out */
  int plain_requests;         /* how often it went out */
  /* Connected on an admit: the proof is still to be delivered. */
  int proof_pending;
  unsigned int connected_time;
  unsigned int proof_time;    /* when the proof last went out */
  int proof_sends;
} hs_client_t;

/* Datagrams to send, in order; their bytes live in the rules' records. */
typedef struct hs_send_t {
  const unsigned char *bytes[2];
  int len[2];
  int count;
} hs_send_t;

/* What a datagram reaching a connecting conn is to its handshake. */
typedef enum hs_verdict {
  HS_NOTHING = 0,  /* no answer of ours: dropped */
  HS_PROVE,        /* a cookie of ours: retarget at its sender, then send the proof */
  HS_CONNECTED,    /* the plain reply or the accept: connected to its sender */
  HS_ADMITTED      /* an admit: connected to its sender, the proof still to send */
} hs_verdict;

typedef struct hs_answer_t {
  hs_verdict verdict;
  wire_hello_t got;    /* the cookie's, admit's or accept's fields */
  unsigned int since;  /* connected: when the request it answers went out */
  int once;            /* connected: that request went out once (a round-trip sample) */
} hs_answer_t;

/* A connect's first request: a version-2 cookie request when `nonce` (8
 * random bytes) is given, else the plain request. */
void __netlane_internal__hs_client_start(hs_client_t *c, uint32_t conn_id, unsigned features,
                                         const unsigned char *nonce, unsigned int now, hs_send_t *out);
/* How long after the last request a connecting conn asks again. */
int __netlane_internal__hs_client_wait(const hs_client_t *c, int cap);
/* The requests due again at `now` (none before the wait has passed). */
void __netlane_internal__hs_client_due(hs_client_t *c, unsigned int now, int cap, hs_send_t *out);
/* Judges a datagram that reached the connecting conn; changes nothing. */
void __netlane_internal__hs_client_judge(const hs_client_t *c, const unsigned char *buf, int len, hs_answer_t *a);
/* After HS_PROVE, the channel retargeted: the proof to send. */
void __netlane_internal__hs_client_prove(hs_client_t *c, const hs_answer_t *a, unsigned int now, hs_send_t *out);
/* After HS_CONNECTED or HS_ADMITTED, the channel retargeted: whether the
 * conn is proved now (the accept came) and the features agreed. */
int __netlane_internal__hs_client_connected(hs_client_t *c, const hs_answer_t *a, unsigned int now,
                                            unsigned *features);
/* A connected conn's proof, when it goes out now: pending, and a message
 * waits to go (`has_outgoing`) or the conn has been idle HS_PROOF_IDLE_MS,
 * and the resend wait `cap` has passed since the last one. */
int __netlane_internal__hs_client_proof_due(hs_client_t *c, unsigned int now, int has_outgoing, int cap,
                                            hs_send_t *out);
/* Ms from `now` until that proof is due (0 now), -1 none pending: a
 * program that only waits still sends it on time. */
int __netlane_internal__hs_client_proof_wait(const hs_client_t *c, unsigned int now, int has_outgoing, int cap);
/* A handshake answer that reached the connected conn: 1 the accept of its
 * pending proof (the conn is proved, with the features in `*features`);
 * 0 a repeat of no more use. */
int __netlane_internal__hs_client_late(hs_client_t *c, const unsigned char *buf, int len, unsigned *features);

/* Where the listener's answer must come from: `expect` gets the host part
 * of `target` as a sender's address is written, ending with its colon, or
 * "" (any sender) for a broadcast, all-interfaces or unreadable target or
 * a driver of another class (`internet` 0). */
void __netlane_internal__hs_expect_host(char *expect, const char *target, int internet);

/* The listener's side. What a port knows of the (address, id) pair of a
 * request. */
typedef enum hs_pair {
  HS_PAIR_NONE = 0,  /* no conn of that pair */
  HS_PAIR_PLAIN,     /* an unproved conn, made for a plain request */
  HS_PAIR_ADMITTED,  /* an unproved conn made for a cookie request, its proof to come */
  HS_PAIR_PROVED     /* a proved conn */
} hs_pair;

/* What a request gets. */
typedef enum hs_reply {
  HS_REPLY_NONE = 0,  /* nothing */
  HS_REPLY_ZEROS,     /* the plain reply */
  HS_REPLY_ACCEPT,    /* the accept */
  HS_REPLY_ADMIT,     /* the admit, with a fresh cookie */
  HS_REPLY_COOKIE,    /* the plain cookie, keeping nothing */
  HS_REPLY_LISTENER,  /* queued for the listener, which may make a conn */
  HS_REPLY_PROVE      /* the pair's conn turns proved, then the accept */
} hs_reply;

/* A request of `kind` (a proof's cookie already checked and found good),
 * cookie request `version`, from a pair the port knows as `pair`, where
 * `address_used` says whether any conn has the address and `listening`
 * whether the listener is still open. */
hs_reply __netlane_internal__hs_port_rule(wire_kind kind, int version, hs_pair pair, int address_used,
                                          int listening);
/* What a known pair's repeated request is answered with, by what it is. */
hs_reply __netlane_internal__hs_pair_answer(hs_pair pair);
/* The conn the listener makes for a request of a new pair. */
hs_pair __netlane_internal__hs_listen_makes(wire_kind kind);
/* What the request gets when that conn cannot be made (bounds, address in
 * use, memory): a cookie request the plain cookie, the others nothing. */
hs_reply __netlane_internal__hs_listen_refused(wire_kind kind);

#ifdef __cplusplus
}
#endif

#endif
