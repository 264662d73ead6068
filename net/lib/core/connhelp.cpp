// The wrapper driver: reliable, ordered conns for every driver that carries
// only channels. Each conn owns one channel of its driver; the protocol step
// that runs at the start of each operation takes in what arrived, gives
// each datagram to the conn engine (conn_engine.cpp, which does no I/O) and
// sends what the engine then has due. There is no thread and no timer of
// its own.
//
// The datagrams are drawn in conn_wire.h. The handshake's rules (and its
// flow between netlane peers and with design-following ones) are in
// handshake.cpp; connect, poll_connect and poll_listen here do its I/O.
#include <limits.h>
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
#include "binaddr.h"
#include "connhelp.h"
#include "connwin.h"
#include "cookie.h"
#include "handshake.h"
#include "inetaddr.h"
#include "internal.h"
#include "sharedport.h"
#include "waitset_internal.h"
#include "waitsys.h"

#define HEADER_SIZE CONN_HEADER_SIZE
#define MAX_DATAGRAM 16384     /* the protocol step's receive buffer */
#define SMALL_PACKET_LIMIT 512 /* channel packets of the Local and IPX classes */
/* At most this many datagrams are taken in per step (and per poll of a
 * connecting conn): enough that junk arriving between steps cannot crowd
 * out the peer's traffic, few enough that one call never spins on a
 * flooded channel. */
#define STEP_DATAGRAMS 64

/* Refused sends in a row after which one lets the processor go (send_rdm),
 * and send_rdm_held's answer for that refusal. */
#define SEND_REFUSALS_BEFORE_YIELD 64
#define SEND_REFUSED_YIELD 2

/* Room to receive a handshake datagram and still see that it was longer
 * than the longest it may be. */
#define HANDSHAKE_BUFFER 48

typedef struct conn_data_t {
  NET_CHANNEL *chan;
  hs_client_t hs;             /* connecting conns and clients: the handshake */
  long handshake_repeats;     /* handshake answers that reached it once connected */
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
  unsigned int last_read;  /* timer ms of the last step that read its datagrams */
  /* The wait round and ms of the last step that read every datagram there
   * was (0: none since), and the reads passed over since. Written under the
   * guard, atomically: a read that finds nothing tests them without it. */
  unsigned long quiet_round;
  unsigned int quiet_at;
  int quiet_skips;
  int refused_in_row;  /* sends refused for a full window since one went,
                          or since the processor was let go */
  int told;           /* the sets were told to look at the conn (tell_sets),
                          and none has looked at it since; or its only set
                          found it ready, and looks again before sleeping */
  /* The program's read found nothing, and nothing has stepped the conn
   * since: when its next step falls due (ns on the library's clock;
   * LLONG_MAX none), which a wait reckons with instead of looking again.
   * 0 while not so. Written under the guard, read without it. */
  long long dry_due;
  void *guard;        /* held by every operation on the conn: two threads'
                         waits may look at one conn at once */
} conn_data_t;

/* Holds a conn's guard for its life. */
struct conn_guard {
  void *m;
  explicit conn_guard(const conn_data_t *data) : m(data ? data->guard : NULL)
  {
    if (m) __netlane_internal__mutex_lock(m);
  }
  ~conn_guard()
  {
    if (m) __netlane_internal__mutex_unlock(m);
  }
};

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
  data->engine.datagram_max = __netlane_internal__largest_conn_message(drv) + HEADER_SIZE;
  if (__netlane_internal__mutex_create) __netlane_internal__mutex_create(&data->guard);
  *made = data;
  return 0;
}

/* The conn is connected from `now`: the peer counts as just heard. A conn
 * a listener made has its peer on the shared port; the other connected. */
static void mark_connected(conn_data_t *data, unsigned int now)
{
  __netlane_internal__engine_connected(&data->engine, now, data->peer == NULL);
  __netlane_internal__engine_agree(&data->engine, data->features);
}

static void free_conn_data(conn_data_t *data)
{
  if (data->guard && __netlane_internal__mutex_destroy) __netlane_internal__mutex_destroy(data->guard);
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
static void step(conn_data_t *data, unsigned int now, int read);
static void handshake_poll(conn_data_t *data, unsigned int now);
static void late_answer(conn_data_t *data, const unsigned char *buf, int len);

/* `sending`: the step of a send, which reads only when what it reads can
 * matter: the window is half full (acknowledgements free it), or the
 * timer has moved on since the last read (resends and the peer's silence
 * are reckoned in its ms). Between, a stream's sends would each read a
 * socket that holds nothing, or an acknowledgement the next read takes. */
static void poll(NET_CONN *conn, int sending = 0)
{
  // Until the handshake ends, the channel's datagrams belong to
  // poll_connect: taking them here would drop the connect reply.
  if (conn->status == NET_CONN_CONNECTING) return;
  conn_data_t *data = conn_data(conn);
  // The port's pump within the step reckons the same ms.
  __netlane_internal__time_hold();
  unsigned int now = __netlane_internal__now();
  int read = !sending || now != data->last_read ||
             2 * __netlane_internal__engine_queued(&data->engine) >= data->engine.out.queue_size;
  handshake_poll(data, now);
  __netlane_internal__io_hold();
  step(data, now, read);
  __netlane_internal__io_flush();
  __netlane_internal__time_release();
}

/* The next datagram from an accepted conn's peer, which the shared port
 * has filed, lent for the step (at most `want` borrowed at a time), taking
 * in more from the port when none is: NULL when none waits. */
static const unsigned char *next_filed(conn_data_t *data, port_loan_t *loan, int want, int *len)
{
  const unsigned char *d = __netlane_internal__share_lent(loan, len);
  if (d) return d;
  __netlane_internal__share_give_back(data->share, data->peer, loan);
  if (!__netlane_internal__share_borrow(data->share, data->peer, loan, want) &&
      (__netlane_internal__share_pump(data->share, STEP_DATAGRAMS) == 0 ||
       !__netlane_internal__share_borrow(data->share, data->peer, loan, want)))
    return NULL;
  return __netlane_internal__share_lent(loan, len);
}

static void step(conn_data_t *data, unsigned int now, int read)
{
  conn_engine_t *e = &data->engine;
  __atomic_store_n(&data->dry_due, 0, __ATOMIC_RELAXED);
  // Agreed at connect, or, for a peer whose proof came after its plain
  // request, found out since.
  if (e->features != data->features) __netlane_internal__engine_agree(e, data->features);
  static thread_local unsigned char buf[MAX_DATAGRAM];
  if (read) data->last_read = now;
  int drained = 0;
  port_loan_t loan = {NULL, NULL};
  for (int n = 0; read && n < STEP_DATAGRAMS && __netlane_internal__engine_ready(e); n++) {
    const unsigned char *dgram = buf;
    int len;
    if (data->peer) {
      if ((drained = !(dgram = next_filed(data, &loan, STEP_DATAGRAMS - n, &len)))) break;
      data->received++;
    } else {
      int foreign;
      len = __netlane_internal__io_read_own(data->chan, buf, (int)sizeof buf, &foreign);
      if ((drained = len == -2)) break;
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
    int taken = __netlane_internal__engine_input(e, dgram, len, now);
    if (taken == ENGINE_PARKED) break;
    // The accept of an admitted client's proof proves the conn; repeats are counted.
    if (taken == ENGINE_HANDSHAKE) late_answer(data, dgram, len);
  }
  if (data->peer) __netlane_internal__share_give_back(data->share, data->peer, &loan);
  if (e->heard && !data->heard) mark_heard(data);
  __netlane_internal__engine_flush(e, now, emit_io, &data->io);
  // Every datagram there was is read: the program's reads in this ms and
  // round may pass their step over (a read left to the poller found
  // nothing that counts). The count of passes runs on through the round,
  // since a read that skipped the socket finds it drained again.
  if (drained && !__netlane_internal__reads_deferred()) {
    unsigned long round = __netlane_internal__wait_round();
    if (data->quiet_round != round) __atomic_store_n(&data->quiet_skips, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&data->quiet_at, now, __ATOMIC_RELAXED);
    __atomic_store_n(&data->quiet_round, round, __ATOMIC_RELAXED);
  } else if (read) {
    __atomic_store_n(&data->quiet_round, 0UL, __ATOMIC_RELAXED);
  }
}

/* Datagrams for the conn that a step takes without reading a socket:
 * filed by its shared port while another conn took the port's datagrams
 * in, or kept by the last read of its own channel. The poller sees
 * neither. */
static int input_waiting(conn_data_t *data)
{
  if (data->peer) return __netlane_internal__share_has_input(data->share, data->peer);
  return __netlane_internal__inet_channel(data->chan) && __netlane_internal__inet_stashed(data->chan);
}

/* Whether a read may pass over the step by the round and ms of the last
 * step that read every datagram there was; counts the pass. Without the
 * guard as well. */
static int pass_quiet_read(conn_data_t *data)
{
  unsigned long round = __netlane_internal__wait_round();
  if (round == 0 || __atomic_load_n(&data->quiet_round, __ATOMIC_RELAXED) != round ||
      __atomic_load_n(&data->quiet_at, __ATOMIC_RELAXED) != __netlane_internal__now())
    return 0;
  return __atomic_fetch_add(&data->quiet_skips, 1, __ATOMIC_RELAXED) < WAIT_ROUND_SKIPS;
}

/* The step of a program's read, passed over when it would find and do
 * nothing: the last step read every datagram there was in this ms and
 * wait round, the conn's port or socket has filed or kept nothing for it
 * since, and no packet waits for room. At most WAIT_ROUND_SKIPS in a row,
 * as a read passes over a socket found empty. Outside a wait's round
 * (a program that never waits) every read steps, but one that finds a
 * message in order in the ms of the last step's read. */
static void read_poll(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  int settled = conn->status == NET_CONN_CONNECTED && data->engine.parked_len == 0 &&
                data->engine.features == data->features;
  // Another driver's channel reads whatever the round.
  int reads_anyway = !data->peer && !__netlane_internal__inet_channel(data->chan);
  if (settled && !reads_anyway && !input_waiting(data) && pass_quiet_read(data)) return;
  // A message already in order is handed out without another step in the
  // ms the last one read: a burst of reads takes the port's datagrams in
  // once a ms or once the messages run out, not once a message.
  const unsigned char *msg;
  if (settled && data->last_read == __netlane_internal__now() && __netlane_internal__engine_peek(&data->engine, &msg) > 0)
    return;
  poll(conn);
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
 * port), a plain request or an admittable cookie request gets a conn
 * sharing the port (proved, unproved, or admitted: unproved until its
 * proof comes), the accept, the plain reply or the admit from the port,
 * and that conn in `newconn`: answers 1. A new pair beyond the bounds on
 * silent conns, or for an address in use, is dropped without a reply (a
 * cookie request gets the plain cookie, which keeps nothing), so requests
 * nobody follows up cannot make the listener hold a conn each. Answers 0
 * when no conn was made. */
static int poll_listen(NET_CONN *conn, NET_CONN *newconn)
{
  conn_data_t *data = conn_data(conn);
  if (!data->listening) return 0;
  __netlane_internal__share_pump(data->share, STEP_DATAGRAMS);

  unsigned char buf[WIRE_PROOF_SIZE];
  char from[NET_MAX_ADDRESS_LENGTH];
  int got;
  for (int n = 0; n < STEP_DATAGRAMS && (got = __netlane_internal__share_next_request(data->share, buf, from)); n++) {
    wire_kind kind = (wire_kind)got;
    unsigned int conn_id = __netlane_internal__wire_request_id(buf);
    wire_hello_t hello;
    __netlane_internal__wire_read_hello(buf, kind, &hello);
    port_peer_t *known = __netlane_internal__share_find(data->share, from, conn_id);
    if (known) {
      // Made meanwhile: answered by the port's rules, as if it had been
      // known when it came.
      hs_reply reply = __netlane_internal__hs_port_rule(kind, (int)hello.version,
                                                        (hs_pair)__netlane_internal__share_pair(data->share, known),
                                                        1, 1);
      if (reply == HS_REPLY_PROVE) __netlane_internal__share_prove(data->share, known, &hello);
      if (reply == HS_REPLY_COOKIE) __netlane_internal__share_send_cookie(data->share, from, &hello);
      else if (reply != HS_REPLY_NONE) __netlane_internal__share_answer(data->share, known);
      continue;
    }
    conn_data_t *fresh;
    if (create_conn_data(newconn->driver, &fresh) != 0) return 0;
    int took_over;
    port_peer_t *peer = __netlane_internal__share_add(data->share, from, conn_id,
                                                      __netlane_internal__get_conn_config(conn->driver), fresh,
                                                      &hello, __netlane_internal__hs_listen_makes(kind), &took_over);
    if (!peer) {
      free_conn_data(fresh);
      if (__netlane_internal__hs_listen_refused(kind) == HS_REPLY_COOKIE)
        __netlane_internal__share_send_cookie(data->share, from, &hello);
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
  __netlane_internal__hs_expect_host(conn_data(conn)->expect_host, target,
                                     NET_DRIVER_CLASS(conn->driver) == NET_CLASS_INTERNET);
}

/* How long after the last request a connecting conn asks again. */
static int request_wait(const conn_data_t *data)
{
  return __netlane_internal__hs_client_wait(&data->hs, data->engine.out.timer.cap);
}

/* Sends what the handshake's rules gave: 0 all sent, else the first
 * failure's answer. */
static int send_handshake(conn_data_t *data, const hs_send_t *out)
{
  int failed = 0;
  for (int i = 0; i < out->count; i++) {
    int answer = __netlane_internal__io_send(&data->io, out->bytes[i], out->len[i]);
    if (answer != 0 && failed == 0) failed = answer;
  }
  return failed;
}

/* 0 request sent; 1 the target cannot be assigned; 2 the request cannot be
 * sent. A netlane client asks for a cookie first; without random bytes for
 * its nonce it asks only the plain way. */
static int connect(NET_CONN *conn, const char *target)
{
  conn_data_t *data = conn_data(conn);
  unsigned char nonce[WIRE_NONCE_SIZE];
  int have_nonce = __netlane_internal__random_bytes(nonce, WIRE_NONCE_SIZE) == 0;
  if (net_assigntarget(data->chan, target) != 0) return 1;
  expect_reply_from(conn, target);
  hs_send_t out;
  __netlane_internal__hs_client_start(&data->hs, next_conn_id(),
                                      __netlane_internal__conn_offered(__netlane_internal__get_conn_config(conn->driver),
                                                                       __netlane_internal__inet_channel(data->chan)),
                                      have_nonce ? nonce : NULL, __netlane_timer_func(), &out);
  if (send_handshake(data, &out) != 0) return 2;
  __netlane_internal__waitset_notify(data);
  return 0;
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

/* 1 connected: the plain reply to the plain request, a netlane listener's
 * admit of the cookie request, or its accept of the proof came, and the
 * channel now targets its sender. 0 not yet. A cookie makes the conn send
 * its proof to the cookie's sender, and from then on only the accept
 * completes it. Other datagrams waiting are consumed; a request goes out
 * again only once the resend wait (the shorter fallback wait before the
 * first plain request) has passed since the last one, however often the
 * caller polls, so a connecting conn never floods a listener that is slow
 * to answer. */
static int poll_connect(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  conn_guard held(data);
  unsigned int now = __netlane_internal__now();
  unsigned char buf[HANDSHAKE_BUFFER];
  char from[NET_MAX_ADDRESS_LENGTH];
  hs_send_t out;
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
    hs_answer_t answer;
    if (len > (int)sizeof buf) answer.verdict = HS_NOTHING;
    else __netlane_internal__hs_client_judge(&data->hs, buf, len, &answer);
    if (answer.verdict == HS_PROVE && net_assigntarget(data->chan, from) == 0) {
      // Proved to the listener that sent it, whatever address was asked.
      __netlane_internal__hs_client_prove(&data->hs, &answer, now, &out);
      send_handshake(data, &out);
      continue;
    }
    if ((answer.verdict == HS_CONNECTED || answer.verdict == HS_ADMITTED) &&
        connected_to(conn, from, now, answer.since, answer.once)) {
      data->proved = __netlane_internal__hs_client_connected(&data->hs, &answer, now, &data->features);
      // An admitted client learns what was agreed only from the accept of
      // its proof, and the listener may send as agreed from the proof on.
      if (answer.verdict == HS_ADMITTED && (data->hs.asked.features & WIRE_FEATURE_WIDE_WINDOWS))
        __netlane_internal__in_may_grow(&data->engine.in, CONN_WIDE_SLOTS);
      return 1;
    }
    data->dropped_malformed++;
  }
  __netlane_internal__hs_client_due(&data->hs, now, data->engine.out.timer.cap, &out);
  send_handshake(data, &out);
  return 0;
}

/* 1 while messages are queued and not all acknowledged. */
static int has_outgoing(const conn_data_t *data)
{
  return data->engine.out.base_index != data->engine.out.next_index;
}

/* The handshake's part of a connected conn's poll: an accepted conn whose
 * proof came after its conn was made is proved from then on, and one whose
 * address a newer client proved is gone; an admitted client sends its
 * proof ahead of its first message. */
static void peer_poll(conn_data_t *data)
{
  if (!data->proved && __netlane_internal__share_peer_proved(data->peer, &data->features)) data->proved = 1;
  if (__netlane_internal__share_peer_replaced(data->peer)) data->engine.dead = 1;
}

static void handshake_poll(conn_data_t *data, unsigned int now)
{
  if (data->peer) {
    peer_poll(data);
    return;
  }
  hs_send_t out;
  if (__netlane_internal__hs_client_proof_due(&data->hs, now, has_outgoing(data), data->engine.out.timer.cap, &out))
    send_handshake(data, &out);
}

/* A cookie, admit or accept that reached the connected conn: the accept
 * of an admitted client's proof proves it; any other is a repeat, counted. */
static void late_answer(conn_data_t *data, const unsigned char *buf, int len)
{
  unsigned features;
  if (!data->peer && __netlane_internal__hs_client_late(&data->hs, buf, len, &features)) {
    data->proved = 1;
    data->features = features;
    return;
  }
  data->handshake_repeats++;
}

/* wrapper_wait_info with the conn's guard held. */
static int wait_info_held(NET_CONN *conn, conn_data_t *data, int *fds, int max, int *nfds, int *due_ms)
{
  *nfds = __netlane_internal__channel_wait_fds(data->chan, fds, max);
  unsigned int now = __netlane_internal__now();
  if (conn->status == NET_CONN_CONNECTING) {
    int32_t left = (int32_t)request_wait(data) + 1 - (int32_t)(now - data->hs.request_time);
    *due_ms = left < 0 ? 0 : (int)left;
  } else if (conn->status == NET_CONN_CONNECTED) {
    *due_ms = __netlane_internal__engine_next_due(&data->engine, now);
    // An admitted client's proof, which the next step sends.
    if (!data->peer) {
      int proof = __netlane_internal__hs_client_proof_wait(&data->hs, now, has_outgoing(data), data->engine.out.timer.cap);
      if (proof >= 0 && (*due_ms < 0 || proof < *due_ms)) *due_ms = proof;
    }
    if (input_waiting(data)) *due_ms = 0;
  }
  if (conn->status != NET_CONN_LISTENING || !data->listening) return 0;
  // A port with a descriptor is the poller's to watch: its wake files what
  // came, and a request queued tells the listener's sets. Only a port
  // without one is read by the look.
  if (*nfds == 0) __netlane_internal__share_pump(data->share, STEP_DATAGRAMS);
  return __netlane_internal__share_has_requests(data->share);
}

int __netlane_internal__wrapper_wait_info(NET_CONN *conn, int *fds, int max, int *nfds, int *due_ms)
{
  *nfds = 0;
  *due_ms = -1;
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return -1;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->chan) return 0;
  conn_guard held(data);
  data->told = 0;
  return wait_info_held(conn, data, fds, max, nfds, due_ms);
}

int __netlane_internal__wrapper_look(NET_CONN *conn, int *fds, int max, int *nfds, int *due_ms, int keeps_ready)
{
  *nfds = 0;
  *due_ms = -1;
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn ||
      conn->status != NET_CONN_CONNECTED)
    return -1;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->chan || data->listening) return -1;
  conn_guard held(data);
  // This look sees all the sets were told of.
  data->told = 0;
  const unsigned char *msg;
  // A proved conn of a shared port that the port has filed nothing for,
  // and that has nothing due, has nothing to take in or send: its step is
  // passed over, when the port has a descriptor. What reaches the port
  // meanwhile makes that readable to the poller, whose wake files it and
  // tells this conn's sets (a port without one is read by the looks).
  conn_engine_t *e = &data->engine;
  bool passed = false;
  if (data->peer && data->proved && e->parked_len == 0 && e->features == data->features && !input_waiting(data)) {
    peer_poll(data);
    wait_info_held(conn, data, fds, max, nfds, due_ms);
    passed = *due_ms != 0 && *nfds > 0;
  }
  if (!passed) {
    poll(conn);
    wait_info_held(conn, data, fds, max, nfds, due_ms);
  }
  int size = __netlane_internal__engine_peek(e, &msg);
  // The program is answered and reads it, and mostly sends: the set looks
  // again first (or passes over a conn then read dry, whose read tells it
  // anew), so until then there is no one to tell, and no registry to lock.
  if (size != 0 && keeps_ready) data->told = 1;
  return size;
}

int __netlane_internal__wrapper_take_in(NET_CONN *conn, int pump)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return 0;
  conn_data_t *data = conn_data(conn);
  if (!data || !data->share) return 0;
  if (pump) __netlane_internal__share_pump_readable(data->share, STEP_DATAGRAMS);
  return 1;
}

void __netlane_internal__wrapper_port_quiet(NET_CONN *conn)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return;
  conn_data_t *data = conn_data(conn);
  if (data && data->share) __netlane_internal__share_quiet(data->share);
}

/* With the guard held: the wait sets holding the conn look at it before
 * they sleep. Once told, until one has looked, they need not be told
 * again: that look sees every change until then, so a burst of sends or
 * reads tells them once. */
static void tell_sets(conn_data_t *data)
{
  if (data->told) return;
  data->told = 1;
  __netlane_internal__waitset_notify(data);
}

/* With the guard held, the time held and the program's read just found
 * nothing: a proved conn of a shared port or of an Internet channel of its
 * own, whose steps need nothing but what its port files or its socket
 * holds, keeps when its next step falls due (the step just taken, or the
 * last one, reckoned it), so that a wait need not look at it until
 * something changes. Until a set looks, or the conn steps again, any send
 * must tell the sets anew. */
static void mark_dry(NET_CONN *conn, conn_data_t *data)
{
  conn_engine_t *e = &data->engine;
  if (!(data->peer || __netlane_internal__inet_channel(data->chan)) || !data->proved || e->parked_len != 0 ||
      e->features != data->features || conn->status != NET_CONN_CONNECTED || input_waiting(data))
    return;
  int due = __netlane_internal__engine_next_due(e, __netlane_internal__now());
  if (due == 0) return;
  data->told = 0;
  long long at = due < 0 ? LLONG_MAX : __netlane_internal__clock() + due * 1000000LL;
  __atomic_store_n(&data->dry_due, at, __ATOMIC_RELEASE);
}

int __netlane_internal__wrapper_dry(NET_CONN *conn, long long now, int *due_ms)
{
  if (!conn || !conn->driver || conn->driver->init_conn != __netlane_internal__wrapper_driver.init_conn) return 0;
  conn_data_t *data = conn_data(conn);
  if (!data) return 0;
  long long at = __atomic_load_n(&data->dry_due, __ATOMIC_SEQ_CST);
  if (at == 0 || at <= now) return 0;
  // Its port files without stepping it. Its own channel is read only by
  // its steps: what the socket holds the poller tells.
  if (data->peer && (input_waiting(data) || __netlane_internal__share_peer_replaced(data->peer))) return 0;
  // Rounded up: a look a little early by the poller's ms would be a look
  // for nothing.
  long long ms = (at - now + 999999) / 1000000;
  *due_ms = at == LLONG_MAX ? -1 : ms > INT_MAX ? INT_MAX : (int)ms;
  return 1;
}

/* With the guard held: as send_rdm, but SEND_REFUSED_YIELD for a refusal
 * after which the processor is let go. */
static int send_rdm_held(NET_CONN *conn, const void *buf, int size)
{
  conn_data_t *data = conn_data(conn);
  if (data->listening) return -1;
  if (size <= 0 || !buf || size > __netlane_internal__largest_conn_message(conn->driver)) {
    poll(conn);
    return -1;
  }
  // A full window may have been freed by acknowledgements already waiting,
  // so take them in before refusing, or before a window that may grow
  // does.
  if (__netlane_internal__engine_queued(&data->engine) >= data->engine.out.queue_size - 1) {
    poll(conn);
    if (__netlane_internal__engine_full(&data->engine)) {
      if (++data->refused_in_row < SEND_REFUSALS_BEFORE_YIELD) return -1;
      data->refused_in_row = 0;
      return SEND_REFUSED_YIELD;
    }
  }
  data->refused_in_row = 0;
  if (__netlane_internal__engine_queue(&data->engine, buf, size) != 0) {
    poll(conn);
    return -1;
  }
  // A conn the program had read dry stays so when the send's step brings
  // it nothing to read: what went out asks a wait for its resend's due,
  // which the mark reckons, not for a look (an answer's echo would else
  // cost the next wait a step, and the read after it another).
  // The step and the mark reckon one reading of the clock.
  int was_dry = __atomic_load_n(&data->dry_due, __ATOMIC_RELAXED) != 0;
  netlane_time_held held_time;
  poll(conn, 1);
  const unsigned char *msg;
  if (was_dry && __netlane_internal__engine_peek(&data->engine, &msg) == 0) mark_dry(conn, data);
  // Its resend is due some time from now: the sets holding it must know.
  tell_sets(data);
  return 0;
}

/* 0 queued (and sent unless the bytes in flight are at their bound); -1
 * refused, nothing queued: no message, a message larger than the driver
 * carries, a full window (queue size - 1 messages unreleased) or no memory.
 * A program that retries a refused send at once keeps the processor from a
 * peer that may share it, which is what would free the window: every
 * SEND_REFUSALS_BEFORE_YIELD refusals in a row, the send lets others of
 * this processor run first (no wait when none is runnable). */
static int send_rdm(NET_CONN *conn, const void *buf, int size)
{
  int r;
  {
    conn_guard held(conn_data(conn));
    r = send_rdm_held(conn, buf, size);
  }
  if (r != SEND_REFUSED_YIELD) return r;
  __netlane_internal__yield();
  return -1;
}

/* Without the guard: whether a read would pass over the step and find
 * nothing, as the read that ends a program's loop of reads mostly does.
 * The conn was read dry, nothing has stepped it or reached it since, and
 * its last step's read was in this wait round and ms. */
static int reads_nothing(NET_CONN *conn, conn_data_t *data)
{
  // Most reads that take a message find it not dry: no clock to read.
  if (__atomic_load_n(&data->dry_due, __ATOMIC_RELAXED) == 0) return 0;
  netlane_time_held held_time;
  int due;
  return __netlane_internal__wrapper_dry(conn, __netlane_internal__clock(), &due) && pass_quiet_read(data);
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
  if (reads_nothing(conn, data)) return 0;
  conn_guard held(data);
  if (data->listening) return 0;
  // Whether the wait's round lasts, and the step's time: one reading.
  netlane_time_held held_time;
  read_poll(conn);
  const unsigned char *msg;
  int size = __netlane_internal__engine_peek(&data->engine, &msg);
  if (size == 0) {
    mark_dry(conn, data);
    return 0;
  }
  if (size > max || !buf) {
    if (max > 0 && buf) memcpy(buf, msg, (size_t)max);
    return -1;
  }
  memcpy(buf, msg, (size_t)size);
  __netlane_internal__engine_release(&data->engine);
  // A packet parked for want of room may be taken now (a look at a conn
  // with packets parked always steps it). Else the last message taken
  // leaves the conn read dry, as a read that then found nothing would.
  if (data->engine.parked_len) tell_sets(data);
  else if (__netlane_internal__engine_peek(&data->engine, &msg) == 0) mark_dry(conn, data);
  return size;
}

/* Length of the next message in order, 0 when none has arrived. */
static int query_rdm(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  conn_guard held(data);
  if (data->listening) return 0;
  read_poll(conn);
  const unsigned char *msg;
  return __netlane_internal__engine_peek(&data->engine, &msg);
}

/* 1 the next message was discarded; 0 none waiting. */
static int ignore_rdm(NET_CONN *conn)
{
  conn_data_t *data = conn_data(conn);
  conn_guard held(data);
  if (data->listening) return 0;
  read_poll(conn);
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
  conn_guard held(data);
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
  conn_guard held(data);
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
  figures->dead = e->dead || (data->peer && __netlane_internal__share_peer_replaced(data->peer));
  unsigned features;
  figures->proved = data->proved || (data->peer && __netlane_internal__share_peer_proved(data->peer, &features));
  figures->handshake_repeats = data->handshake_repeats;
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
