// The chat room on the screen: start, the paced loop, the keys and the chat
// screen (three windows over the background pattern). The chat itself, its
// rules and conns, is the core's (engine.cpp, rules.cpp); it tells the
// screen what happened through chat_out.
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include "chat_it.h"
#include "data.h"
#include "effects.h"
#include "events.h"
#include "log_scroll.h"
#include "files.h"
#include "network.h"
#include "packet.h"
#include "rules.h"
#include "scale.h"
#include "seal.h"
#include "shell.h"
#include "timers.h"

int test_number = 2345;

// The Enter that chose START is often still down when the first steps run;
// it was pressed for the menu, not for a line, and is ignored until let go.
static bool enter_from_menu = false;

// A background change waits for the next frame (change_background).
static bool background_due = false;
static int background_seed = 0;

// Why the chat ended when it ended by itself (a refused join): shown in a
// box once the loop is over.
static const char *end_reason = NULL;

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

static void screen_users_changed()
{
  buddy_window.re_draw = true;
}

static void screen_alert(int who)
{
  (void)who;
  chat_sound(ALERT_SOUND);
}

static void screen_ended(const char *reason)
{
  // A chat that stays open (the host said goodbye) keeps its log in view;
  // its reason is already a line there.
  if (done)
    end_reason = reason;
}

/* ---- Files coming in: one bar each under the buddy list ---- */

typedef struct file_bar_t {
  bool used;
  char name[FILE_OFFER_NAME];
  long long got, size;
  long ms;
} file_bar_t;
static file_bar_t file_bars[FILE_TAKES];

static void screen_file_progress(int slot, const char *name, long long got, long long size, long ms)
{
  if (slot < 0 || slot >= FILE_TAKES)
    return;
  file_bar_t *b = &file_bars[slot];
  b->used = got >= 0;
  snprintf(b->name, sizeof b->name, "%s", name);
  b->got = got;
  b->size = size;
  b->ms = ms;
}

// Name, percent and rate of each file coming in, and a bar, in the free
// column under the buddy window.
static void draw_file_bars()
{
  int y = buddy_window.y + buddy_window.height + 6;
  for (const file_bar_t &b : file_bars) {
    if (!b.used || y + 30 > FRAME_H)
      continue;
    int percent = b.size > 0 ? (int)(b.got * 100 / b.size) : 100;
    double rate = b.ms > 0 ? b.got / 1024.0 / 1024.0 / (b.ms / 1000.0) : 0;
    textprintf_ex(buffer, font, buddy_window.x, y, 255, 0, "%.12s", b.name);
    textprintf_ex(buffer, font, buddy_window.x, y + 9, 255, 0, "%3d%% %.1fM/s", percent, rate);
    rect(buffer, buddy_window.x, y + 19, buddy_window.x + 99, y + 25, 255);
    rectfill(buffer, buddy_window.x + 1, y + 20, buddy_window.x + 1 + percent * 97 / 100, y + 24, 255);
    y += 32;
  }
}

static void wait_release(int k);

// While the file selector is open the chat goes on. Allegro's dialog loop
// reads the mouse buttons through its gui_mouse_b hook on every pass (and
// in its inner loops while a button is held); the hook put in its place
// runs the logic steps that are due, network only, before it reads them.
// The conns are polled, lines are taken in (shown once the selector
// closes) and the host does not take a browsing user for gone.
static int selector_chat_type = 0;
static int (*plain_mouse_b)() = NULL;

static int selector_mouse_b()
{
  // The dialog loop never rests: a short sleep keeps it off a whole core.
  if (speed_counter <= 0)
    wait_ms(1);
  while (speed_counter > 0) {
    chat_net_step(selector_chat_type);
    speed_counter--;
  }
  return plain_mouse_b ? plain_mouse_b() : 0;
}

// F6: Allegro's file selector over the chat; Esc in it cancels. It opens
// in the folder of the last file offered.
static void offer_from_selector(int chat_type)
{
  static char path[FILE_PATH_SIZE] = "";
  if (!path[0]) {
    const char *home = getenv("HOME");
    snprintf(path, sizeof path, "%s/", home ? home : ".");
  }
  selector_chat_type = chat_type;
  plain_mouse_b = gui_mouse_b;
  gui_mouse_b = selector_mouse_b;
  int chosen = file_select_ex("Offer a file to the chat (Esc cancels)", path, NULL, sizeof path, 400, 300);
  gui_mouse_b = plain_mouse_b;
  // The Esc or Enter that closed the selector is not for the chat.
  wait_release(KEY_ESC);
  wait_release(KEY_ENTER);
  clear_keybuf();
  speed_counter = 1;
  // The windows are drawn from their own bitmaps at every frame: the log's
  // page is not repainted, which would start it afresh.
  if (chosen)
    file_offer(path, chat_type);
  char *slash = strrchr(path, '/');
  if (slash)
    slash[1] = 0;
}

// What the core tells, as this screen shows it.
static const chat_events screen_events = {
  post_message,          /* line */
  screen_users_changed,  /* users_changed */
  change_background,     /* background */
  screen_alert,          /* alert */
  chat_sound,            /* sound: the cues are sample indices */
  screen_ended,          /* ended */
  NULL,                  /* file_offered: the offer's line says it all */
  screen_file_progress,  /* file_progress: a bar under the buddy list */
  NULL,                  /* file_saved: the "saved to" line says it */
};

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
  memset(file_bars, 0, sizeof file_bars);
  chat_out = screen_events;
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
  log_scroll_new_page(held_messages());
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
    drawBackground(background, background_seed);
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
  draw_file_bars();
  present_frame(buffer);
  release_screen();
}

// A new background and a new log page that starts with the change notice.
void change_background(int seed)
{
  // Painted at the next frame: changes that come faster than frames, from
  // keys or from peers, cost one painting (some 60 ms at 8 bits) a frame.
  background_due = true;
  background_seed = seed;
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
    chat_say(chat_type);
  }
  if (key[KEY_F1]) {
    wait_release(KEY_F1);
    change_background(rand() % 256);
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
  if (key[KEY_F6]) {
    wait_release(KEY_F6);
    offer_from_selector(chat_type);
  }
  if (key[KEY_F7]) {
    wait_release(KEY_F7);
    file_take_newest(chat_type);
  }
  if (key[KEY_F8]) {
    wait_release(KEY_F8);
    file_stop_newest(chat_type);
  }
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

int chat_start(int chat_type)
{
  srand((unsigned)time(0));
  enter_from_menu = key[KEY_ENTER] != 0;
  end_reason = NULL;
  chat_trace_open(getenv("YAMMERLANE_TRACE"));
  if (buffer)
    clear(buffer);
  if (background)
    clear(background);
  chat_screen_start();

  char why[START_FAILURE_SIZE];
  int result = chat_type == 1 ? chat_host_open(why) : chat_join_open(connect_wait_frame, why);
  if (why[0])
    allegro_message("%s", why);
  return result;
}

void chat_end(int chat_type)
{
  chat_close(chat_type);
  if (buffer)
    clear(buffer);
  if (background)
    clear(background);
  chat_screen_end();
  chat_trace_close();
  // Keys typed ahead of Esc, or while a join waited for a host in vain, are
  // not for the menu: its next screen would type them into NAME.
  clear_keybuf();
  program_state = 1;
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
        // The buddy list is repainted at every frame that follows a step.
        buddy_window.re_draw = true;
        trace_slowest("step", start, &slowest_step);
        speed_counter--;
      }
      long long start = clock_us();
      draw_chat_frame();
      trace_slowest("frame", start, &slowest_frame);
      // The wait for the next step serves the files on their way.
      while (!done && speed_counter <= 0)
        if (!chat_files_pump(chat_type))
          wait_ms(1);
    }
    if (end_reason)
      allegro_message("%s", end_reason);
  }
  chat_end(chat_type);
}
