// The chat's host and client conns over netlane's UDP driver (driver 4):
// "" binds the host's listening conn to its configured port (24785), ":5000"
// to port 5000; a client connects to "192.168.0.5" or "192.168.0.5:5000".
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include "network.h"
#include "menu.h"
#include "packet.h"
#include "seal.h"
#include "timers.h"

chat_net chat_net_ops = {
  net_send_rdm,     /* send */
  net_receive_rdm,  /* receive */
  net_query_rdm,    /* query */
  net_ignore_rdm,   /* ignore */
  net_closeconn,    /* close */
  net_poll_listen,  /* poll_listen */
  net_conn_figures, /* figures */
};

// Not named `listen`: a global of that name would take the place of the
// sockets call of the same name in the linked program.
NET_CONN *listen_conn = NULL;
NET_CONN *client_conn[MAX_CLIENTS];
int client_num = 0;
NET_CONN *server_conn = NULL;
bool connected = false;

int (*connect_wait_hook)(const char *peer, long remaining_ms) = NULL;
int connect_poll_ms = 200;
int connect_time_limit_ms = 10000;
int join_time_limit_ms = 5000;
int newest_client = -1;

// Accepted conns that have not spoken yet. Anyone can have the library
// accept a conn with one datagram, so a conn gets a client place only once
// its first message (the joiner's "ReJo") has arrived; one that stays
// silent past join_time_limit_ms is closed. When all are taken, the oldest
// makes way for a new one, so silent conns never lock a joiner out.
#define WAITING_MAX 16
static NET_CONN *waiting_conn[WAITING_MAX];
static long waiting_since[WAITING_MAX];
bool port_field_refused = false;

// How often the connect wait draws its frame and looks at the keys.
#define CONNECT_FRAME_MS 50

// Polls of the listening conn per step: 3840 datagrams a second at 60 steps.
#define LISTEN_POLLS 64

// ":" + "65535" + terminator, or an address of up to 45 characters in
// brackets + ":65535" + terminator.
#define BIND_TEXT_SIZE  8
#define PEER_TEXT_SIZE  (IP_ADDY_SIZE + 9)

// Packets that a conn refused because its window of unacknowledged messages
// was full wait here and go out in later steps. A join announces every user
// to every conn in one step, and two joins in one step overrun the window
// of a full chat: without the backlog a newcomer could lose its "You!".
//
// Each conn's backlog keeps one queue per origin: the client conn whose
// packet made the host send (a relayed line, an echo, an announcement) or
// the host itself. The queues take turns when the window opens, so one
// participant's flood delays another's lines by a turn at most; a full
// queue refuses only its own origin's packet. Every chat packet has all its
// content in the first PACKET_CLEAR bytes and zeros after them, so only
// those bytes are kept.
#define BACKLOG_ORIGINS (MAX_CLIENTS + 1)
#define BACKLOG_DEPTH   16   // a join's "Join" packets and its "You!" fit
typedef struct origin_queue_t {
  int first, count;
  char packets[BACKLOG_DEPTH][PACKET_CLEAR];
} origin_queue_t;
typedef struct backlog_t {
  NET_CONN *conn;   // NULL: unused
  int waiting;      // packets in all queues
  int turn;         // the origin whose queue goes next
  origin_queue_t queues[BACKLOG_ORIGINS];
} backlog_t;
static backlog_t backlogs[MAX_CLIENTS];
int backlog_dropped = 0;

static backlog_t *backlog_of(NET_CONN *conn)
{
  for (backlog_t &b : backlogs)
    if (b.conn == conn)
      return &b;
  return NULL;
}

static backlog_t *new_backlog(NET_CONN *conn)
{
  backlog_t *b = backlog_of(NULL);
  if (b) {
    b->conn = conn;
    b->waiting = 0;
    b->turn = 0;
    for (origin_queue_t &q : b->queues)
      q.first = q.count = 0;
  }
  return b;
}

// Before a conn is closed: the record may be reused for a new conn.
static void backlog_forget(NET_CONN *conn)
{
  backlog_t *b = conn ? backlog_of(conn) : NULL;
  if (b)
    b->conn = NULL;
}

static void backlog_clear()
{
  for (backlog_t &b : backlogs)
    b.conn = NULL;
}

void close_client(int index)
{
  if (index < 0 || index >= MAX_CLIENTS || !client_conn[index])
    return;
  backlog_forget(client_conn[index]);
  seal_forget(client_conn[index]);
  chat_net_ops.close(client_conn[index]);
  client_conn[index] = NULL;
}

// Sends the oldest packet of the next origin in turn; 0 when the conn
// refused it (or nothing waits).
static int send_next(backlog_t *b)
{
  for (int n = 0; n < BACKLOG_ORIGINS; n++) {
    int origin = (b->turn + n) % BACKLOG_ORIGINS;
    origin_queue_t *q = &b->queues[origin];
    if (q->count == 0)
      continue;
    char packet[PACKET_SIZE] = {0};
    memcpy(packet, q->packets[q->first], PACKET_CLEAR);
    if (seal_send(b->conn, packet) != 0)
      return 0;
    q->first = (q->first + 1) % BACKLOG_DEPTH;
    q->count--;
    b->waiting--;
    b->turn = (origin + 1) % BACKLOG_ORIGINS;
    return 1;
  }
  return 0;
}

void backlog_flush()
{
  for (backlog_t &b : backlogs) {
    if (!b.conn)
      continue;
    while (b.waiting > 0 && send_next(&b)) {
    }
    if (b.waiting == 0)
      b.conn = NULL;
  }
}

int send_packet(NET_CONN *conn, const char *packet, int origin)
{
  if (!conn || origin < 0 || origin >= BACKLOG_ORIGINS)
    return -1;
  backlog_t *b = backlog_of(conn);
  if (!b && seal_send(conn, packet) == 0)
    return 0;
  if (!b)
    b = new_backlog(conn);
  origin_queue_t *q = b ? &b->queues[origin] : NULL;
  if (!q || q->count == BACKLOG_DEPTH) {
    backlog_dropped++;
    return -1;
  }
  memcpy(q->packets[(q->first + q->count) % BACKLOG_DEPTH], packet, PACKET_CLEAR);
  q->count++;
  b->waiting++;
  return 0;
}

void Init_network_stuff()
{
  net_init();
  net_loadconfig(NULL);
  net_detectdrivers(net_drivers_all);
  net_initdrivers(net_drivers_all);
}

int port_text_ok(const char *port)
{
  if (port[0] == 0)
    return 1;
  long value = 0;
  for (const char *c = port; *c; c++) {
    if (*c < '0' || *c > '9' || c - port >= 5)
      return 0;
    value = value * 10 + (*c - '0');
  }
  return value >= 1 && value <= 65535;
}

// The PORT field as the suffix of an address text: ":5000", or "" when the
// field is empty. The one place the field is checked: 0 and
// port_field_refused set when it is bad.
static int typed_port(char suffix[BIND_TEXT_SIZE])
{
  port_field_refused = !port_text_ok(port_num);
  if (port_field_refused)
    return 0;
  snprintf(suffix, BIND_TEXT_SIZE, "%s%s", port_num[0] ? ":" : "", port_num);
  return 1;
}

int Server_init()
{
  client_num = 0;
  newest_client = -1;
  for (int i = 0; i < MAX_CLIENTS; i++)
    client_conn[i] = NULL;
  for (NET_CONN *&conn : waiting_conn)
    conn = NULL;
  backlog_clear();

  // The empty text, not the absent one: the driver's configured port.
  char binding[BIND_TEXT_SIZE];
  if (!typed_port(binding))
    return 1;
  listen_conn = net_openconn(NET_DRIVER_WSOCK_WIN, binding);
  if (!listen_conn)
    return 1;
  if (net_listen(listen_conn) != 0)
    return 2;
  return 0;
}

static void close_waiting(int w)
{
  seal_forget(waiting_conn[w]);
  chat_net_ops.close(waiting_conn[w]);
  waiting_conn[w] = NULL;
}

static void close_all_waiting()
{
  for (int w = 0; w < WAITING_MAX; w++)
    if (waiting_conn[w])
      close_waiting(w);
}

static void add_waiting(NET_CONN *conn, long now)
{
  int slot = 0;
  for (int w = 0; w < WAITING_MAX; w++) {
    if (!waiting_conn[w]) {
      slot = w;
      break;
    }
    if (waiting_since[w] < waiting_since[slot])
      slot = w;
  }
  if (waiting_conn[slot])
    close_waiting(slot);
  waiting_conn[slot] = conn;
  waiting_since[slot] = now;
}

// A place closed conns have left, else the next unused one; -1 when full.
static int free_place()
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
    if (!client_conn[i])
      return i;
  return client_num < MAX_CLIENTS ? client_num : -1;
}

int Sever_listen_for_new_client()
{
  long now = clock_ms();
  for (int w = 0; w < WAITING_MAX; w++)
    if (waiting_conn[w] && now - waiting_since[w] >= join_time_limit_ms)
      close_waiting(w);

  // Each poll takes one datagram from the listening port, and answers
  // nothing for junk as for an empty port: polling several times a step
  // keeps junk from queueing up ahead of a real connect request.
  if (listen_conn) {
    for (int n = 0; n < LISTEN_POLLS; n++) {
      NET_CONN *conn = chat_net_ops.poll_listen(listen_conn);
      if (conn && seal_host_blocked(conn)) {
        chat_net_ops.close(conn);  // a key is being guessed from there
        break;
      }
      if (conn) {
        add_waiting(conn, now);
        break;
      }
    }
  }

  // Every waiting conn is polled, also while no place is free: that takes
  // in what its peer sent, so the library stops counting it as silent.
  int place = free_place(), speaker = -1;
  // In a keyed chat only a conn whose first "Seal" opened has spoken.
  for (int w = 0; w < WAITING_MAX; w++) {
    if (!waiting_conn[w])
      continue;
    int spoke = seal_keyed() ? seal_admit(waiting_conn[w]) : chat_net_ops.query(waiting_conn[w]) != 0;
    if (spoke < 0)
      waiting_conn[w] = NULL;  // refused: the seal layer closes it
    else if (spoke && speaker < 0)
      speaker = w;
  }
  if (place >= 0 && speaker >= 0) {
    int w = speaker;
    client_conn[place] = waiting_conn[w];
    waiting_conn[w] = NULL;
    if (place == client_num)
      client_num++;
    newest_client = place;
    return 1;
  }
  return 0;
}

int peer_silence(NET_CONN *conn)
{
  NET_CONN_FIGURES f;
  if (!conn || !chat_net_ops.figures || chat_net_ops.figures(conn, &f) != 0)
    return -1;
  // A peer that has left what it was sent unacknowledged for so long that
  // its conn counts it as gone has gone, whatever its keep-alive habit.
  if (f.dead)
    return f.peer_silence > PEER_GONE_MS ? f.peer_silence : PEER_GONE_MS;
  // A peer that sends no keep-alives (an older program, or keep-alives
  // turned off) may be quiet for as long as its user is: never gone.
  return f.peer_keepalives > 0 ? f.peer_silence : -1;
}

// Whether every conn has had all it was sent acknowledged.
static bool all_delivered(NET_CONN **conns, int count)
{
  for (int i = 0; i < count; i++) {
    int out_q = 0;
    if (conns[i] && net_conn_stats(conns[i], NULL, &out_q) == 0 && out_q > 0)
      return false;
  }
  return true;
}

void say_bye(int chat_type)
{
  char bye[PACKET_SIZE] = {'B', 'y', 'e', '!'};
  NET_CONN **conns = chat_type == 1 ? client_conn : &server_conn;
  int count = chat_type == 1 ? client_num : 1;
  for (int i = 0; i < count; i++)
    if (conns[i])
      seal_send(conns[i], bye);
  // Only real conns are waited for: the linger runs their protocol steps.
  if (chat_net_ops.send != net_send_rdm)
    return;
  long start = clock_ms();
  while (!all_delivered(conns, count) && clock_ms() - start < BYE_LINGER_MS)
    wait_ms(5);
}

void Server_exit()
{
  backlog_clear();
  close_all_waiting();
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++) {
    if (client_conn[i])
      chat_net_ops.close(client_conn[i]);
    client_conn[i] = NULL;
  }
  if (listen_conn)
    chat_net_ops.close(listen_conn);
  listen_conn = NULL;
  client_num = 0;
  seal_end();
}

int Client_init(const char *ip_address)
{
  server_conn = NULL;
  backlog_clear();
  char port[BIND_TEXT_SIZE];
  if (!typed_port(port))
    return 1;

  // A typed PORT reaches the conn unless the address names its own port
  // ("10.0.0.5:5000", "[2001:db8::7]:5000"). A bare IPv6 address ("two or
  // more colons") gets the brackets that keep it apart from the port.
  char peer[PEER_TEXT_SIZE];
  int colons = 0;
  for (const char *c = ip_address; *c; c++)
    colons += *c == ':';
  const char *close = strchr(ip_address, ']');
  if (ip_address[0] == '[' ? !(close && close[1] == ':') : colons == 0)
    snprintf(peer, sizeof peer, "%.*s%s", IP_ADDY_SIZE - 1, ip_address, port);
  else if (ip_address[0] != '[' && colons >= 2)
    snprintf(peer, sizeof peer, "[%.*s]%s", IP_ADDY_SIZE - 1, ip_address, port);
  else
    snprintf(peer, sizeof peer, "%.*s", IP_ADDY_SIZE - 1, ip_address);

  server_conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  if (!server_conn)
    return 1;
  if (net_connect(server_conn, peer) != 0)
    return 2;

  // The wrapper never reports a host that does not answer, so the wait has
  // its own limit; each poll may send the connect request again.
  long start = clock_ms();
  for (;;) {
    int result = net_poll_connect(server_conn);
    if (result > 0)
      return 0;
    if (result < 0)
      return 3;
    // The frame and the Esc key are looked at more often than the conn is
    // polled, so the wait answers a key at once.
    long next_poll = clock_ms() + connect_poll_ms;
    do {
      long now = clock_ms();
      if (now - start >= connect_time_limit_ms)
        return 3;
      if (connect_wait_hook && connect_wait_hook(peer, connect_time_limit_ms - (now - start)))
        return 4;
      long left = next_poll - now;
      wait_ms(left > CONNECT_FRAME_MS ? CONNECT_FRAME_MS : (left > 0 ? (int)left : 0));
    } while (clock_ms() < next_poll);
  }
}

void Client_exit()
{
  backlog_clear();
  if (server_conn)
    chat_net_ops.close(server_conn);
  server_conn = NULL;
  connected = false;
  seal_end();
}
