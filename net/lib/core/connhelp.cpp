// The wrapper driver: reliable, ordered conns for every driver that carries
// only channels. Each conn owns one channel of its driver; the protocol step
// that runs at the start of each operation takes in what arrived, gives
// each datagram to the conn engine (conn_engine.cpp, which does no I/O) and
// sends what the engine then has due. There is no thread and no timer of
// its own.
//
// The datagrams are drawn in conn_wire.h.
//
// The handshake. A netlane client first asks for a cookie; a netlane
// listener answers with one and keeps nothing; the client echoes it in a
// proof, which shows that it receives at the address it speaks from, and
// only then does the listener make a conn, proved, and accept it with the
// features both have. A design-following listener ignores both datagrams,
// so a client that has no cookie after a short wait also asks the plain
// way (and from then on both ways); a design-following client asks only
// the plain way and gets the plain reply, and its conn is unproved.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <arpa/inet.h>

#include <atomic>

#include "byteorder.h"
#include "conn_engine.h"
#include "conn_wire.h"
#include "connhelp.h"
#include "connwin.h"
#include "cookie.h"
#include "inetaddr.h"
#include "internal.h"
#include "sharedport.h"
#include "waitset_internal.h"

#define HEADER_SIZE CONN_HEADER_SIZE
#define MAX_DATAGRAM 16384     /* the protocol step's receive buffer */
#define SMALL_PACKET_LIMIT 512 /* channel packets of the Local and IPX classes */
/* At most this many datagrams are taken in per step (and per poll of a
 * connecting conn): enough that junk arriving between steps cannot crowd
 * out the peer's traffic, few enough that one call never spins on a
 * flooded channel. */
#define STEP_DATAGRAMS 64

/* Room to receive a handshake datagram and still see that it was longer
 * than the longest it may be. */
#define HANDSHAKE_BUFFER 48

/* A client with no cookie this long after its cookie request also asks the
 * plain way (sooner when the resend wait is shorter): the listener may
 * follow the original protocol, which ignores cookie requests. */
#define PLAIN_FALLBACK_MS 200

/* How a connecting conn asks. */
#define ASK_PLAIN 0    /* the plain request only */
#define ASK_COOKIE 1   /* a cookie request, and the plain one after the fallback wait */
#define ASK_PROOF 2    /* a cookie came: the proof, until the accept */

typedef struct conn_data_t {
  NET_CHANNEL *chan;
  unsigned char connect_string[WIRE_REQUEST_SIZE];  /* the plain request */
  unsigned char hello[WIRE_PROOF_SIZE];  /* the cookie request, then the proof */
  int hello_len;
  wire_hello_t asked;         /* connecting: the id, nonce and features offered */
  int asking;                 /* connecting: ASK_* */
  unsigned int request_time;  /* connecting: when a request last went out */
  int requests;               /* connecting: how often */
  unsigned int plain_time;    /* connecting: when the plain request first went out */
  int plain_requests;         /* connecting: how often it went out */
  int proved;                 /* the peer echoed a cookie (or, client side, its accept our nonce) */
  unsigned features;          /* WIRE_FEATURE_* agreed with the peer */
  /* connecting: the host part a reply must come from; "" takes any sender
   * (a broadcast target, or a driver whose addresses are not host:port) */
  char expect_host[NET_MAX_ADDRESS_LENGTH];
  int heard;          /* accepted conns: a data message has arrived */
  int listening;
  /* Listening and accepted conns: the listener's port, which chan is. */
  port_share_t *share;
  port_peer_t *peer;  /* accepted conns: their peer on that port */
  conn_io_t io;       /* where sends go */
  /* The protocol of the connected conn: windows, resends, acknowledgements,
   * keep-alives, the peer's silence. */
  conn_engine_t engine;
  long received, dropped_foreign;
  long dropped_malformed;  /* while connecting; the engine counts them after */
} conn_data_t;

/* The calendar-clock seam: the connection id needs whole seconds only. */
static unsigned int calendar_seconds(void)
{
  return (unsigned int)time(NULL);
}

/* The connection id of a new connect: the calendar time in seconds, but
 * never an id this process has used before. A conn that reconnects from the
 * same address within one second would otherwise be taken by the listener
 * for the conn before it and be attached to that conn's message counts. */
static unsigned int next_conn_id(void)
{
  static std::atomic<unsigned int> last_id{0};
  unsigned int now = calendar_seconds();
  unsigned int last = last_id.load();
  unsigned int id;
  do {
    id = now > last ? now : last + 1;
  } while (!last_id.compare_exchange_weak(last, id));
  return id;
}

static conn_data_t *conn_data(NET_CONN *conn)
{
  return static_cast<conn_data_t *>(conn->data);
}

int __netlane_internal__largest_conn_message(NET_DRIVER *drv)
{
  int cls = drv ? NET_DRIVER_CLASS(drv) : NET_CLASS_NONE;
  if (cls == NET_CLASS_LOCAL || cls == NET_CLASS_IPX) return SMALL_PACKET_LIMIT - HEADER_SIZE;
  return MAX_DATAGRAM - HEADER_SIZE;
}

/* A fresh conn_data_t with its windows in `*made`. 0 ok; 1 no memory for
 * the data; 2 the windows cannot be created (nothing is left allocated). */
/* 1 when a read that named no sender means the channel is empty: an empty
 * datagram names its sender, and a driver that answers -1 for an empty
 * queue (the local one) says so again through its query. */
static int channel_drained(NET_CHANNEL *chan, int len)
{
  return len == 0 || net_query(chan) == 0;
}

static int create_conn_data(NET_DRIVER *drv, conn_data_t **made)
{
  *made = NULL;
  conn_data_t *data = static_cast<conn_data_t *>(calloc(1, sizeof(conn_data_t)));
  if (!data) return 1;
  if (__netlane_internal__engine_create(&data->engine, __netlane_internal__get_conn_config(drv)) != 0) {
    free(data);
    return 2;
  }
  *made = data;
  return 0;
}

/* The conn is connected from `now`: the peer counts as just heard. A conn
 * a listener made has its peer on the shared port; the other connected. */
static void mark_connected(conn_data_t *data, unsigned int now)
{
  __netlane_internal__engine_connected(&data->engine, now, data->peer == NULL);
  data->engine.features = data->features;
}

static void free_conn_data(conn_data_t *data)
{
  __netlane_internal__engine_destroy(&data->engine);
  free(data);
}

/* An accepted conn that has its first message from the peer no longer
 * counts against the listener's bounds on silent conns. */
static void mark_heard(conn_data_t *data)
{
  data->heard = 1;
  if (data->peer) __netlane_internal__share_heard(data->share, data->peer);
}

/* The engine's way out: every datagram it emits goes the conn's way. */
static void emit_io(void *ctx, const void *datagram, int len)
{
  __netlane_internal__io_send(static_cast<const conn_io_t *>(ctx), datagram, len);
}

/* The protocol step: take in up to STEP_DATAGRAMS datagrams, giving each
 * to the engine, then send what the engine has due (one flush). Datagrams
 * from any other address are dropped unread, so nobody else can inject
 * messages or acknowledge what never arrived. An
 * empty datagram reads as 0 bytes like an empty channel, but names its
 * sender: only a read that names nobody ends the step early, so empty,
 * foreign or oversized datagrams cannot hide the peer's traffic behind
 * them. A data packet just past a full window is parked and ends the step:
 * what follows it waits in the channel instead of being dropped unanswered
 * and sent again after the resend wait. */
static void step(conn_data_t *data, unsigned int now);

static void poll(NET_CONN *conn)
{
  // Until the handshake ends, the channel's datagrams belong to
  // poll_connect: taking them here would drop the connect reply.
  if (conn->status == NET_CONN_CONNECTING) return;
  conn_data_t *data = conn_data(conn);
  unsigned int now = __netlane_timer_func();
  // A peer whose proof came after its plain request is proved from then on.
  if (data->peer && !data->proved && __netlane_internal__share_peer_proved(data->peer, &data->features))
    data->proved = 1;
  __netlane_internal__io_hold();
  step(data, now);
  __netlane_internal__io_flush();
}

/* The next datagram from an accepted conn's peer, which the shared port
 * has filed, taking in more from the port when none is: its length (-1 cut
 * short), or -2 when none waits. */
static int take_filed(conn_data_t *data, unsigned char *buf, int size)
{
  int len = __netlane_internal__share_take(data->share, data->peer, buf, size);
  if (len != -2 || __netlane_internal__share_pump(data->share, STEP_DATAGRAMS) == 0) return len;
  return __netlane_internal__share_take(data->share, data->peer, buf, size);
}

static void step(conn_data_t *data, unsigned int now)
{
  conn_engine_t *e = &data->engine;
  // Agreed at connect, or, for a peer whose proof came after its plain
  // request, found out since.
  e->features = data->features;
  static thread_local unsigned char buf[MAX_DATAGRAM];
  for (int n = 0; n < STEP_DATAGRAMS && __netlane_internal__engine_ready(e); n++) {
    int len;
    if (data->peer) {
      len = take_filed(data, buf, (int)sizeof buf);
      if (len == -2) break;
      data->received++;
    } else {
      int foreign;
      len = __netlane_internal__io_read_own(data->chan, buf, (int)sizeof buf, &foreign);
      if (len == -2) break;
      data->received++;
      if (foreign) {
        data->dropped_foreign++;
        continue;
      }
    }
    if (len > (int)sizeof buf) {
      e->last_heard = now;
      len = -1;  // cut short: no packet of the protocol
    }
    if (__netlane_internal__engine_input(e, buf, len, now) == ENGINE_PARKED) break;
  }
  if (e->heard && !data->heard) mark_heard(data);
  __netlane_internal__engine_flush(e, now, emit_io, &data->io);
}

/* 0 ok; 1 no memory for the conn data; 2 queues cannot be created;
 * 3 the channel cannot be opened. */
static int init_conn(NET_CONN *conn, const char *addr)
{
  conn->peer_addr[0] = 0;
  conn_data_t *data;
  int failed = create_conn_data(conn->driver, &data);
  if (failed) return failed;
  data->chan = net_openchannel(conn->type, addr);
  if (!data->chan) {
    free_conn_data(data);
    return 3;
  }
  data->io.chan = data->chan;
  conn->data = data;
  return 0;
}

/* Closes the channel and drops whatever is still queued; the peer is not
 * told. A listening conn and the conns it accepted each let go of their
 * shared port, which closes with the last of them. Answers 0. */
static int destroy_conn(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  if (!data) return 0;
  if (data->peer) __netlane_internal__share_remove(data->share, data->peer);
  else if (data->share) __netlane_internal__share_stop_listening(data->share);
  else if (data->chan) net_closechannel(data->chan);
  free_conn_data(data);
  conn->data = NULL;
  return 0;
}

/* 0 listening; 1 no memory for the port's records (or no random bytes for
 * its cookie secret). */
static int listen(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  if (data->listening) return 0;
  data->share = __netlane_internal__share_create(data->chan, data);
  if (!data->share) return 1;
  data->listening = 1;
  return 0;
}

/* Takes in what reached the listening port and looks at the requests of
 * new pairs among it, proofs first. A proof (its cookie checked by the
 * port) or a plain request gets a conn sharing the port, proved or not,
 * the accept or the plain reply from the port, and that conn in
 * `newconn`: answers 1. A new pair beyond the bounds on silent conns, or a
 * plain request for an address in use, is dropped without a reply, so
 * requests nobody follows up cannot make the listener hold a conn each.
 * Answers 0 when no conn was made. */
static int poll_listen(NET_CONN *conn, NET_CONN *newconn)
{
  conn_data_t *data = conn_data(conn);
  if (!data->listening) return 0;
  __netlane_internal__share_pump(data->share, STEP_DATAGRAMS);

  unsigned char buf[WIRE_PROOF_SIZE];
  char from[NET_MAX_ADDRESS_LENGTH];
  int kind;
  for (int n = 0; n < STEP_DATAGRAMS && (kind = __netlane_internal__share_next_request(data->share, buf, from)); n++) {
    unsigned int conn_id = __netlane_internal__wire_request_id(buf);
    wire_hello_t proof;
    if (kind == WIRE_PROOF) __netlane_internal__wire_read_hello(buf, WIRE_PROOF, &proof);
    port_peer_t *known = __netlane_internal__share_find(data->share, from, conn_id);
    if (known) {
      // Made meanwhile: answered again, but a proved pair's plain request
      // gets nothing, as at the port.
      unsigned features;
      if (kind == WIRE_PROOF || !__netlane_internal__share_peer_proved(known, &features))
        __netlane_internal__share_answer(data->share, known);
      continue;
    }
    conn_data_t *fresh;
    if (create_conn_data(newconn->driver, &fresh) != 0) return 0;
    int took_over;
    port_peer_t *peer = __netlane_internal__share_add(data->share, from, conn_id,
                                                      __netlane_internal__get_conn_config(conn->driver), fresh,
                                                      kind == WIRE_PROOF ? &proof : NULL, &took_over);
    if (!peer) {
      free_conn_data(fresh);
      continue;
    }
    fresh->chan = data->chan;
    fresh->share = data->share;
    fresh->peer = peer;
    fresh->io.chan = data->chan;
    fresh->io.share = data->share;
    fresh->io.peer = peer;
    fresh->engine.awaiting_first = took_over;
    fresh->proved = __netlane_internal__share_peer_proved(peer, &fresh->features);
    __netlane_internal__share_answer(data->share, peer);
    mark_connected(fresh, __netlane_timer_func());
    __netlane_internal__copy_address(newconn->peer_addr, from);
    newconn->data = fresh;
    return 1;
  }
  return 0;
}

int __netlane_internal__conn_client_count(NET_CONN *conn)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return 0;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->listening) return 0;
  return __netlane_internal__share_peer_count(data->share);
}

/* A test hook: datagrams the shared port has filed for an accepted conn
 * and not yet handed to its step (-1 for any other conn), and the port's
 * free buffers in `*pooled`. */
int __netlane_internal__conn_filed(NET_CONN *conn, int *pooled)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return -1;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->peer) return -1;
  return __netlane_internal__share_queued(data->share, data->peer, pooled);
}

char *net_getconnlocaladdress(NET_CONN *conn)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return NULL;
  conn_data_t *data = conn_data(conn);
  return data && data->chan ? net_getlocaladdress(data->chan) : NULL;
}

/* Notes which host the reply must come from: the listener answers from a
 * port of its own on the address the request went to. Only Internet
 * addresses can be compared so; a broadcast (or an all-interfaces) target
 * is answered by whichever host heard it. */
static void expect_reply_from(NET_CONN *conn, const char *target)
{
  conn_data_t *data = conn_data(conn);
  data->expect_host[0] = 0;
  struct sockaddr_storage host;
  int port;
  if (NET_DRIVER_CLASS(conn->driver) != NET_CLASS_INTERNET ||
      __netlane_internal__read_address(target, &host, &port) != 0)
    return;
  const struct sockaddr_in *four = (const struct sockaddr_in *)&host;
  const struct sockaddr_in6 *six = (const struct sockaddr_in6 *)&host;
  if (host.ss_family == AF_INET && (four->sin_addr.s_addr == 0 || four->sin_addr.s_addr == 0xFFFFFFFFu)) return;
  if (host.ss_family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&six->sin6_addr)) return;
  /* Written as a sender's address is, the port cut off after its colon. */
  __netlane_internal__write_inet_address(data->expect_host, &host);
  char *port_colon = strrchr(data->expect_host, ':');
  if (port_colon) port_colon[1] = 0;
}

/* How long after the last request a connecting conn asks again. */
static int request_wait(const conn_data_t *data)
{
  int cap = data->engine.out.timer.cap;
  if (data->asking == ASK_COOKIE && data->plain_requests == 0 && cap > PLAIN_FALLBACK_MS) return PLAIN_FALLBACK_MS;
  return cap;
}

/* Sends the plain request, noting the first time. */
static int send_plain_request(conn_data_t *data, unsigned int now)
{
  if (data->plain_requests == 0) data->plain_time = now;
  if (data->plain_requests < INT32_MAX) data->plain_requests++;
  return net_send(data->chan, data->connect_string, WIRE_REQUEST_SIZE);
}

/* 0 request sent; 1 the target cannot be assigned; 2 the request cannot be
 * sent. A netlane client asks for a cookie first; without random bytes for
 * its nonce it asks only the plain way. */
static int connect(NET_CONN *conn, const char *target)
{
  conn_data_t *data = conn_data(conn);
  memset(&data->asked, 0, sizeof data->asked);
  data->asked.conn_id = next_conn_id();
  data->asked.features = __netlane_internal__conn_features;
  __netlane_internal__wire_put_request(data->connect_string, data->asked.conn_id);
  data->plain_requests = 0;
  data->asking = __netlane_internal__random_bytes(data->asked.nonce, WIRE_NONCE_SIZE) == 0 ? ASK_COOKIE : ASK_PLAIN;
  if (net_assigntarget(data->chan, target) != 0) return 1;
  expect_reply_from(conn, target);
  unsigned int now = __netlane_timer_func();
  data->request_time = now;
  data->requests = 1;
  int failed;
  if (data->asking == ASK_COOKIE) {
    __netlane_internal__wire_put_cookie_request(data->hello, &data->asked);
    data->hello_len = WIRE_COOKIE_REQUEST_SIZE;
    failed = net_send(data->chan, data->hello, data->hello_len);
  } else {
    failed = send_plain_request(data, now);
  }
  if (failed != 0) return 2;
  __netlane_internal__waitset_notify(data);
  return 0;
}

/* Whether a cookie or accept answers this conn's own requests. */
static int answers_us(const conn_data_t *data, const wire_hello_t *got)
{
  return got->conn_id == data->asked.conn_id && memcmp(got->nonce, data->asked.nonce, WIRE_NONCE_SIZE) == 0;
}

/* The conn is connected to `from`, which answered: 1, or 0 when the
 * channel cannot be retargeted at it. `since` is when the request it
 * answers went out, `once` whether it went out once only. */
static int connected_to(NET_CONN *conn, const char *from, unsigned int now, unsigned int since, int once)
{
  conn_data_t *data = conn_data(conn);
  if (net_assigntarget(data->chan, from) != 0) return 0;
  // The handshake is the first round trip measured, when the request went
  // out once and so the reply answers that one.
  if (once) __netlane_internal__rtt_sample(&data->engine.out.timer, now - since);
  __netlane_internal__copy_address(conn->peer_addr, from);
  mark_connected(data, now);
  return 1;
}

/* 1 connected: the plain reply of 8 zero bytes to the plain request,
 * or a netlane listener's accept of the proof, came, and the channel now
 * targets its sender. 0 not yet. A cookie makes the conn send its proof to
 * the cookie's sender, and from then on only the accept completes it.
 * Other datagrams waiting are consumed; a request goes out again only once
 * the resend wait (the shorter fallback wait before the first plain
 * request) has passed since the last one, however often the caller polls,
 * so a connecting conn never floods a listener that is slow to answer. */
static int poll_connect(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  unsigned int now = __netlane_timer_func();
  unsigned char buf[HANDSHAKE_BUFFER];
  char from[NET_MAX_ADDRESS_LENGTH];
  for (int n = 0; n < STEP_DATAGRAMS; n++) {
    from[0] = 0;
    int len = net_receive(data->chan, buf, (int)sizeof buf, from);
    if (len <= 0 && from[0] == 0 && channel_drained(data->chan, len)) break;
    data->received++;
    from[NET_MAX_ADDRESS_LENGTH - 1] = 0;
    if (data->expect_host[0] && !__netlane_internal__same_host(data->expect_host, from)) {
      data->dropped_foreign++;
      continue;
    }
    wire_kind kind = len > (int)sizeof buf ? WIRE_JUNK : __netlane_internal__wire_conn_kind(buf, len);
    wire_hello_t got;
    if (kind == WIRE_COOKIE || kind == WIRE_ACCEPT) __netlane_internal__wire_read_hello(buf, kind, &got);
    if (kind == WIRE_ZEROS && data->asking != ASK_PROOF && data->plain_requests > 0) {
      if (connected_to(conn, from, now, data->plain_time, data->plain_requests == 1)) return 1;
    } else if (kind == WIRE_COOKIE && data->asking == ASK_COOKIE && answers_us(data, &got) &&
               net_assigntarget(data->chan, from) == 0) {
      // Proved to the listener that sent it, whatever address was asked.
      data->asked.cookie_time = got.cookie_time;
      memcpy(data->asked.cookie, got.cookie, WIRE_COOKIE_BYTES);
      __netlane_internal__wire_put_proof(data->hello, &data->asked);
      data->hello_len = WIRE_PROOF_SIZE;
      data->asking = ASK_PROOF;
      data->request_time = now;
      data->requests = 1;
      net_send(data->chan, data->hello, data->hello_len);
      continue;
    } else if (kind == WIRE_ACCEPT && data->asking == ASK_PROOF && answers_us(data, &got)) {
      if (connected_to(conn, from, now, data->request_time, data->requests == 1)) {
        data->proved = 1;
        data->features = got.features & data->asked.features;
        return 1;
      }
    }
    data->dropped_malformed++;
  }
  if ((int32_t)(now - data->request_time) > request_wait(data)) {
    if (data->asking != ASK_PLAIN) net_send(data->chan, data->hello, data->hello_len);
    if (data->asking != ASK_PROOF) send_plain_request(data, now);
    data->request_time = now;
    if (data->requests < INT32_MAX) data->requests++;
  }
  return 0;
}

int __netlane_internal__wrapper_wait_info(NET_CONN *conn, int *fds, int max, int *nfds, int *due_ms)
{
  *nfds = 0;
  *due_ms = -1;
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return -1;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->chan) return 0;
  *nfds = __netlane_internal__channel_wait_fds(data->chan, fds, max);
  unsigned int now = __netlane_timer_func();
  if (conn->status == NET_CONN_CONNECTING) {
    int32_t left = (int32_t)request_wait(data) + 1 - (int32_t)(now - data->request_time);
    *due_ms = left < 0 ? 0 : (int)left;
  } else if (conn->status == NET_CONN_CONNECTED) {
    *due_ms = __netlane_internal__engine_next_due(&data->engine, now);
    // Filed by the shared port while another conn took its datagrams in.
    if (data->peer && __netlane_internal__share_has_input(data->share, data->peer)) *due_ms = 0;
  }
  if (conn->status != NET_CONN_LISTENING || !data->listening) return 0;
  __netlane_internal__share_pump(data->share, STEP_DATAGRAMS);
  return __netlane_internal__share_has_requests(data->share);
}

int __netlane_internal__wrapper_take_in(NET_CONN *conn, int pump)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return 0;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->share) return 0;
  if (pump) __netlane_internal__share_pump_readable(data->share, STEP_DATAGRAMS);
  return 1;
}

/* 0 queued (and sent unless the bytes in flight are at their bound); -1
 * refused, nothing queued: no message, a message larger than the driver
 * carries, a full window (queue size - 1 messages unreleased) or no memory. */
static int send_rdm(NET_CONN *conn, const void *buf, int size)
{
  conn_data_t *data = conn_data(conn);
  if (data->listening) return -1;
  if (size <= 0 || !buf || size > __netlane_internal__largest_conn_message(conn->driver)) {
    poll(conn);
    return -1;
  }
  // A full window may have been freed by acknowledgements already waiting,
  // so take them in before refusing.
  if (__netlane_internal__engine_full(&data->engine)) {
    poll(conn);
    if (__netlane_internal__engine_full(&data->engine)) return -1;
  }
  if (__netlane_internal__engine_queue(&data->engine, buf, size) != 0) {
    poll(conn);
    return -1;
  }
  poll(conn);
  // Its resend is due some time from now: the sets holding it must know.
  __netlane_internal__waitset_notify(data);
  return 0;
}

/* A listening conn's channel carries connect requests, which are
 * poll_listen's alone: the rdm operations on it leave them where they are
 * and answer as with nothing waiting (send_rdm refuses). */

/* The next message's length after copying it into `buf`; 0 nothing waiting;
 * -1 the message is longer than `max`: its first `max` bytes are copied and
 * it stays queued. */
static int recv_rdm(NET_CONN *conn, void *buf, int max)
{
  conn_data_t *data = conn_data(conn);
  if (data->listening) return 0;
  poll(conn);
  const unsigned char *msg;
  int size = __netlane_internal__engine_peek(&data->engine, &msg);
  if (size == 0) return 0;
  if (size > max || !buf) {
    if (max > 0 && buf) memcpy(buf, msg, (size_t)max);
    return -1;
  }
  memcpy(buf, msg, (size_t)size);
  __netlane_internal__engine_release(&data->engine);
  // A packet parked for want of room may be taken now.
  if (data->engine.parked_len) __netlane_internal__waitset_notify(data);
  return size;
}

/* Length of the next message in order, 0 when none has arrived. */
static int query_rdm(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  if (data->listening) return 0;
  poll(conn);
  const unsigned char *msg;
  return __netlane_internal__engine_peek(&data->engine, &msg);
}

/* 1 the next message was discarded; 0 none waiting. */
static int ignore_rdm(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  if (data->listening) return 0;
  poll(conn);
  const unsigned char *msg;
  if (__netlane_internal__engine_peek(&data->engine, &msg) == 0) return 0;
  __netlane_internal__engine_release(&data->engine);
  return 1;
}

/* in_q: messages received and not handed out, in order or not; out_q:
 * messages queued and not released. Either may be NULL. Answers 0. */
static int conn_stats(NET_CONN *conn, int *in_q, int *out_q)
{
  conn_data_t *data = conn_data(conn);
  if (!data->listening) poll(conn);
  if (in_q) *in_q = __netlane_internal__engine_held(&data->engine);
  if (out_q) *out_q = __netlane_internal__engine_queued(&data->engine);
  return 0;
}

/* A test hook, kept out of the library's headers: starts a wrapper conn's
 * windows at other indexes, before any message has gone either way, so
 * that a stream can be watched across the wrap of the 32-bit index. */
void __netlane_internal__conn_start_indexes(NET_CONN *conn, uint32_t out_first, uint32_t in_first)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return;
  conn_data_t *data = conn_data(conn);
  if (data) __netlane_internal__windows_start(&data->engine.out, &data->engine.in, out_first, in_first);
}

int __netlane_internal__wrapper_figures(NET_CONN *conn, NET_CONN_FIGURES *figures)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return -1;
  conn_data_t *data = conn_data(conn);
  if (!data || !figures) return -1;
  const conn_engine_t *e = &data->engine;
  const resend_timer_t *timer = &e->out.timer;
  memset(figures, 0, sizeof *figures);
  figures->round_trip = timer->srtt8 < 0 ? -1 : (timer->srtt8 + 4) / 8;
  figures->round_trip_variation = timer->srtt8 < 0 ? -1 : (timer->rttvar4 + 2) / 4;
  figures->resend_wait = __netlane_internal__resend_wait(timer, 1);
  figures->messages_sent = e->out.sent;
  figures->messages_resent = e->out.resent;
  figures->datagrams_received = data->received;
  figures->dropped_window = e->dropped_window;
  figures->dropped_foreign = data->dropped_foreign;
  figures->dropped_malformed = data->dropped_malformed + e->dropped_malformed;
  figures->peer_silence = e->connected ? (int)(__netlane_timer_func() - e->last_heard) : -1;
  figures->peer_keepalives = e->keepalives_heard;
  figures->dead = e->dead;
  unsigned features;
  figures->proved = data->proved || (data->peer && __netlane_internal__share_peer_proved(data->peer, &features));
  return 0;
}

NET_DRIVER __netlane_internal__wrapper_driver = {
  "Wrapper driver",  /* name */
  NULL,  /* desc */
  0,  /* class */
  NULL,  /* detect */
  NULL,  /* init */
  NULL,  /* exit */
  NULL,  /* prepareaddress */
  NULL,  /* poll_prepareaddress */
  NULL,  /* init_channel */
  NULL,  /* destroy_channel */
  NULL,  /* update_target */
  NULL,  /* send */
  NULL,  /* recv */
  NULL,  /* query */
  init_conn,  /* init_conn */
  destroy_conn,  /* destroy_conn */
  listen,  /* listen */
  poll_listen,  /* poll_listen */
  connect,  /* connect */
  poll_connect,  /* poll_connect */
  send_rdm,  /* send_rdm */
  recv_rdm,  /* recv_rdm */
  query_rdm,  /* query_rdm */
  ignore_rdm,  /* ignore_rdm */
  conn_stats,  /* conn_stats */
  NULL,  /* load_config */
  __netlane_internal__load_conn_config,  /* load_conn_config */
  NULL,  /* conn_config */
  NULL,  /* wait_fds */
  NULL,  /* prepare_target */
  NULL  /* send_to */
};
