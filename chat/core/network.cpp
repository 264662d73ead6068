// The chat's host and client conns over netlane's UDP driver (driver 4):
// "" binds the host's listening conn to its configured port (24785), ":5000"
// to port 5000; a client connects to "192.168.0.5" or "192.168.0.5:5000".
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include "network.h"
#include "fields.h"
#include "packet.h"
#include "seal.h"
#include "timers.h"

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

// Accepted conns that have not asked to join yet. Anyone can have the
// library accept a conn with one datagram, and any message is easy to
// send, so a conn gets a client place only with its "ReJo" (what it sends
// before that is dropped); one without a "ReJo" for join_time_limit_ms is
// closed. When all are taken, the oldest conn of the peer host holding the
// most makes way for a new one, so a flood never locks a joiner out. As
// many conns as the listening conn's bounds on silent conns allow.
static NET_CONN *waiting_conn[WAITING_MAX];
static long waiting_since[WAITING_MAX];
static bool waiting_asked[WAITING_MAX];                // its "ReJo" is in waiting_request
static char waiting_request[WAITING_MAX][PACKET_CLEAR];
// The "ReJo" that won a place, until the rules take it (take_join_request).
static bool place_asked[MAX_CLIENTS];
static char place_request[MAX_CLIENTS][PACKET_CLEAR];
bool port_field_refused = false;
char failure_cause[FAILURE_CAUSE_SIZE];

// Messages taken from one waiting conn a step.
#define WAITING_RECEIVES 16

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
  long moved_ms;    // when a packet last left (or the backlog began)
  origin_queue_t queues[BACKLOG_ORIGINS];
} backlog_t;
static backlog_t backlogs[MAX_CLIENTS];
int backlog_dropped = 0;
int backlog_stuck_ms = 3000;

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
    b->moved_ms = clock_ms();
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
  place_asked[index] = false;
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
    b->moved_ms = clock_ms();
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

int relay_room(int origin, int packets)
{
  long now = clock_ms();
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++) {
    backlog_t *b = client_conn[i] && i != origin ? backlog_of(client_conn[i]) : NULL;
    // A conn that takes nothing for that long must not stop the chat.
    if (b && now - b->moved_ms < backlog_stuck_ms && b->queues[origin].count + packets > BACKLOG_DEPTH)
      return 0;
  }
  return 1;
}

int send_room(NET_CONN *conn)
{
  backlog_t *b = conn ? backlog_of(conn) : NULL;
  return !b || b->queues[OWN_ORIGIN].count < BACKLOG_DEPTH;
}

int send_part(NET_CONN *conn, const char *packet)
{
  if (!conn || backlog_of(conn))
    return 1;
  return seal_send_bulk(conn, packet) == 0 ? 0 : 1;
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

// The port of an address text ("10.0.0.5:24785", ":24785"), or "".
static const char *port_of(const char *address)
{
  const char *colon = strrchr(address, ':');
  return colon ? colon + 1 : "";
}

// Fills failure_cause from the library's cause of the call that just
// failed, or with `fallback` when it knows none.
static void note_failure(const char *fallback)
{
  char where[NET_MAX_ADDRESS_LENGTH];
  const int size = FAILURE_CAUSE_SIZE;
  switch (net_last_cause(where)) {
    case NET_CAUSE_ADDRESS_IN_USE:
      snprintf(failure_cause, size, "UDP port %s is in use by another program", port_of(where));
      break;
    case NET_CAUSE_NOT_ALLOWED:
      snprintf(failure_cause, size, "Not allowed to use UDP port %s", port_of(where));
      break;
    case NET_CAUSE_NO_SUCH_HOST:
      snprintf(failure_cause, size, "No such host: %.60s", where);
      break;
    case NET_CAUSE_NOT_LOCAL:
      snprintf(failure_cause, size, "%.60s is not an address of this machine", where);
      break;
    case NET_CAUSE_NO_RESOURCES:
      snprintf(failure_cause, size, "The system is out of sockets or memory");
      break;
    case NET_CAUSE_UNREACHABLE:
      snprintf(failure_cause, size, "No route to %.60s", where[0] ? where : "that network");
      break;
    case NET_CAUSE_OTHER:
      snprintf(failure_cause, size, "The system refused UDP port %s", port_of(where));
      break;
    default:
      snprintf(failure_cause, size, "%s", fallback);
      break;
  }
}

int machine_addresses(char addresses[][MACHINE_ADDRESS_SIZE], int max)
{
  struct ifaddrs *all = NULL;
  if (max <= 0 || getifaddrs(&all) != 0)
    return 0;
  int count = 0;
  // Loopback addresses only reach this machine: listed when there is no
  // other, on a second pass.
  for (int pass = 0; pass < 2 && count == 0; pass++) {
    for (struct ifaddrs *i = all; i && count < max; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
        continue;
      if (((i->ifa_flags & IFF_LOOPBACK) != 0) != (pass == 1))
        continue;
      const struct sockaddr_in *in = (const struct sockaddr_in *)i->ifa_addr;
      if (inet_ntop(AF_INET, &in->sin_addr, addresses[count], MACHINE_ADDRESS_SIZE))
        count++;
    }
  }
  freeifaddrs(all);
  return count;
}

int Server_init()
{
  client_num = 0;
  newest_client = -1;
  for (int i = 0; i < MAX_CLIENTS; i++) {
    client_conn[i] = NULL;
    place_asked[i] = false;
  }
  for (int w = 0; w < WAITING_MAX; w++) {
    waiting_conn[w] = NULL;
    waiting_asked[w] = false;
  }
  backlog_clear();

  // The empty text, not the absent one: the driver's configured port.
  failure_cause[0] = 0;
  char binding[BIND_TEXT_SIZE];
  if (!typed_port(binding))
    return 1;
  listen_conn = net_openconn(NET_DRIVER_WSOCK_WIN, binding);
  if (!listen_conn) {
    note_failure("The UDP driver could not open a port");
    return 1;
  }
  if (net_listen(listen_conn) != 0) {
    note_failure("The conn could not be made to listen");
    return 2;
  }
  return 0;
}

static void close_waiting(int w)
{
  seal_forget(waiting_conn[w]);
  chat_net_ops.close(waiting_conn[w]);
  waiting_conn[w] = NULL;
  waiting_asked[w] = false;
}

// The host part of a conn's peer address ("10.0.0.5" of "10.0.0.5:4000").
static size_t host_length(const NET_CONN *conn)
{
  size_t len = strnlen(conn->peer_addr, sizeof conn->peer_addr);
  for (size_t i = len; i > 0; i--)
    if (conn->peer_addr[i - 1] == ':')
      return i - 1;
  return len;
}

static bool same_host(const NET_CONN *a, const NET_CONN *b)
{
  size_t len = host_length(a);
  return len == host_length(b) && memcmp(a->peer_addr, b->peer_addr, len) == 0;
}

// A free waiting slot, else the one to give up: the oldest of the host
// that holds the most.
static int waiting_slot()
{
  for (int w = 0; w < WAITING_MAX; w++)
    if (!waiting_conn[w])
      return w;
  int slot = -1, most = 0;
  for (int w = 0; w < WAITING_MAX; w++) {
    int held = 0;
    for (int v = 0; v < WAITING_MAX; v++)
      held += same_host(waiting_conn[v], waiting_conn[w]);
    if (held > most || (held == most && waiting_since[w] < waiting_since[slot])) {
      slot = w;
      most = held;
    }
  }
  return slot;
}

static void close_all_waiting()
{
  for (int w = 0; w < WAITING_MAX; w++)
    if (waiting_conn[w])
      close_waiting(w);
}

static void add_waiting(NET_CONN *conn, long now)
{
  int slot = waiting_slot();
  if (waiting_conn[slot])
    close_waiting(slot);
  waiting_conn[slot] = conn;
  waiting_since[slot] = now;
  waiting_asked[slot] = false;
}

int receive_chat_message(NET_CONN *conn, char *message)
{
  if (seal_held(conn, message))
    return PACKET_SIZE;
  int size = chat_net_ops.query(conn);
  if (size <= 0)
    return 0;
  // A keyed chat's file parts come sealed whole, a little longer.
  int largest = seal_keyed() ? SEAL_BULK : PACKET_SIZE;
  if (size > largest) {
    // Left queued it would be reported again and again; no chat packet is that long.
    chat_net_ops.ignore(conn);
    return -1;
  }
  char raw[SEAL_BULK];
  int got = chat_net_ops.receive(conn, raw, largest);
  if (got < 0)
    chat_net_ops.ignore(conn);
  if (got > 0 && seal_take(conn, raw, got) == SEAL_BROKEN) {
    memset(message, 0, PACKET_SIZE);
    return SEAL_BROKEN;
  }
  if (got > 0)
    memcpy(message, raw, got < PACKET_SIZE ? got : PACKET_SIZE);
  return got > 0 ? (got < PACKET_SIZE ? got : PACKET_SIZE) : -1;  // an empty message is no packet either
}

// The next message of waiting conn `w` into `message` (PACKET_SIZE bytes,
// zero-filled): its size (below 0 for one that could not be read), 0 when
// none waits; in a keyed chat what its "Seal" carried. The conn is gone
// (waiting_conn[w] NULL) after a refused key or a broken "Seal".
static int next_waiting_message(int w, char *message)
{
  NET_CONN *conn = waiting_conn[w];
  memset(message, 0, PACKET_SIZE);
  if (seal_keyed()) {
    int admitted = seal_admit(conn);
    if (admitted < 0)
      waiting_conn[w] = NULL;  // refused: the seal layer closes it
    if (admitted <= 0)
      return 0;
  }
  int got = receive_chat_message(conn, message);
  if (got == SEAL_BROKEN) {
    close_waiting(w);
    return 0;
  }
  return got;
}

// Takes in what waiting conn `w` has sent, up to its "ReJo", which stays
// for the rules; anything before it is dropped. Everything behind it is
// left in the conn for the rules to read in order.

static void read_waiting(int w)
{
  char message[PACKET_SIZE];
  for (int n = 0; n < WAITING_RECEIVES && waiting_conn[w] && !waiting_asked[w]; n++) {
    int got = next_waiting_message(w, message);
    if (got == 0)
      return;
    if (got >= 4 && memcmp(message, "ReJo", 4) == 0) {
      memcpy(waiting_request[w], message, PACKET_CLEAR);
      waiting_request[w][PACKET_CLEAR - 1] = 0;
      waiting_asked[w] = true;
    }
  }
}

int take_join_request(int place, char *packet)
{
  if (place < 0 || place >= MAX_CLIENTS || !place_asked[place])
    return 0;
  memcpy(packet, place_request[place], PACKET_CLEAR);
  place_asked[place] = false;
  return 1;
}

// Whether a conn with a place has `conn`'s peer address and port, and its
// peer is not gone: a program restarted at the address has proved it, and
// the old place is cleared by the silence rule.
static bool holds_place(const NET_CONN *conn)
{
  for (int i = 0; conn->peer_addr[0] && i < client_num && i < MAX_CLIENTS; i++)
    if (client_conn[i] && strncmp(client_conn[i]->peer_addr, conn->peer_addr, sizeof conn->peer_addr) == 0 &&
        peer_silence(client_conn[i]) < PEER_GONE_MS)
      return true;
  return false;
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
  // keeps junk from queueing up ahead of a real connect request, and every
  // request found is taken, so a crowd of them cannot either.
  if (listen_conn) {
    for (int n = 0; n < LISTEN_POLLS; n++) {
      NET_CONN *conn = chat_net_ops.poll_listen(listen_conn);
      // A key is being guessed from there; or the request came in the name
      // of a user who holds a place: a new conn of the same address and
      // port takes the address over in the library, and as a waiting conn
      // it would take in (and acknowledge) that user's packets. Closed at
      // once, before anything is read, it gives the address back.
      if (conn && (seal_host_blocked(conn) || holds_place(conn))) {
        chat_net_ops.close(conn);
        continue;
      }
      if (conn)
        add_waiting(conn, now);
    }
  }

  // Every waiting conn is read, also while no place is free: that takes in
  // what its peer sent, so the library stops counting it as silent.
  int place = free_place(), asker = -1;
  for (int w = 0; w < WAITING_MAX; w++) {
    if (!waiting_conn[w])
      continue;
    read_waiting(w);
    if (waiting_asked[w] && (asker < 0 || waiting_since[w] < waiting_since[asker]))
      asker = w;
  }
  if (place >= 0 && asker >= 0) {
    int w = asker;
    client_conn[place] = waiting_conn[w];
    memcpy(place_request[place], waiting_request[w], PACKET_CLEAR);
    place_asked[place] = true;
    waiting_conn[w] = NULL;
    waiting_asked[w] = false;
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
  failure_cause[0] = 0;
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
  if (!server_conn) {
    note_failure("The UDP driver could not open a port");
    return 1;
  }
  if (net_connect(server_conn, peer) != 0) {
    char text[FAILURE_CAUSE_SIZE];
    snprintf(text, sizeof text, "Not a host name or address: %.60s", peer);
    note_failure(text);
    return 2;
  }
  // Without a port of its own the address goes to the configured one.
  char answered[PEER_TEXT_SIZE + 20];
  snprintf(answered, sizeof answered, "%s%s", peer, strchr(peer, ':') ? "" : " (configured port)");
  int seconds = (connect_time_limit_ms + 500) / 1000;
  snprintf(failure_cause, FAILURE_CAUSE_SIZE, "Nobody answered at %.60s for %d second%s",
           answered, seconds, seconds == 1 ? "" : "s");

  // The wrapper never reports a host that does not answer, so the wait has
  // its own limit; each poll may send the connect request again.
  long start = clock_ms();
  for (;;) {
    int result = net_poll_connect(server_conn);
    if (result > 0) {
      failure_cause[0] = 0;
      return 0;
    }
    if (result < 0)
      return 3;
    // The frame and the Esc key are looked at more often than the conn is
    // polled, so the wait answers a key at once.
    long next_poll = clock_ms() + connect_poll_ms;
    do {
      long now = clock_ms();
      if (now - start >= connect_time_limit_ms)
        return 3;
      if (connect_wait_hook && connect_wait_hook(peer, connect_time_limit_ms - (now - start))) {
        failure_cause[0] = 0;
        return 4;
      }
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
