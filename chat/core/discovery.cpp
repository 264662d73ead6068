// Finding chats on the local network. A join screen broadcasts a query to
// the discovery port ("*:24786"); every host there answers the sender with
// its name, users and listening port. Beside the conns, never through them.
//
// Query, 32 bytes, finder -> "*:24786":
//   0   4  magic "YLDQ"
//   4   1  version, 1
//   5   3  zero
//   8   4  token (big-endian), chosen by the finder, echoed in the answer
//  12  20  zero padding: the answer must never be larger than the query
//
// Answer, 24 bytes, host's discovery port -> the query's sender:
//   0   4  magic "YLDA"
//   4   1  version, 1
//   5   1  users present
//   6   1  the most users the chat takes
//   7   1  1 when the chat needs a key, else 0
//   8   4  the query's token (big-endian)
//  12   2  UDP port of the host's listening conn (big-endian), 1-65535
//  14  10  the host's name, NUL-terminated, zero-filled
//
// Any other size, magic or version is dropped unanswered.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <chrono>
#include <random>
#include <utility>
#include "discovery.h"
#include "fields.h"
#include "network.h"

int discovery_port = 0;

#define VERSION 1
static const unsigned char query_magic[4] = {'Y', 'L', 'D', 'Q'};
static const unsigned char answer_magic[4] = {'Y', 'L', 'D', 'A'};

unsigned int discovery_clock_ms()
{
  using namespace std::chrono;
  return (unsigned int)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static void put_be32(unsigned char *p, unsigned int v)
{
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

static unsigned int get_be32(const unsigned char *p)
{
  return (unsigned int)p[0] << 24 | (unsigned int)p[1] << 16 | (unsigned int)p[2] << 8 | p[3];
}

static int clamp_byte(int v)
{
  return v < 0 ? 0 : v > 255 ? 255 : v;
}

// Reads an address text as the UDP driver writes a sender ("10.0.0.1:24786").
// 0 and the host-order address and port when it is a dotted quad that an
// answer may go to (not 0, not multicast or broadcast) with a port of
// 1-65535; -1 otherwise.
static int read_sender(const char *text, unsigned int *addr, int *port)
{
  unsigned int a, b, c, d, p;
  char end;
  if (sscanf(text, "%3u.%3u.%3u.%3u:%5u%c", &a, &b, &c, &d, &p, &end) != 5)
    return -1;
  if (a > 255 || b > 255 || c > 255 || d > 255 || p == 0 || p > 65535)
    return -1;
  *addr = a << 24 | b << 16 | c << 8 | d;
  *port = (int)p;
  return a == 0 || a >= 224 ? -1 : 0;
}

/* ---- Codec ---- */

int discovery_make_query(unsigned char *buf, unsigned int token)
{
  memset(buf, 0, DISCOVERY_QUERY_SIZE);
  memcpy(buf, query_magic, 4);
  buf[4] = VERSION;
  put_be32(buf + 8, token);
  return DISCOVERY_QUERY_SIZE;
}

int discovery_read_query(const unsigned char *buf, int size, unsigned int *token)
{
  if (size != DISCOVERY_QUERY_SIZE || memcmp(buf, query_magic, 4) != 0 || buf[4] != VERSION)
    return -1;
  *token = get_be32(buf + 8);
  return 0;
}

int discovery_make_answer(unsigned char *buf, unsigned int token, const char *name,
                          int users, int most, int port, int needs_key)
{
  memset(buf, 0, DISCOVERY_ANSWER_SIZE);
  memcpy(buf, answer_magic, 4);
  buf[4] = VERSION;
  buf[5] = (unsigned char)clamp_byte(users);
  buf[6] = (unsigned char)clamp_byte(most);
  buf[7] = needs_key ? 1 : 0;
  put_be32(buf + 8, token);
  buf[12] = (unsigned char)(port >> 8);
  buf[13] = (unsigned char)port;
  memcpy(buf + 14, name, strnlen(name, DISCOVERY_NAME_SIZE - 1));
  return DISCOVERY_ANSWER_SIZE;
}

int discovery_read_answer(const unsigned char *buf, int size, unsigned int token, chat_found *out)
{
  if (size != DISCOVERY_ANSWER_SIZE || memcmp(buf, answer_magic, 4) != 0 || buf[4] != VERSION)
    return -1;
  if (get_be32(buf + 8) != token || buf[5] > buf[6])
    return -1;
  int port = buf[12] << 8 | buf[13];
  if (port == 0)
    return -1;
  // The name is drawn as it came: it must end inside its field and hold
  // nothing but printable characters.
  const unsigned char *name = buf + 14;
  size_t len = strnlen((const char *)name, DISCOVERY_NAME_SIZE);
  if (len == DISCOVERY_NAME_SIZE)
    return -1;
  for (size_t i = 0; i < len; i++)
    if (name[i] < 32 || name[i] > 126)
      return -1;
  memcpy(out->name, name, len + 1);
  out->users = buf[5];
  out->most = buf[6];
  out->needs_key = buf[7] == 1;
  out->port = port;
  return 0;
}

/* ---- Host ---- */

static NET_CHANNEL *answerer = NULL;
static char host_name_told[DISCOVERY_NAME_SIZE];
static int host_port = 0;
static int host_most = 0;
static int host_needs_key = 0;
// When the last answers went and to which address, oldest first: an
// answer may go only while fewer than DISCOVERY_ANSWERS_PER_S went in the
// last second, and fewer than DISCOVERY_ANSWERS_PER_SOURCE to its asker.
static unsigned int answer_times[DISCOVERY_ANSWERS_PER_S];
static unsigned int answer_to[DISCOVERY_ANSWERS_PER_S];
static int answers_kept = 0;
static int answer_first = 0;

int discovery_host_open(NET_CONN *listening, const char *name, int most, int needs_key)
{
  discovery_host_close();
  if (discovery_port == 0)
    return 0;
  const char *local = net_getconnlocaladdress(listening);
  const char *colon = local ? strrchr(local, ':') : NULL;
  int port = colon ? atoi(colon + 1) : 0;
  if (port <= 0 || port > 65535)
    return 2;
  // With address reuse, so that every host on this machine hears the queries.
  char binding[16];
  snprintf(binding, sizeof binding, "+:%d", discovery_port);
  answerer = net_openchannel(NET_DRIVER_WSOCK_WIN, binding);
  if (!answerer)
    return 1;
  snprintf(host_name_told, sizeof host_name_told, "%s", name);
  host_port = port;
  host_most = most;
  host_needs_key = needs_key;
  return 0;
}

int discovery_host_answer(const unsigned char *query, int size, const char *from,
                          int users, unsigned int now_ms, unsigned char *answer)
{
  unsigned int token, addr;
  int port;
  if (discovery_read_query(query, size, &token) != 0)
    return 0;
  // A sender of port 0 would turn the answer towards the chat's own port;
  // a broadcast or multicast one would spread it.
  if (!from || read_sender(from, &addr, &port) != 0)
    return 0;
  while (answers_kept > 0 && now_ms - answer_times[answer_first] >= 1000) {
    answer_first = (answer_first + 1) % DISCOVERY_ANSWERS_PER_S;
    answers_kept--;
  }
  int to_sender = 0;
  for (int i = 0; i < answers_kept; i++)
    to_sender += answer_to[(answer_first + i) % DISCOVERY_ANSWERS_PER_S] == addr;
  if (answers_kept == DISCOVERY_ANSWERS_PER_S || to_sender >= DISCOVERY_ANSWERS_PER_SOURCE)
    return 0;
  int at = (answer_first + answers_kept) % DISCOVERY_ANSWERS_PER_S;
  answer_times[at] = now_ms;
  answer_to[at] = addr;
  answers_kept++;
  return discovery_make_answer(answer, token, host_name_told, users, host_most, host_port, host_needs_key);
}

void discovery_host_step(int users, unsigned int now_ms)
{
  for (int n = 0; answerer && n < DISCOVERY_HOST_READS && net_query(answerer); n++) {
    unsigned char query[DISCOVERY_QUERY_SIZE];
    unsigned char answer[DISCOVERY_ANSWER_SIZE];
    char from[NET_MAX_ADDRESS_LENGTH] = "";
    // An oversized datagram fails the receive and is gone with it.
    int got = net_receive(answerer, query, sizeof query, from);
    from[NET_MAX_ADDRESS_LENGTH - 1] = 0;
    int size = got > 0 ? discovery_host_answer(query, got, from, users, now_ms, answer) : 0;
    if (size > 0 && net_assigntarget(answerer, from) == 0)
      net_send(answerer, answer, size);
  }
}

void discovery_host_close()
{
  if (answerer)
    net_closechannel(answerer);
  answerer = NULL;
  answers_kept = answer_first = 0;
}

/* ---- Join screen ---- */

static NET_CHANNEL *finder = NULL;
static bool search_failed = false;      // the last query could not go out
static unsigned int query_due = 0;      // when the next query goes
static unsigned int token = 0;          // this round's
static unsigned int last_token = 0;     // the round before's
static unsigned int round_number = 0;
static chat_found chats[FINDER_CHATS];
static int chat_count = 0;

// Name, then address, then port: a list that does not jump as answers come.
static int chat_order(const chat_found *a, const chat_found *b)
{
  int by_name = strcmp(a->name, b->name);
  if (by_name != 0)
    return by_name;
  if (a->ip != b->ip)
    return a->ip < b->ip ? -1 : 1;
  return a->port - b->port;
}

int finder_take(const unsigned char *buf, int size, const char *from, unsigned int now_ms)
{
  chat_found found;
  unsigned int addr;
  int from_port;
  if (discovery_read_answer(buf, size, token, &found) != 0 &&
      (round_number < 2 || discovery_read_answer(buf, size, last_token, &found) != 0))
    return 0;
  if (!from || read_sender(from, &addr, &from_port) != 0 || from_port != discovery_port)
    return 0;
  snprintf(found.address, sizeof found.address, "%u.%u.%u.%u",
           addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255, addr & 255);
  found.ip = addr;
  found.heard_ms = now_ms;

  int at = 0, same_address = 0, oldest = -1, oldest_here = -1;
  for (; at < chat_count && (chats[at].ip != found.ip || chats[at].port != found.port); at++) {
    if (oldest < 0 || (int)(chats[at].heard_ms - chats[oldest].heard_ms) < 0)
      oldest = at;
    if (chats[at].ip == found.ip) {
      same_address++;
      if (oldest_here < 0 || (int)(chats[at].heard_ms - chats[oldest_here].heard_ms) < 0)
        oldest_here = at;
    }
  }
  if (at < chat_count) {
    // Heard again: updated in its place.
  } else if (same_address >= FINDER_CHATS_PER_ADDRESS) {
    at = oldest_here;
  } else if (chat_count == FINDER_CHATS) {
    at = oldest;
  } else {
    chat_count++;
  }
  chats[at] = found;
  // Insertion into order: the list is at most FINDER_CHATS long.
  for (int i = at; i > 0 && chat_order(&chats[i], &chats[i - 1]) < 0; i--)
    std::swap(chats[i], chats[i - 1]);
  for (int i = at; i + 1 < chat_count && chat_order(&chats[i + 1], &chats[i]) < 0; i++)
    std::swap(chats[i], chats[i + 1]);
  return 1;
}

void finder_forget(unsigned int now_ms)
{
  int kept = 0;
  for (int i = 0; i < chat_count; i++)
    if (now_ms - chats[i].heard_ms < FINDER_FORGET_MS)
      chats[kept++] = chats[i];
  chat_count = kept;
}

// A token a listener cannot have seen before: each round has its own.
void finder_next_round()
{
  last_token = token;
  token = std::random_device()();
  round_number++;
}

static void send_query(unsigned int now_ms)
{
  query_due = now_ms + FINDER_QUERY_MS;
  finder_next_round();
  if (!finder) {
    Init_network_stuff();
    finder = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
    char target[16];
    snprintf(target, sizeof target, "*:%d", discovery_port);
    if (finder && net_assigntarget(finder, target) != 0) {
      net_closechannel(finder);
      finder = NULL;
    }
  }
  unsigned char query[DISCOVERY_QUERY_SIZE];
  search_failed = !finder || net_send(finder, query, discovery_make_query(query, token)) != 0;
}

void finder_step(bool open, unsigned int now_ms)
{
  if (!open || discovery_port == 0) {
    finder_close();
    return;
  }
  if (!finder && query_due == 0) {
    round_number = 0;
    chat_count = 0;
    send_query(now_ms);
  } else if ((int)(now_ms - query_due) >= 0) {
    send_query(now_ms);
  }
  for (int n = 0; finder && n < FINDER_READS && net_query(finder); n++) {
    unsigned char answer[DISCOVERY_ANSWER_SIZE];
    char from[NET_MAX_ADDRESS_LENGTH] = "";
    int got = net_receive(finder, answer, sizeof answer, from);
    from[NET_MAX_ADDRESS_LENGTH - 1] = 0;
    if (got > 0)
      finder_take(answer, got, from, now_ms);
  }
  finder_forget(now_ms);
}

void finder_close()
{
  if (finder)
    net_closechannel(finder);
  finder = NULL;
  query_due = 0;
  search_failed = false;
  chat_count = 0;
}

unsigned int finder_token()
{
  return token;
}

int finder_count()
{
  return chat_count;
}

const chat_found *finder_chat(int i)
{
  return i >= 0 && i < chat_count ? &chats[i] : NULL;
}

int finder_picked()
{
  for (int i = 0; i < chat_count; i++)
    if (strcmp(chats[i].address, ip_addy) == 0 && chats[i].port == atoi(port_num))
      return i;
  return -1;
}

int finder_pick_next()
{
  if (chat_count == 0)
    return 0;
  const chat_found *c = &chats[(finder_picked() + 1) % chat_count];
  snprintf(ip_addy, IP_ADDY_SIZE, "%s", c->address);
  snprintf(port_num, PORT_NUM_SIZE, "%d", c->port);
  return 1;
}

int finder_line(int i, char *out, int size)
{
  if (i == 0) {
    if (chat_count > 0)
      snprintf(out, size, "Chats found here: F5 puts the next in HOST IP and PORT");
    else if (search_failed)
      snprintf(out, size, "Cannot search this network for chats");
    else
      snprintf(out, size, "No chats found on this network");
    return 15;
  }
  const chat_found *c = finder_chat(i - 1);
  if (!c)
    return -1;
  bool picked = finder_picked() == i - 1;
  char where[24];
  snprintf(where, sizeof where, "%s:%d", c->address, c->port);
  snprintf(out, size, "%c %-9s %-21s %d/%d users%s", picked ? '>' : ' ', c->name, where, c->users, c->most,
           c->needs_key ? "  needs KEY" : "");
  return picked ? 12 : 15;
}
