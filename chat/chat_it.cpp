// The chat room: start, the paced loop and the chat screen (three windows
// over the background pattern). The packet rules are in rules.cpp.
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include "chat_it.h"
#include "data.h"
#include "discovery.h"
#include "effects.h"
#include "log_scroll.h"
#include "main.h"
#include "menu.h"
#include "network.h"
#include "packet.h"
#include "rules.h"
#include "scale.h"
#include "seal.h"
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

static const char *bad_port = "Bad PORT: type a number from 1 to 65535, or leave it empty.";

// The Enter that chose START is often still down when the first steps run;
// it was pressed for the menu, not for a line, and is ignored until let go.
static bool enter_from_menu = false;

// A background change waits for the next frame (change_background).
static bool background_due = false;

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

/* ---- Trace: posted lines and played samples, for tests and benchmarks ---- */

// Written only when YAMMERLANE_TRACE names a file; one line per event:
// "<ms> post <color> <who>: <message>" or "<ms> sound <index>".
static FILE *trace = NULL;

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

// A new slowest logic step or frame of the running chat, in microseconds:
// "<ms> slowest step <us>", "<ms> slowest frame <us>". What a flood of
// packets costs the loop shows here.
static void trace_slowest(const char *what, long long since, long long *slowest)
{
  long long took = clock_us() - since;
  if (took <= *slowest)
    return;
  *slowest = took;
  if (trace) {
    fprintf(trace, "%ld slowest %s %lld\n", clock_ms(), what, took);
    fflush(trace);
  }
}

void chat_sound(int index)
{
  if (trace) {
    fprintf(trace, "%ld sound %d\n", clock_ms(), index);
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
  background_due = false;
  log_scroll_start();
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
  log_scroll_end();
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
    fprintf(trace, "%ld post %d %s: %s\n", clock_ms(), color, who, message);
    fflush(trace);
  }
  log_scroll_posted(who, color, message);
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
  log_scroll_new_page();
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
  if (background_due && background)
    drawBackground(background, rand() % 256);
  background_due = false;
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
  blit(background, buffer, 0, 0, 0, 0, frame_w(), frame_h());
  window *all[3] = {&chat_window, &buddy_window, &text_box};
  for (window *w : all)
    if (w->window_bitmap)
      blit(w->window_bitmap, buffer, 0, 0, w->x, w->y, w->width, w->height);
  log_scroll_draw(buffer);
  present_frame(buffer);
  release_screen();
}

// A new background and a new log page that starts with the change notice.
void change_background()
{
  // Painted at the next frame: changes that come faster than frames, from
  // keys or from peers, cost one painting (some 60 ms at 8 bits) a frame.
  background_due = true;
  text_box.re_draw = true;
  buddy_window.re_draw = true;
  // Repaint the log now, not at the frame, so the notice stands on the new page.
  repaint_log();
  post_message("Server", 0, change);
}

/* ---- The loop ---- */

// The step waits for the key to come up, so one press acts once.
static void wait_release(int k)
{
  while (key[k])
    wait_ms(1);
}

void chat_key_step(int chat_type)
{
  if (key[KEY_ESC])
    done = true;
  get_keyboard_input(user[my_number].typings, USER_TYPINGS - 1, 0);
  log_scroll_keys();
  if (!key[KEY_ENTER])
    enter_from_menu = false;
  if (key[KEY_ENTER] && !enter_from_menu) {
    wait_release(KEY_ENTER);
    if (chat_type != 1 && host_ended) {
      // Nobody would receive it: the line must not look sent.
      post_message("Server", 0, "Not sent: the host has ended the chat (Esc leaves)");
      clear_string(user[my_number].typings, USER_TYPINGS);
    } else if (chat_type != 1 && !send_room(server_conn)) {
      // The host is not taking lines as fast: the line waits where it is.
      post_message("Server", 0, "Not sent yet: the host is busy (Enter tries again)");
    } else {
      post_message(user[my_number].name, user[my_number].text_color, user[my_number].typings);
      send_flag = true;
    }
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
    if (Sever_listen_for_new_client())
      host_new_client();
    if (send_flag)
      send_typed_line(chat_type);
    host_receive();
    seal_step();
    discovery_host_step(users_present(), discovery_clock_ms());
    return;
  }
  if (!connected) {
    client_ask_to_join();
    return;
  }
  client_receive();
  if (send_flag)
    send_typed_line(chat_type);
}

// The frame of Client_init's wait: whom it is connecting to, how long it
// keeps trying, and that Esc gives up. Nonzero when Esc is down.
static int connect_wait_frame(const char *peer, long remaining_ms)
{
  if (buffer && screen) {
    clear_to_color(buffer, 15);
    // The box grows to the left for a long IPv6 text, which is shown whole.
    char line[80];
    snprintf(line, sizeof line, "Connecting to %.54s", peer);
    int x = 140;
    if (x + text_length(font, line) > FRAME_W - 20)
      x = FRAME_W - 20 - text_length(font, line);
    rect(buffer, x - 20, 180, x - 20 < 120 ? FRAME_W - 10 : 520, 290, 25);
    textout_ex(buffer, font, line, x, 200, 0, -1);
    if (connect_wait_note)
      textout_ex(buffer, font, connect_wait_note, x, 225, 0, -1);
    else
      textprintf_ex(buffer, font, x, 225, 0, -1, "Trying for %ld more seconds", (remaining_ms + 999) / 1000);
    textout_ex(buffer, font, "Esc: back to the menu", x, 260, 0, -1);
    acquire_screen();
    present_frame(buffer);
    release_screen();
  }
  if (!key[KEY_ESC])
    return 0;
  wait_release(KEY_ESC);  // the same press must not end the menu too
  return 1;
}

// Tells the host what to tell the others: each address of this machine
// with the port the chat listens on.
#define JOIN_LINES_MAX 8
static void post_join_lines()
{
  char addresses[JOIN_LINES_MAX][MACHINE_ADDRESS_SIZE];
  const char *local = net_getconnlocaladdress(listen_conn);
  const char *colon = local ? strrchr(local, ':') : NULL;
  int count = machine_addresses(addresses, JOIN_LINES_MAX);
  for (int i = 0; i < count && colon; i++) {
    char line[USER_DATA];
    snprintf(line, sizeof line, "Others can join at %.29s port %.5s", addresses[i], colon + 1);
    post_message("Server", 0, line);
  }
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
  rules_reset();

  seal_end();
  if (chat_type == 1) {
    // K is made before anybody can knock.
    if (seal_host_start(chat_key) != 0) {
      allegro_message("Not enough memory to make the chat's key");
      done = true;
      return 1;
    }
    int result = Server_init();
    if (result == 1 && port_field_refused)
      allegro_message("%s", bad_port);
    else if (result == 1)
      allegro_message("Error opening conn\n%s", failure_cause);
    else if (result == 2)
      allegro_message("Error making a listen conn\n%s", failure_cause);
    if (result)
      done = true;
    memcpy(user[my_number].name, host_name, USER_NAME);
    user[my_number].name[USER_NAME - 1] = 0;
    user[my_number].text_color = pick_color;
    if (result == 0)
      post_join_lines();
    if (result == 0 && discovery_host_open(listen_conn, user[my_number].name, MAX_USERS - 1, seal_keyed()) != 0)
      post_message("Server", 0, "Not findable: the discovery port is taken");
    return result;
  }
  connect_wait_hook = connect_wait_frame;
  int result = Client_init(ip_addy);
  const char *why = NULL;
  if (result == 0 && chat_key[0])
    result = seal_client_join(server_conn, chat_key, connect_wait_frame, &why);
  connect_wait_hook = NULL;
  if (why)
    allegro_message("%s", why);
  else if (result == 1 && port_field_refused)
    allegro_message("%s", bad_port);
  else if (result == 1)
    allegro_message("Error opening conn.\n%s", failure_cause);
  else if (result == 2)
    allegro_message("Error initiating connection.\n%s", failure_cause);
  else if (result == 3)
    allegro_message("Error connecting.\n%s", failure_cause);
  // 4: the user cancelled the wait with Esc, and knows it.
  if (result)
    done = true;
  return result;
}

void chat_end(int chat_type)
{
  discovery_host_close();
  // Everybody hears of the leave at once instead of after the silence.
  if (chat_type == 1 || (connected && !host_ended))
    say_bye(chat_type);
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
  rules_reset();
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
  long long slowest_step = 0, slowest_frame = 0;
  if (chat_start(chat_type) == 0) {
    while (!done) {
      while (speed_counter > 0) {
        chat_key_step(chat_type);  // may wait for a key to come up: not timed
        long long start = clock_us();
        chat_net_step(chat_type);
        trace_slowest("step", start, &slowest_step);
        speed_counter--;
      }
      long long start = clock_us();
      draw_chat_frame();
      trace_slowest("frame", start, &slowest_frame);
      if (!done)
        wait_for_tick();
    }
    if (join_refused)
      allegro_message("%s", join_refused);
  }
  chat_end(chat_type);
}
