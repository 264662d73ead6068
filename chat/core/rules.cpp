// The chat's packet rules: what the host and a client do with each chat
// packet they receive, and the packets they build for the local user.
//
// Chat packets (codec in packet.cpp), all sent as the whole 1024 bytes:
//   "ReJo" colour, name     client -> host   join request
//   "Join" who, colour, name host -> all     announces one user
//   "You!" who              host -> joiner   the joiner's user number
//   "New!"                  host -> all      a conn was accepted
//   "Mesg" who, line        both ways        a typed line
//   "Chng" / "Sund"         both ways        new background / alert sound
//   "Numb" number text      both ways        test number, not relayed
//   "Left" who              host -> all      user `who` has gone: clear its slot
//   "Bye!"                  both ways        the sender is leaving the chat
//   "Nope" reason           host -> joiner   no place: 1 the chat needs a key, 2 wrong key
//   "Offr" "Take" "Part" "Drop"  files sent to the chat (files.h)
// A peer that knows only the first seven drops the others like any
// unknown id: it just keeps showing who has gone. In a keyed chat every
// packet but "Nope" travels inside a "Seal" (seal.cpp).
#include <stdio.h>
#include <string.h>
#include <stdlib.h>
#include "decimal.h"
#include "events.h"
#include "fields.h"
#include "files.h"
#include "network.h"
#include "packet.h"
#include "rules.h"
#include "seal.h"
#include "session.h"

int client_user[MAX_CLIENTS];
bool host_ended = false;
const char *join_refused = NULL;

// Client: the host has been silent for PEER_GONE_MS and we said so.
static bool host_silent = false;

static const char *chat_full = "The chat is full";
const char *host_ended_text = "The host has ended the chat";
static const char *unopened_text = "A packet from the host did not open: the chat is over (Esc leaves)";

// Background changes and alerts taken in during one receive pass act once:
// one repaint, one sound and (host) one echo to every client, charged to
// the conn of the first sender. -1: none in this pass.
static int change_from = -1;
static int alert_from = -1;

/* ---- Sending ---- */
// Host: to every open client conn except `skip` (-1 skips none), for
// `origin` (see send_packet).
static void send_to_clients(int skip, int origin)
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
    if (i != skip)
      send_packet(client_conn[i], packetbuffer, origin);
}

// What a key sends goes to every client from the host, to the host from a client.
void send_from_key(int chat_type)
{
  if (chat_type == 1)
    send_to_clients(-1, OWN_ORIGIN);
  else
    send_packet(server_conn, packetbuffer, OWN_ORIGIN);
  clear_string(packetbuffer, PACKET_CLEAR);
}

void send_typed_line(int chat_type)
{
  Packet("Mesg");
  PacketAddByte((char)my_number);
  PacketAddManyBytes(user[my_number].typings);
  if (chat_type == 1) {
    send_to_clients(-1, OWN_ORIGIN);
  } else {
    send_packet(server_conn, packetbuffer, OWN_ORIGIN);
    out_sound(CUE_MESSAGE);
  }
  clear_string(user[my_number].typings, USER_TYPINGS);
  clear_string(packetbuffer, PACKET_CLEAR);
  send_flag = false;
}

void rules_reset()
{
  for (int &who : client_user)
    who = 0;
  files_host_users(client_user);
  change_from = alert_from = -1;
  host_ended = false;
  host_silent = false;
  join_refused = NULL;
}

void host_new_client()
{
  client_user[newest_client] = 0;
  out_line("Server", 0, a_new_user);
  Packet("New!");
  send_to_clients(-1, OWN_ORIGIN);
  clear_string(packetbuffer, PACKET_CLEAR);
  // The place came with the conn's "ReJo": it is answered at once.
  if (take_join_request(newest_client, packetbuffer))
    host_handle_packet(newest_client);
}

void client_ask_to_join()
{
  Packet("ReJo");
  PacketAddByte((char)pick_color);
  PacketAddManyBytes(client_name);
  send_packet(server_conn, packetbuffer, OWN_ORIGIN);
  clear_string(packetbuffer, PACKET_CLEAR);
  connected = true;
}

/* ---- Receiving ---- */

static bool user_number_ok(int who)
{
  return who >= 0 && who < MAX_USERS;
}

// Names arrive as texts of up to 50 characters; a slot holds 9.
static void set_name(int who, const char *name)
{
  size_t len = strnlen(name, USER_NAME - 1);
  memcpy(user[who].name, name, len);
  user[who].name[len] = 0;
}

// Another participant's line must never wipe what the local user is typing.
static void clear_typings_of(int who)
{
  if (who != my_number)
    clear_string(user[who].typings, USER_TYPINGS);
}

// Host: builds "Join" for slot `z` and sends it to every client for `origin`.
static void announce(int z, int origin)
{
  Packet("Join");
  PacketAddByte((char)z);
  PacketAddByte((char)user[z].text_color);
  PacketAddManyBytes(user[z].name);
  send_to_clients(-1, origin);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
}

// Host: the number goes back on the conn that asked, so joins that cross
// in flight each get their own.
static void send_number(int conn_index, int who)
{
  Packet("You!");
  PacketAddByte((char)who);
  send_packet(client_conn[conn_index], packetbuffer, conn_index);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
}

// Whether another user than `who` goes by `name`.
static bool name_taken(const char *name, int who)
{
  for (int z = 0; z < MAX_USERS; z++)
    if (z != who && user[z].name[0] && strcmp(user[z].name, name) == 0)
      return true;
  return false;
}

// A newcomer whose name another user has: the lowest digit that makes it
// unique goes on the end (in place of the last letter of a full name).
static void make_name_unique(int who)
{
  char *name = user[who].name;
  if (!name[0] || !name_taken(name, who))
    return;
  size_t at = strlen(name) < USER_NAME - 1 ? strlen(name) : USER_NAME - 2;
  for (char digit = '0'; digit <= '9'; digit++) {
    name[at] = digit;
    name[at + 1] = 0;
    if (!name_taken(name, who))
      return;
  }
}

// A one-character name is never announced.
static bool announced(int z)
{
  return strlen(user[z].name) >= 2;
}

// A repeated "ReJo" from a conn that has its number: only a changed name or
// colour is shown and announced, and only that user's; the asker gets its
// number again. Everybody knows everybody else already.
static void host_rejoin(int conn_index, int who, int color)
{
  char name[USER_NAME];
  snprintf(name, sizeof name, "%s", user[who].name);
  int old_color = user[who].text_color;
  set_name(who, user_data);
  // Another user's name is never taken over: the old one stays.
  if (name_taken(user[who].name, who))
    set_name(who, name);
  user[who].text_color = color;
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
  if (strcmp(name, user[who].name) != 0 || old_color != color) {
    out_line(user[who].name, color, "Im the new guy!");
    out_sound(CUE_JOIN);
    out_users_changed();
    if (announced(who))
      announce(who, conn_index);
  }
  send_number(conn_index, who);
}

// The lowest user number 2-9 that no conn holds, 0 when all are held.
static int lowest_free_number()
{
  for (int z = 2; z < MAX_USERS; z++) {
    bool held = false;
    for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
      held = held || (client_conn[i] && client_user[i] == z);
    if (!held)
      return z;
  }
  return 0;
}

static void host_join(int conn_index)
{
  int color = PacketGetByte();
  PacketGetManyBytes(user_data);
  int who = client_user[conn_index];
  if (who != 0) {
    host_rejoin(conn_index, who, color);
    return;
  }
  who = lowest_free_number();
  if (who == 0) {
    // No slot left: tell the newcomer once and let it go.
    clear_string(packetbuffer, PACKET_CLEAR);
    Packet("Mesg");
    PacketAddByte(0);
    PacketAddManyBytes(chat_full);
    send_packet(client_conn[conn_index], packetbuffer, conn_index);
    close_client(conn_index);
    out_line("Server", 0, "The chat is full: a new user was turned away");
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
    return;
  }
  if (who > user_num)
    user_num = who;
  client_user[conn_index] = who;
  user[who].text_color = color;
  set_name(who, user_data);
  make_name_unique(who);
  out_line(user[who].name, color, "Im the new guy!");
  out_sound(CUE_JOIN);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
  out_users_changed();

  // The newcomer learns everybody; what it costs the other conns is
  // charged to the newcomer's conn.
  for (int z = 0; z < MAX_USERS; z++)
    if (announced(z))
      announce(z, conn_index);
  send_number(conn_index, who);
}

static void host_line(int conn_index)
{
  out_users_changed();
  int claimed = PacketGetByte();
  PacketGetManyBytes(user_data);
  // Credited to the user of the conn it came on; the claimed number only
  // has to be a possible one.
  int who = client_user[conn_index];
  if (!user_number_ok(claimed) || who == 0) {
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
    return;
  }
  if (user[who].name[0] == 0) {
    snprintf(user_data, USER_DATA, " who = %d", who);
    out_line("Unknown user", user[who].text_color, user_data);
  } else {
    out_line(user[who].name, user[who].text_color, user_data);
  }
  out_sound(CUE_MESSAGE);
  clear_typings_of(who);
  clear_string(packetbuffer, PACKET_CLEAR);

  Packet("Mesg");
  PacketAddByte((char)who);
  PacketAddManyBytes(user_data);
  send_to_clients(conn_index, conn_index);  // the author has its own echo
  out_sound(CUE_MESSAGE);
  clear_typings_of(who);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
}

static void show_number()
{
  clear_string(user_data, USER_DATA);
  PacketGetManyBytes(user_data);
  // The text is up to 50 digits: beyond int the number stops at the limit.
  snprintf(user_data, USER_DATA, "%d", __netlane_internal__read_decimal(user_data));
  out_line("Number test", 0, user_data);
  clear_string(packetbuffer, PACKET_CLEAR);
}

// Empties slot `who` for a user who has gone.
static void clear_slot(int who)
{
  clear_string(user[who].name, USER_NAME);
  clear_string(user[who].typings, USER_TYPINGS);
  out_users_changed();
}

void host_client_gone(int conn_index)
{
  if (conn_index < 0 || conn_index >= MAX_CLIENTS || !client_conn[conn_index])
    return;
  int who = client_user[conn_index];
  client_user[conn_index] = 0;
  close_client(conn_index);
  if (who == 0)
    return;
  files_user_gone(who);
  if (user[who].name[0]) {
    snprintf(user_data, USER_DATA, "%s left the chat", user[who].name);
    out_line("Server", 0, user_data);
  }
  clear_slot(who);
  clear_string(packetbuffer, PACKET_CLEAR);
  Packet("Left");
  PacketAddByte((char)who);
  send_to_clients(-1, OWN_ORIGIN);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
}

void host_handle_packet(int conn_index)
{
  if (conn_index < 0 || conn_index >= MAX_CLIENTS || !client_conn[conn_index]) {
    clear_string(packetbuffer, PACKET_CLEAR);
    return;
  }
  if (PacketRead("Bye!")) {
    clear_string(packetbuffer, PACKET_CLEAR);
    host_client_gone(conn_index);
    return;
  }
  if (files_packet(conn_index))
    return;
  if (PacketRead("ReJo"))
    host_join(conn_index);
  if (PacketRead("Mesg"))
    host_line(conn_index);
  // The echoes go out once the pass has taken everything in (host_echo).
  if (PacketRead("Chng") && change_from < 0) {
    out_background(rand() % 256);
    change_from = conn_index;
  }
  if (PacketRead("Sund") && alert_from < 0) {
    out_alert(client_user[conn_index]);
    alert_from = conn_index;
  }
  if (PacketRead("Numb"))
    show_number();
  // A packet no rule took must not leak into the next one read.
  clear_string(packetbuffer, PACKET_CLEAR);
}

void client_handle_packet()
{
  if (files_packet(-1))
    return;
  if (PacketRead("Nope")) {
    // The host closes the conn after it: the join is over, nothing more to send.
    join_refused = PacketGetByte() == NOPE_WRONG_KEY ? wrong_key_text : needs_key_text;
    host_ended = true;
    done = true;
    clear_string(packetbuffer, PACKET_CLEAR);
    out_ended(join_refused);
  }
  if (PacketRead("Mesg")) {
    out_users_changed();
    int who = PacketGetByte();
    PacketGetManyBytes(user_data);
    if (user_number_ok(who)) {
      out_line(user[who].name, user[who].text_color, user_data);
      out_sound(CUE_MESSAGE);
      clear_typings_of(who);
    }
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Join")) {
    int who = PacketGetByte();
    int color = PacketGetByte();
    PacketGetManyBytes(user_data);
    if (user_number_ok(who)) {
      user[who].text_color = color;
      set_name(who, user_data);
      out_line(user[who].name, user[who].text_color, "Got a join packet");
      out_users_changed();
    }
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("You!")) {
    int who = PacketGetByte();
    if (user_number_ok(who)) {
      // Keys typed before the number arrived went into the start slot; the
      // typing line shows the new slot, so they move with the user.
      if (who != my_number) {
        memcpy(user[who].typings, user[my_number].typings, USER_TYPINGS);
        clear_string(user[my_number].typings, USER_TYPINGS);
      }
      my_number = who;
      snprintf(user_data, USER_DATA, "my number %d", my_number);
      out_line(user[my_number].name, user[my_number].text_color, user_data);
      connected = true;
    }
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Left")) {
    int who = PacketGetByte();
    // The host's slot and our own are never another user's to clear.
    if (user_number_ok(who) && who != 1 && who != my_number && user[who].name[0]) {
      snprintf(user_data, USER_DATA, "%s left the chat", user[who].name);
      out_line("Server", 0, user_data);
      files_user_gone(who);
      clear_slot(who);
      clear_string(user_data, USER_DATA);
    }
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Bye!") && !host_ended) {
    host_ended = true;
    files_end();
    out_line("Server", 0, host_ended_text);
    for (int z = 0; z < MAX_USERS; z++)
      if (z != my_number)
        clear_slot(z);
    clear_string(packetbuffer, PACKET_CLEAR);
    out_ended(host_ended_text);
  }
  if (PacketRead("New!")) {
    out_line("Server", 0, a_new_user);
    out_sound(CUE_JOIN);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Chng") && change_from < 0) {
    out_background(rand() % 256);
    change_from = OWN_ORIGIN;
  }
  if (PacketRead("Sund") && alert_from < 0) {
    out_alert(0);
    alert_from = OWN_ORIGIN;
  }
  if (PacketRead("Numb"))
    show_number();
  clear_string(packetbuffer, PACKET_CLEAR);
}

// Host: the echoes of the background changes and alerts of one pass, to
// every client, the senders included. Built on a zeroed buffer, not on a
// sender's bytes.
static void host_echo()
{
  const char *ids[2] = {"Chng", "Sund"};
  int *from[2] = {&change_from, &alert_from};
  for (int n = 0; n < 2; n++) {
    if (*from[n] < 0)
      continue;
    clear_string(packetbuffer, PACKET_CLEAR);
    Packet(ids[n]);
    send_to_clients(-1, *from[n]);
    clear_string(packetbuffer, PACKET_CLEAR);
    *from[n] = -1;
  }
}

// More than a peer can have in flight through its window; a peer that
// floods past it cannot hold the step for ever.
#define RECEIVE_LIMIT 64

// Takes in the waiting messages of one conn; 1 for each that is a packet,
// SEAL_BROKEN for a sealed one that did not open.
static int receive_one(NET_CONN *conn)
{
  int got = receive_chat_message(conn, packetbuffer);
  if (got == 0)
    return 0;
  if (got == SEAL_BROKEN)
    return SEAL_BROKEN;
  if (got > 0)
    files_keep(packetbuffer, got);
  // Every packet built here goes out as all PACKET_SIZE bytes, and the
  // rules zero only the head: what a peer put past it must not travel on.
  clear_string(packetbuffer + PACKET_CLEAR, PACKET_SIZE - PACKET_CLEAR);
  if (got < 0)
    clear_string(packetbuffer, PACKET_CLEAR);
  return got > 0 ? 1 : -1;
}

// Host: a client whose conn has heard nothing for PEER_GONE_MS has gone.
static void drop_silent_clients()
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
    if (client_conn[i] && peer_silence(client_conn[i]) >= PEER_GONE_MS)
      host_client_gone(i);
}

// Client: says once that the host has fallen silent, and once that it is back.
static void watch_host()
{
  if (!server_conn || host_ended)
    return;
  int silence = peer_silence(server_conn);
  if (silence < 0)
    return;
  bool silent = silence >= PEER_GONE_MS;
  if (silent != host_silent)
    out_line("Server", 0, silent ? "The host is not answering" : "The host is answering again");
  host_silent = silent;
}

// What one packet from a client can make the host queue for each other
// client: a join's announcements.
#define RELAYS_PER_PACKET (MAX_USERS + 1)

void host_receive()
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++) {
    for (int n = 0; n < RECEIVE_LIMIT && client_conn[i]; n++) {
      // A client whose relays could not all be queued is not read: its
      // messages wait in its conn, and its window fills instead. The query
      // still runs the conn's protocol step (acknowledgements, keep-alives).
      if (!relay_room(i, RELAYS_PER_PACKET) || !files_room(i)) {
        chat_net_ops.query(client_conn[i]);
        break;
      }
      int got = receive_one(client_conn[i]);
      if (got == SEAL_BROKEN)
        host_client_gone(i);  // replayed, reordered or forged: the conn cannot go on
      if (got == 0 || got == SEAL_BROKEN)
        break;
      if (got > 0)
        host_handle_packet(i);
    }
  }
  host_echo();
  drop_silent_clients();
}

void client_receive()
{
  for (int n = 0; n < RECEIVE_LIMIT && server_conn; n++) {
    int got = receive_one(server_conn);
    if (got == SEAL_BROKEN && !host_ended) {
      host_ended = true;
      out_line("Server", 0, unopened_text);
      out_ended(unopened_text);
    }
    if (got == 0 || got == SEAL_BROKEN)
      break;
    if (got > 0)
      client_handle_packet();
  }
  change_from = alert_from = -1;
  watch_host();
}
