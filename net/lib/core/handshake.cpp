// The conn handshake's rules, for both ends (handshake.h says the flow):
// what a connecting conn sends and when, what an answer makes of it, when
// an admitted client proves its address, and what a listener's port
// answers each request with. No I/O and no clock: the callers pass the
// datagrams and the time in and do the sending.
#include <string.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "handshake.h"
#include "inetaddr.h"
#include "internal.h"

namespace {

void none(hs_send_t *out)
{
  out->count = 0;
}

void add(hs_send_t *out, const unsigned char *bytes, int len)
{
  out->bytes[out->count] = bytes;
  out->len[out->count] = len;
  out->count++;
}

void count_plain(hs_client_t *c, unsigned int now)
{
  if (c->plain_requests == 0) c->plain_time = now;
  if (c->plain_requests < INT32_MAX) c->plain_requests++;
}

// Whether a cookie, admit or accept answers this conn's own request.
bool answers_us(const hs_client_t *c, const wire_hello_t *got)
{
  return got->conn_id == c->asked.conn_id && memcmp(got->nonce, c->asked.nonce, WIRE_NONCE_SIZE) == 0;
}

}  // namespace

void __netlane_internal__hs_client_start(hs_client_t *c, uint32_t conn_id, unsigned features,
                                         const unsigned char *nonce, unsigned int now, hs_send_t *out)
{
  memset(c, 0, sizeof *c);
  none(out);
  c->asked.conn_id = conn_id;
  c->asked.features = features;
  c->asked.version = WIRE_HELLO_ADMITTING;
  __netlane_internal__wire_put_request(c->plain, conn_id);
  c->request_time = now;
  c->requests = 1;
  if (nonce) {
    memcpy(c->asked.nonce, nonce, WIRE_NONCE_SIZE);
    c->asking = HS_ASK_COOKIE;
    __netlane_internal__wire_put_cookie_request(c->hello, &c->asked);
    c->hello_len = WIRE_COOKIE_REQUEST_SIZE;
    add(out, c->hello, c->hello_len);
  } else {
    c->asking = HS_ASK_PLAIN;
    count_plain(c, now);
    add(out, c->plain, WIRE_REQUEST_SIZE);
  }
}

int __netlane_internal__hs_client_wait(const hs_client_t *c, int cap)
{
  if (c->asking == HS_ASK_COOKIE && c->plain_requests == 0 && cap > HS_PLAIN_FALLBACK_MS) return HS_PLAIN_FALLBACK_MS;
  return cap;
}

void __netlane_internal__hs_client_due(hs_client_t *c, unsigned int now, int cap, hs_send_t *out)
{
  none(out);
  if ((int32_t)(now - c->request_time) <= __netlane_internal__hs_client_wait(c, cap)) return;
  if (c->asking != HS_ASK_PLAIN) add(out, c->hello, c->hello_len);
  if (c->asking != HS_ASK_PROOF) {
    count_plain(c, now);
    add(out, c->plain, WIRE_REQUEST_SIZE);
  }
  c->request_time = now;
  if (c->requests < INT32_MAX) c->requests++;
}

void __netlane_internal__hs_client_judge(const hs_client_t *c, const unsigned char *buf, int len, hs_answer_t *a)
{
  memset(a, 0, sizeof *a);
  wire_kind kind = __netlane_internal__wire_conn_kind(buf, len);
  if (kind == WIRE_COOKIE || kind == WIRE_ADMIT || kind == WIRE_ACCEPT)
    __netlane_internal__wire_read_hello(buf, kind, &a->got);
  if (kind == WIRE_ZEROS) {
    // The plain reply answers the plain request only; once a cookie has
    // come, only the accept of its proof does.
    if (c->asking == HS_ASK_PROOF || c->plain_requests == 0) return;
    a->verdict = HS_CONNECTED;
    a->since = c->plain_time;
    a->once = c->plain_requests == 1;
  } else if (kind == WIRE_COOKIE || kind == WIRE_ADMIT) {
    if (c->asking != HS_ASK_COOKIE || !answers_us(c, &a->got)) return;
    a->verdict = kind == WIRE_COOKIE ? HS_PROVE : HS_ADMITTED;
    a->since = c->request_time;
    a->once = c->requests == 1;
  } else if (kind == WIRE_ACCEPT) {
    if (c->asking != HS_ASK_PROOF || !answers_us(c, &a->got)) return;
    a->verdict = HS_CONNECTED;
    a->since = c->request_time;
    a->once = c->requests == 1;
  }
}

void __netlane_internal__hs_client_prove(hs_client_t *c, const hs_answer_t *a, unsigned int now, hs_send_t *out)
{
  none(out);
  c->asked.cookie_time = a->got.cookie_time;
  memcpy(c->asked.cookie, a->got.cookie, WIRE_COOKIE_BYTES);
  __netlane_internal__wire_put_proof(c->hello, &c->asked);
  c->hello_len = WIRE_PROOF_SIZE;
  if (a->verdict == HS_ADMITTED) return;  // the proof goes later, ahead of the first message
  c->asking = HS_ASK_PROOF;
  c->request_time = now;
  c->requests = 1;
  add(out, c->hello, c->hello_len);
}

int __netlane_internal__hs_client_connected(hs_client_t *c, const hs_answer_t *a, unsigned int now,
                                            unsigned *features)
{
  *features = 0;
  c->connected_time = now;
  if (a->verdict == HS_ADMITTED) {
    hs_send_t unused;
    __netlane_internal__hs_client_prove(c, a, now, &unused);
    c->proof_pending = 1;
    return 0;
  }
  if (c->asking != HS_ASK_PROOF) return 0;  // the plain reply
  *features = a->got.features & c->asked.features;
  return 1;
}

int __netlane_internal__hs_client_proof_wait(const hs_client_t *c, unsigned int now, int has_outgoing, int cap)
{
  if (!c->proof_pending || c->proof_sends >= HS_PROOF_SENDS) return -1;
  if (c->proof_sends == 0 && has_outgoing) return 0;
  int32_t left = c->proof_sends == 0 ? HS_PROOF_IDLE_MS - (int32_t)(now - c->connected_time)
                                     : (int32_t)cap - (int32_t)(now - c->proof_time);
  return left > 0 ? (int)left : 0;
}

int __netlane_internal__hs_client_proof_due(hs_client_t *c, unsigned int now, int has_outgoing, int cap,
                                            hs_send_t *out)
{
  none(out);
  if (__netlane_internal__hs_client_proof_wait(c, now, has_outgoing, cap) != 0) return 0;
  c->proof_time = now;
  c->proof_sends++;
  add(out, c->hello, c->hello_len);
  return 1;
}

int __netlane_internal__hs_client_late(hs_client_t *c, const unsigned char *buf, int len, unsigned *features)
{
  *features = 0;
  if (!c->proof_pending || __netlane_internal__wire_conn_kind(buf, len) != WIRE_ACCEPT) return 0;
  wire_hello_t got;
  __netlane_internal__wire_read_hello(buf, WIRE_ACCEPT, &got);
  if (!answers_us(c, &got)) return 0;
  c->proof_pending = 0;
  *features = got.features & c->asked.features;
  return 1;
}

void __netlane_internal__hs_expect_host(char *expect, const char *target, int internet)
{
  expect[0] = 0;
  struct sockaddr_storage host;
  int port;
  if (!internet || __netlane_internal__read_address(target, &host, &port) != 0) return;
  const struct sockaddr_in *four = (const struct sockaddr_in *)&host;
  const struct sockaddr_in6 *six = (const struct sockaddr_in6 *)&host;
  if (host.ss_family == AF_INET && (four->sin_addr.s_addr == 0 || four->sin_addr.s_addr == 0xFFFFFFFFu)) return;
  if (host.ss_family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&six->sin6_addr)) return;
  // Written as a sender's address is, the port cut off after its colon.
  __netlane_internal__write_inet_address(expect, &host);
  char *port_colon = strrchr(expect, ':');
  if (port_colon) port_colon[1] = 0;
}

hs_reply __netlane_internal__hs_pair_answer(hs_pair pair)
{
  switch (pair) {
    case HS_PAIR_PLAIN: return HS_REPLY_ZEROS;
    case HS_PAIR_ADMITTED: return HS_REPLY_ADMIT;
    case HS_PAIR_PROVED: return HS_REPLY_ACCEPT;
    default: return HS_REPLY_NONE;
  }
}

hs_reply __netlane_internal__hs_port_rule(wire_kind kind, int version, hs_pair pair, int address_used, int listening)
{
  switch (kind) {
    case WIRE_REQUEST:
      // A lost reply is made up for also once the listener has closed. A
      // client that also proves (or was admitted) gets its answer to its
      // cookie request or proof, never the plain reply.
      if (pair == HS_PAIR_NONE) return listening ? HS_REPLY_LISTENER : HS_REPLY_NONE;
      return pair == HS_PAIR_PLAIN ? HS_REPLY_ZEROS : HS_REPLY_NONE;
    case WIRE_COOKIE_REQUEST:
      if (pair == HS_PAIR_ADMITTED) return HS_REPLY_ADMIT;  // its admit was lost
      if (pair != HS_PAIR_NONE) return HS_REPLY_COOKIE;
      if (!listening) return HS_REPLY_NONE;
      // Only where nobody has the address: an admit never takes one over,
      // since anyone can forge the request it answers.
      if (version >= WIRE_HELLO_ADMITTING && !address_used) return HS_REPLY_LISTENER;
      return HS_REPLY_COOKIE;
    case WIRE_PROOF:
      if (pair == HS_PAIR_NONE) return listening ? HS_REPLY_LISTENER : HS_REPLY_NONE;
      return pair == HS_PAIR_PROVED ? HS_REPLY_ACCEPT : HS_REPLY_PROVE;
    default:
      return HS_REPLY_NONE;
  }
}

hs_pair __netlane_internal__hs_listen_makes(wire_kind kind)
{
  if (kind == WIRE_PROOF) return HS_PAIR_PROVED;
  if (kind == WIRE_COOKIE_REQUEST) return HS_PAIR_ADMITTED;
  return HS_PAIR_PLAIN;
}

hs_reply __netlane_internal__hs_listen_refused(wire_kind kind)
{
  return kind == WIRE_COOKIE_REQUEST ? HS_REPLY_COOKIE : HS_REPLY_NONE;
}
