// The chat room: start, the paced loop, the packet rules of host and client,
// and the chat screen (three windows over the background pattern).
//
// Chat packets (codec in packet.cpp), all sent as the whole 1024 bytes:
//   "ReJo" colour, name     client -> host   join request
//   "Join" who, colour, name host -> all     announces one user
//   "You!" who              host -> joiner   the joiner's user number
//   "New!"                  host -> all      a conn was accepted
//   "Mesg" who, line        both ways        a typed line
//   "Chng" / "Sund"         both ways        new background / alert sound
//   "Numb" number text      both ways        test number, not relayed
#include <allegro.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <chrono>
#include "chat_it.h"
#include "data.h"
#include "discovery.h"
#include "effects.h"
#include "main.h"
#include "menu.h"
#include "network.h"
#include "packet.h"
#include "timers.h"

the_user user[MAX_USERS];
int user_num = 1;
int my_number = 1;
bool done = false;
bool send_flag = false;
int test_number = 2345;
char user_data[USER_DATA];
const char *a_new_user = "A new user joined the chat";
const char *change = "Lets change it up a bit!";
int client_user[MAX_CLIENTS];

// The Enter that chose START is often still down when the first steps run;
// it was pressed for the menu, not for a line, and is ignored until let go.
static bool enter_from_menu = false;

window chat_window;
window buddy_window;
window text_box;
int y_pos = 0;

// Log lines that found the page full, oldest first, shown on the next pages.
// Several lines can arrive in the step that fills a page (a join announces
// every user, F4 posts ten), and none of them may be lost; the queue is
// bounded so that a flood cannot grow it without end.
#define HELD_TEXT 64
#define HELD_LINES 250   // ten pages
typedef struct held_line_t {
  char who[HELD_TEXT];
  int color;
  char text[HELD_TEXT];
} held_line_t;
static held_line_t held_lines[HELD_LINES];
static int held_first = 0;   // index of the oldest held line
static int held_count = 0;

static const char *chat_full = "The chat is full";

/* ---- Trace: posted lines and played samples, for tests and benchmarks ---- */

// Written only when YAMMERLANE_TRACE names a file; one line per event:
// "<ms> post <color> <who>: <message>" or "<ms> sound <index>".
static FILE *trace = NULL;

static long trace_ms()
{
  using namespace std::chrono;
  return (long)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void chat_trace_open(const char *path)
{
  if (path && path[0] && !trace)
    trace = fopen(path, "a");
}

void chat_trace_close()
{
  if (trace)
    fclose(trace);
  trace = NULL;
}

static void chat_sound(int index)
{
  if (trace) {
    fprintf(trace, "%ld sound %d\n", trace_ms(), index);
    fflush(trace);
  }
  play_sound(index);
}

/* ---- Screen ---- */

static void set_window(window *w, int x, int y, int width, int height)
{
  w->x = x;
  w->y = y;
  w->width = width;
  w->height = height;
  w->color = 15;
  w->re_draw = true;
}

void chat_screen_start()
{
  set_window(&chat_window, 25, 15, 500, 400);
  set_window(&buddy_window, 540, 15, 100, 200);
  set_window(&text_box, 80, 430, 450, 15);
  chat_window.window_bitmap = create_bitmap(chat_window.width, chat_window.height);
  buddy_window.window_bitmap = create_bitmap(buddy_window.width, buddy_window.height);
  text_box.window_bitmap = create_bitmap(text_box.width, text_box.height);
  window *all[3] = {&chat_window, &buddy_window, &text_box};
  for (window *w : all)
    if (w->window_bitmap)
      clear(w->window_bitmap);
  y_pos = 0;
  held_count = 0;
  // The log page is painted now, not at the first frame: the steps that run
  // before that frame (a client's burst after connecting) already post lines,
  // and a first repaint would wipe them.
  repaint_log();
  if (background)
    drawBackground(background, rand() % 256);
}

void chat_screen_end()
{
  window *all[3] = {&chat_window, &buddy_window, &text_box};
  for (window *w : all) {
    if (w->window_bitmap)
      destroy_bitmap(w->window_bitmap);
    w->window_bitmap = NULL;
  }
  held_count = 0;
}

// One log line, below the last; on a full page it is held for the next.
static void write_line(const char *who, int color, const char *message)
{
  y_pos += 15;
  if (y_pos >= chat_window.height - 15) {
    // Page full: the line waits for the next page. Only a queue already
    // ten pages long gives up its oldest line.
    chat_window.re_draw = true;
    if (held_count == HELD_LINES) {
      held_first = (held_first + 1) % HELD_LINES;
      held_count--;
    }
    held_line_t *h = &held_lines[(held_first + held_count) % HELD_LINES];
    snprintf(h->who, sizeof h->who, "%s", who);
    snprintf(h->text, sizeof h->text, "%s", message);
    h->color = color;
    held_count++;
    return;
  }
  if (chat_window.window_bitmap)
    textprintf_ex(chat_window.window_bitmap, font, 10, y_pos, color, -1, "%s: %s", who, message);
}

void post_message(const char *who, int color, const char *message)
{
  if (trace) {
    fprintf(trace, "%ld post %d %s: %s\n", trace_ms(), color, who, message);
    fflush(trace);
  }
  write_line(who, color, message);
}

const char *held_message()
{
  return held_count > 0 ? held_lines[held_first].text : NULL;
}

int held_messages()
{
  return held_count;
}

void populate_buddy_list()
{
  for (int n = 0; n < MAX_USERS; n++)
    textprintf_ex(buddy_window.window_bitmap, font, 20, 10 + 10 * n, 5, -1, "%s", user[n].name);
}

static void paint_frame(window *w)
{
  rectfill(w->window_bitmap, 0, 0, w->width, w->height, w->color);
  rect(w->window_bitmap, 1, 1, w->width - 1, w->height - 1, w->color + 10);
}

void repaint_log()
{
  chat_window.re_draw = false;
  y_pos = 0;
  if (chat_window.window_bitmap) {
    paint_frame(&chat_window);
    textout_ex(chat_window.window_bitmap, font, "We Yammerlane", 200, 2, rand() % 256, -1);
  }
  // The held lines open the new page in their order; those that do not fit
  // go back to the end of the queue for the page after. Each was posted
  // once already, so none is traced again.
  for (int n = held_count; n > 0; n--) {
    held_line_t line = held_lines[held_first];
    held_first = (held_first + 1) % HELD_LINES;
    held_count--;
    write_line(line.who, line.color, line.text);
  }
}

void draw_chat_frame()
{
  acquire_screen();
  clear(buffer);
  if (chat_window.re_draw)
    repaint_log();
  if (buddy_window.re_draw && buddy_window.window_bitmap) {
    paint_frame(&buddy_window);
    textout_ex(buddy_window.window_bitmap, font, "Folkers", 10, 2, rand() % 256, -1);
    populate_buddy_list();
    buddy_window.re_draw = false;
  }
  if (text_box.re_draw && text_box.window_bitmap) {
    // Never cleared: the typed line is shown afresh in every frame.
    paint_frame(&text_box);
    textout_ex(text_box.window_bitmap, font, "CHAT!:", 1, 2, rand() % 256, -1);
    textout_ex(text_box.window_bitmap, font, user[my_number].typings, 50, 2,
            user[my_number].text_color, -1);
  }
  blit(background, buffer, 0, 0, 0, 0, SCREEN_W, SCREEN_H);
  window *all[3] = {&chat_window, &buddy_window, &text_box};
  for (window *w : all)
    if (w->window_bitmap)
      blit(w->window_bitmap, buffer, 0, 0, w->x, w->y, w->width, w->height);
  blit(buffer, screen, 0, 0, 0, 0, SCREEN_W, SCREEN_H);
  release_screen();
}

// A new background and a new log page that starts with the change notice.
static void change_background()
{
  if (background)
    drawBackground(background, rand() % 256);
  text_box.re_draw = true;
  buddy_window.re_draw = true;
  // Repaint the log now, not at the frame, so the notice stands on the new page.
  repaint_log();
  post_message("Server", 0, change);
}

/* ---- Sending ---- */

// Packets that a conn refused because its window of unacknowledged messages
// was full, kept in order and sent again in later steps before anything
// newer. A join announces every user to every conn in one step, and two
// joins in one step overrun the window of a full chat: without the backlog
// a newcomer could lose its "You!". One backlog per conn (ten client conns
// or the one conn to the host); a conn that never acknowledges again keeps
// only its oldest BACKLOG_PACKETS.
#define BACKLOG_PACKETS 32
typedef struct backlog_t {
  NET_CONN *conn;   // NULL: unused
  int first, count;
  char packets[BACKLOG_PACKETS][PACKET_SIZE];
} backlog_t;
static backlog_t backlogs[MAX_CLIENTS];

static backlog_t *backlog_of(NET_CONN *conn, bool make)
{
  backlog_t *free_one = NULL;
  for (backlog_t &b : backlogs) {
    if (b.conn == conn)
      return &b;
    if (!b.conn && !free_one)
      free_one = &b;
  }
  if (make && free_one) {
    free_one->conn = conn;
    free_one->first = free_one->count = 0;
  }
  return make ? free_one : NULL;
}

// Before a conn is closed: the record may be reused for a new conn.
static void backlog_forget(NET_CONN *conn)
{
  backlog_t *b = backlog_of(conn, false);
  if (b)
    b->conn = NULL;
}

static void backlog_clear()
{
  for (backlog_t &b : backlogs)
    b.conn = NULL;
}

// Sends what each conn has waiting, oldest first, until its window is full again.
static void backlog_flush()
{
  for (backlog_t &b : backlogs) {
    while (b.conn && b.count > 0 &&
           chat_net_ops.send(b.conn, b.packets[b.first], PACKET_SIZE) == 0) {
      b.first = (b.first + 1) % BACKLOG_PACKETS;
      b.count--;
    }
  }
}

static void send_packet(NET_CONN *conn)
{
  if (!conn)
    return;
  backlog_t *b = backlog_of(conn, false);
  if ((!b || b->count == 0) && chat_net_ops.send(conn, packetbuffer, PACKET_SIZE) == 0)
    return;
  if (!b)
    b = backlog_of(conn, true);
  if (b && b->count < BACKLOG_PACKETS) {
    memcpy(b->packets[(b->first + b->count) % BACKLOG_PACKETS], packetbuffer, PACKET_SIZE);
    b->count++;
  }
}

// Host: to every open client conn except `skip` (-1 skips none).
static void send_to_clients(int skip)
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
    if (i != skip)
      send_packet(client_conn[i]);
}

// What a key sends goes to every client from the host, to the host from a client.
static void send_from_key(int chat_type)
{
  if (chat_type == 1)
    send_to_clients(-1);
  else
    send_packet(server_conn);
  clear_string(packetbuffer, PACKET_CLEAR);
}

static void send_typed_line(int chat_type)
{
  Packet("Mesg");
  PacketAddByte((char)my_number);
  PacketAddManyBytes(user[my_number].typings);
  if (chat_type == 1) {
    send_to_clients(-1);
  } else {
    send_packet(server_conn);
    chat_sound(MESSAGE_SOUND);
  }
  clear_string(user[my_number].typings, USER_TYPINGS);
  clear_string(packetbuffer, PACKET_CLEAR);
  send_flag = false;
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

static void host_join(int conn_index)
{
  int color = PacketGetByte();
  PacketGetManyBytes(user_data);
  int who = client_user[conn_index];
  if (who == 0) {
    if (user_num + 1 >= MAX_USERS) {
      // No slot left: tell the newcomer once and let it go.
      clear_string(packetbuffer, PACKET_CLEAR);
      Packet("Mesg");
      PacketAddByte(0);
      PacketAddManyBytes(chat_full);
      send_packet(client_conn[conn_index]);
      backlog_forget(client_conn[conn_index]);
      chat_net_ops.close(client_conn[conn_index]);
      client_conn[conn_index] = NULL;
      post_message("Server", 0, "The chat is full: a new user was turned away");
      clear_string(user_data, USER_DATA);
      clear_string(packetbuffer, PACKET_CLEAR);
      return;
    }
    user_num++;
    who = user_num;
    client_user[conn_index] = who;
  }
  user[who].text_color = color;
  set_name(who, user_data);
  post_message(user[who].name, color, "Im the new guy!");
  chat_sound(JOIN_SOUND);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
  buddy_window.re_draw = true;

  for (int z = 0; z < MAX_USERS; z++) {
    if (strlen(user[z].name) < 2)  // a one-character name is never announced
      continue;
    Packet("Join");
    PacketAddByte((char)z);
    PacketAddByte((char)user[z].text_color);
    PacketAddManyBytes(user[z].name);
    send_to_clients(-1);
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  // The number goes back on the conn that asked, so joins that cross in
  // flight each get their own.
  Packet("You!");
  PacketAddByte((char)who);
  send_packet(client_conn[conn_index]);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
}

static void host_line(int conn_index)
{
  buddy_window.re_draw = true;
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
    post_message("Unknown user", user[who].text_color, user_data);
  } else {
    post_message(user[who].name, user[who].text_color, user_data);
  }
  chat_sound(MESSAGE_SOUND);
  clear_typings_of(who);
  clear_string(packetbuffer, PACKET_CLEAR);

  Packet("Mesg");
  PacketAddByte((char)who);
  PacketAddManyBytes(user_data);
  send_to_clients(conn_index);  // the author has its own echo
  chat_sound(MESSAGE_SOUND);
  clear_typings_of(who);
  clear_string(user_data, USER_DATA);
  clear_string(packetbuffer, PACKET_CLEAR);
}

// atoi of a received text, without atoi's undefined result for a number
// beyond int (the text is up to 50 digits): such a number stops at the limit.
static int number_of(const char *text)
{
  long value = strtol(text, NULL, 10);
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return (int)value;
}

static void show_number()
{
  clear_string(user_data, USER_DATA);
  PacketGetManyBytes(user_data);
  snprintf(user_data, USER_DATA, "%d", number_of(user_data));
  post_message("Number test", 0, user_data);
  clear_string(packetbuffer, PACKET_CLEAR);
}

void host_handle_packet(int conn_index)
{
  if (conn_index < 0 || conn_index >= MAX_CLIENTS || !client_conn[conn_index]) {
    clear_string(packetbuffer, PACKET_CLEAR);
    return;
  }
  if (PacketRead("ReJo"))
    host_join(conn_index);
  if (PacketRead("Mesg"))
    host_line(conn_index);
  if (PacketRead("Chng")) {
    change_background();
    // The echo is built on a zeroed buffer, not on the sender's bytes.
    clear_string(packetbuffer, PACKET_CLEAR);
    Packet("Chng");
    send_to_clients(-1);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Sund")) {
    chat_sound(ALERT_SOUND);
    clear_string(packetbuffer, PACKET_CLEAR);
    Packet("Sund");
    send_to_clients(-1);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Numb"))
    show_number();
  // A packet no rule took must not leak into the next one read.
  clear_string(packetbuffer, PACKET_CLEAR);
}

void client_handle_packet()
{
  if (PacketRead("Mesg")) {
    buddy_window.re_draw = true;
    int who = PacketGetByte();
    PacketGetManyBytes(user_data);
    if (user_number_ok(who)) {
      post_message(user[who].name, user[who].text_color, user_data);
      chat_sound(MESSAGE_SOUND);
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
      post_message(user[who].name, user[who].text_color, "Got a join packet");
      buddy_window.re_draw = true;
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
      post_message(user[my_number].name, user[my_number].text_color, user_data);
      connected = true;
    }
    clear_string(user_data, USER_DATA);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("New!")) {
    post_message("Server", 0, a_new_user);
    chat_sound(JOIN_SOUND);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Chng")) {
    change_background();
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Sund")) {
    chat_sound(ALERT_SOUND);
    clear_string(packetbuffer, PACKET_CLEAR);
  }
  if (PacketRead("Numb"))
    show_number();
  clear_string(packetbuffer, PACKET_CLEAR);
}

// More than a peer can have in flight through its window; a peer that
// floods past it cannot hold the step for ever.
#define RECEIVE_LIMIT 64

// Takes in the waiting messages of one conn; 1 for each that is a packet.
static int receive_one(NET_CONN *conn)
{
  int size = chat_net_ops.query(conn);
  if (size <= 0)
    return 0;
  if (size > PACKET_SIZE) {
    // Left queued it would be reported again and again; no chat packet is that long.
    chat_net_ops.ignore(conn);
    return -1;
  }
  int got = chat_net_ops.receive(conn, packetbuffer, PACKET_SIZE);
  // Every packet built here goes out as all PACKET_SIZE bytes, and the
  // rules zero only the head: what a peer put past it must not travel on.
  clear_string(packetbuffer + PACKET_CLEAR, PACKET_SIZE - PACKET_CLEAR);
  if (got < 0) {
    clear_string(packetbuffer, PACKET_CLEAR);
    chat_net_ops.ignore(conn);
  }
  return got > 0 ? 1 : -1;
}

void host_receive()
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++) {
    for (int n = 0; n < RECEIVE_LIMIT && client_conn[i]; n++) {
      int got = receive_one(client_conn[i]);
      if (got == 0)
        break;
      if (got > 0)
        host_handle_packet(i);
    }
  }
}

void client_receive()
{
  for (int n = 0; n < RECEIVE_LIMIT && server_conn; n++) {
    int got = receive_one(server_conn);
    if (got == 0)
      break;
    if (got > 0)
      client_handle_packet();
  }
}

/* ---- The loop ---- */

// The step waits for the key to come up, so one press acts once.
static void wait_release(int k)
{
  while (key[k])
    rest(1);
}

void chat_key_step(int chat_type)
{
  if (key[KEY_ESC])
    done = true;
  get_keyboard_input(user[my_number].typings, USER_TYPINGS - 1, 0);
  if (!key[KEY_ENTER])
    enter_from_menu = false;
  if (key[KEY_ENTER] && !enter_from_menu) {
    wait_release(KEY_ENTER);
    post_message(user[my_number].name, user[my_number].text_color, user[my_number].typings);
    send_flag = true;
  }
  if (key[KEY_F1]) {
    wait_release(KEY_F1);
    change_background();
    Packet("Chng");
    send_from_key(chat_type);
  }
  if (key[KEY_F2]) {
    wait_release(KEY_F2);
    chat_sound(ALERT_SOUND);
    Packet("Sund");
    send_from_key(chat_type);
  }
  if (key[KEY_F3]) {
    wait_release(KEY_F3);
    snprintf(user_data, USER_DATA, "%d", test_number);
    Packet("Numb");
    PacketAddManyBytes(user_data);
    send_from_key(chat_type);
  }
  if (key[KEY_F4]) {
    wait_release(KEY_F4);
    for (int n = 0; n < MAX_USERS; n++)
      post_message(user[n].name, user[n].text_color, "Test");
  }
}

void chat_net_step(int chat_type)
{
  buddy_window.re_draw = true;
  backlog_flush();
  if (chat_type == 1) {
    if (Sever_listen_for_new_client()) {
      client_user[client_num - 1] = 0;
      post_message("Server", 0, a_new_user);
      Packet("New!");
      send_to_clients(-1);
      clear_string(packetbuffer, PACKET_CLEAR);
    }
    if (send_flag)
      send_typed_line(chat_type);
    host_receive();
    discovery_host_step(users_present(), discovery_clock_ms());
    return;
  }
  if (!connected) {
    Packet("ReJo");
    PacketAddByte((char)pick_color);
    PacketAddManyBytes(client_name);
    send_packet(server_conn);
    clear_string(packetbuffer, PACKET_CLEAR);
    connected = true;
    return;
  }
  client_receive();
  if (send_flag)
    send_typed_line(chat_type);
}

int chat_start(int chat_type)
{
  srand((unsigned)time(0));
  enter_from_menu = key[KEY_ENTER] != 0;
  chat_trace_open(getenv("YAMMERLANE_TRACE"));
  Init_network_stuff();
  done = false;
  send_flag = false;
  if (buffer)
    clear(buffer);
  if (background)
    clear(background);
  chat_screen_start();
  backlog_clear();
  for (int i = 0; i < MAX_CLIENTS; i++)
    client_user[i] = 0;

  if (!port_text_ok(port_num)) {
    allegro_message("Bad PORT: type a number from 1 to 65535, or leave it empty.");
    done = true;
    return 1;
  }
  if (chat_type == 1) {
    int result = Server_init();
    if (result == 1)
      allegro_message("Error opening conn");
    else if (result == 2)
      allegro_message("Error making a listen conn");
    if (result)
      done = true;
    memcpy(user[my_number].name, host_name, USER_NAME);
    user[my_number].name[USER_NAME - 1] = 0;
    user[my_number].text_color = pick_color;
    if (result == 0 && discovery_host_open(listen_conn, user[my_number].name, MAX_USERS - 1) != 0)
      post_message("Server", 0, "Not findable: the discovery port is taken");
    return result;
  }
  int result = Client_init(ip_addy);
  if (result == 1)
    allegro_message("Error opening conn.");
  else if (result == 2)
    allegro_message("Error initiating connection.");
  else if (result == 3)
    allegro_message("Error connecting.");
  if (result)
    done = true;
  return result;
}

void chat_end(int chat_type)
{
  backlog_clear();
  discovery_host_close();
  if (chat_type == 1)
    Server_exit();
  else
    Client_exit();
  if (buffer)
    clear(buffer);
  if (background)
    clear(background);
  clear_string(packetbuffer, PACKET_CLEAR);
  clear_string(user_data, USER_DATA);
  for (int n = 0; n < MAX_USERS; n++) {
    clear_string(user[n].typings, USER_TYPINGS);
    clear_string(user[n].name, USER_NAME);
  }
  for (int i = 0; i < MAX_CLIENTS; i++)
    client_user[i] = 0;
  my_number = 1;
  user_num = 1;
  send_flag = false;
  chat_screen_end();
  chat_trace_close();
  // Keys typed ahead of Esc, or while a join waited for a host in vain, are
  // not for the menu: its next screen would type them into NAME.
  clear_keybuf();
  program_state = 1;
}

int users_present()
{
  int n = 1;
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
    if (client_conn[i] && client_user[i] != 0)
      n++;
  return n;
}

void chat_prog(int chat_type)
{
  if (chat_start(chat_type) == 0) {
    while (!done) {
      while (speed_counter > 0) {
        chat_key_step(chat_type);
        chat_net_step(chat_type);
        speed_counter--;
      }
      draw_chat_frame();
      if (!done)
        wait_for_tick();
    }
  }
  chat_end(chat_type);
}
