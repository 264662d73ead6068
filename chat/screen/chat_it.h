// The chat room: its participants, loop and screen.
#ifndef YAMMER_CHAT_IT_H
#define YAMMER_CHAT_IT_H

#include <allegro.h>

#define MAX_USERS     10  // user numbers 0-9; 0 is never handed out, the host is 1
#define USER_NAME     10  // 9 characters and the terminator
#define USER_TYPINGS  55  // a typed line: 54 characters and the terminator
#define USER_DATA     60  // scratch text: a 50-byte text field, a number, a notice

// One chat participant, indexed by user number.
typedef struct user_typ {
  char name[USER_NAME];          // empty: the slot is free
  int text_color;                // palette index of this user's lines
  int counter;                   // reserved
  char typings[USER_TYPINGS];    // the local user's line being typed
  char array_name[USER_NAME];    // reserved
} the_user;

// A framed window of the chat screen, drawn into its own bitmap.
typedef struct window_typ {
  int x, y;                // top-left corner on the screen
  int width, height;
  int color;               // fill; the frame is drawn in color + 10
  bool re_draw;            // repaint the bitmap at the next frame
  BITMAP *window_bitmap;   // width x height, created at every chat start
} window;

extern the_user user[MAX_USERS];
extern int user_num;      // host: the highest user number handed out
extern int my_number;     // this machine's user number; the host is 1
extern bool done;         // ends the chat loop
extern bool send_flag;    // Enter was pressed: the typed line goes out this step
extern int test_number;   // what F3 sends
extern char user_data[USER_DATA];
extern const char *a_new_user;
extern const char *change;

extern window chat_window;   // message log
extern window buddy_window;  // participants
extern window text_box;      // the line being typed
extern int y_pos;            // y of the last line written into the log

// Host: users in the chat, the host included (what discovery tells).
int users_present();

// Runs one whole chat (1 host, 2 join); returns with program_state 1.
void chat_prog(int chat_type);

// The parts chat_prog is made of, for programs that drive a chat without
// keys or screen. chat_start: 0 running, else the start failed (its message
// has been shown). chat_net_step: steps 8/9 of a logic step (joins, the
// typed line, receiving). chat_end: closes conns, wipes the tables.
int chat_start(int chat_type);
void chat_key_step(int chat_type);
void chat_net_step(int chat_type);
void chat_end(int chat_type);

// Plays sample `index` (when sound is on) and traces it.
void chat_sound(int index);
// A new background and a new log page that starts with the change notice.
void change_background();

// Screen: window set-up, one log line, the buddy list, one frame.
void chat_screen_start();
void chat_screen_end();
void post_message(const char *who, int color, const char *message);
void populate_buddy_list();
// Repaints the log window now: a new empty page, the held lines on top.
void repaint_log();
void draw_chat_frame();

// Trace of posted lines and played samples, appended to `path` (a chat
// opens the file that YAMMERLANE_TRACE names and closes it at its end):
//   "<ms> post <color> <who>: <message>"   "<ms> sound <index>"
void chat_trace_open(const char *path);
void chat_trace_close();

// The oldest log line held because the page was full (NULL when none), and
// how many are held.
const char *held_message();
int held_messages();

#endif
