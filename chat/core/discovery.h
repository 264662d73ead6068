// Finding chats on the local network: the query and answer datagrams, the
// host's answerer on the discovery port and the join screen's list of the
// chats that answered.
#ifndef YAMMER_DISCOVERY_H
#define YAMMER_DISCOVERY_H

#include "netlane.h"

#define DISCOVERY_PORT          24786  // every host of a network answers here
#define DISCOVERY_QUERY_SIZE       32  // padded: an answer is never larger
#define DISCOVERY_ANSWER_SIZE      24
#define DISCOVERY_NAME_SIZE        10  // a host's name: 9 characters and the terminator

#define DISCOVERY_ANSWERS_PER_S    20  // a host answers at most this many in any second
#define DISCOVERY_ANSWERS_PER_SOURCE 4  // of which at most this many to one sending address
#define DISCOVERY_HOST_READS        8  // datagrams a host reads from the port per step
#define FINDER_READS               16  // answers the join screen reads per step
#define FINDER_CHATS                8  // chats the join screen lists
#define FINDER_CHATS_PER_ADDRESS    2  // of which at most this many from one answering address
#define FINDER_QUERY_MS          2000  // the join screen asks this often
#define FINDER_FORGET_MS         6000  // and drops a chat not heard for this long

// The port hosts answer on and finders ask; 0 turns discovery off. Off
// unless the program turns it on, so that test programs hosting chats
// neither bind the shared port nor broadcast.
extern int discovery_port;

// One chat that answered, as the join screen lists it.
typedef struct chat_found_typ {
  char name[DISCOVERY_NAME_SIZE];  // the host's name, printable characters only
  char address[16];                // the host's dotted quad, "255.255.255.255" at most
  unsigned int ip;                 // the same, host order
  int port;                        // its listening conn's UDP port, 1-65535
  int users, most;                 // users present and the most it takes
  int needs_key;                   // 1: the chat has a key (KEY must match)
  unsigned int heard_ms;           // when it last answered
} chat_found;

// Milliseconds of a steady clock, for the steps below.
unsigned int discovery_clock_ms();

/* ---- Codec ---- */

// Fills `buf` (DISCOVERY_QUERY_SIZE bytes) with a query; its size.
int discovery_make_query(unsigned char *buf, unsigned int token);
// 0 and the token when `buf` holds a query of this version, else -1.
int discovery_read_query(const unsigned char *buf, int size, unsigned int *token);
// Fills `buf` (DISCOVERY_ANSWER_SIZE bytes) with an answer; its size. The
// name is cut to 9 characters, counts to 0-255; `needs_key` 1 for a keyed chat.
int discovery_make_answer(unsigned char *buf, unsigned int token, const char *name,
                          int users, int most, int port, int needs_key = 0);
// 0 when `buf` holds a sound answer to a query that carried `token`, with
// `out`'s name, port and counts filled; -1 otherwise.
int discovery_read_answer(const unsigned char *buf, int size, unsigned int token, chat_found *out);

/* ---- Host ---- */

// Opens the answerer beside the listening conn `listening`, answering with
// `name`, its port, `most` and whether it `needs_key`. 0 open (or
// discovery is off); 1 the discovery port cannot be bound; 2 the conn's
// port is unknown.
int discovery_host_open(NET_CONN *listening, const char *name, int most, int needs_key = 0);
// Reads at most DISCOVERY_HOST_READS datagrams and answers the queries
// among them, within the rate bound, telling `users` present.
void discovery_host_step(int users, unsigned int now_ms);
// The answer to `query` (`size` bytes) from the sender `from`, in
// `answer`: its size, or 0 when it is to be dropped (malformed, foreign,
// from an address no answer may go to, or over the rate bound).
int discovery_host_answer(const unsigned char *query, int size, const char *from,
                          int users, unsigned int now_ms, unsigned char *answer);
void discovery_host_close();

/* ---- Join screen ---- */

// One step of the join screen's search while `open`: the first query at
// once, then one every FINDER_QUERY_MS, each query a round with a fresh
// token; reads answers and forgets chats not heard for FINDER_FORGET_MS.
// With `open` false it closes the search.
void finder_step(bool open, unsigned int now_ms);
// Takes one answer from `from` into the list: 1 listed, 0 dropped. Only
// answers to the current round's token or the last one's count, and a
// chat's address is the one its answer came from. When the list (or the
// answering address's share of it) is full, a new chat takes the place of
// the one heard longest ago.
int finder_take(const unsigned char *buf, int size, const char *from, unsigned int now_ms);
// Drops the chats not heard for FINDER_FORGET_MS.
void finder_forget(unsigned int now_ms);
void finder_close();
// Starts the next round of queries: a fresh token, with the last one
// still answered to.
void finder_next_round();
// The token of this round's queries, which answers must carry (or the
// last round's).
unsigned int finder_token();

int finder_count();
const chat_found *finder_chat(int i);   // in order of name, address, port
// The listed chat whose address and port are in HOST IP and PORT, or -1.
int finder_picked();
// Puts the chat after the picked one (the first when none is) into HOST IP
// and PORT; 0 when the list is empty.
int finder_pick_next();
// Line `i` of the list as the join screen draws it (0 the heading, then one
// per chat) into `out`; its colour. -1 past the last line.
int finder_line(int i, char *out, int size);

#endif
