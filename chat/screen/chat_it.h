// The chat room on the screen: its loop, keys and windows. The chat's
// participants and rules are the core's (session.h, engine.h).
#ifndef YAMMER_CHAT_IT_H
#define YAMMER_CHAT_IT_H

#include <allegro.h>
#include "engine.h"
#include "session.h"
#include "windows.h"

extern int test_number;   // what F3 sends

// Runs one whole chat (1 host, 2 join); returns with program_state 1.
void chat_prog(int chat_type);

// The parts chat_prog is made of, for programs that drive a chat without
// keys. chat_start: the screen set up and the chat opened (engine.h); 0
// running, else the start failed (its message has been shown). The network
// half of each step is chat_net_step. chat_end: the chat closed
// (chat_close), the screen released, back to the menu.
int chat_start(int chat_type);
void chat_key_step(int chat_type);
void chat_end(int chat_type);

// Plays sample `index` (when sound is on) and traces it.
void chat_sound(int index);
// A new background of pattern `seed` at the next frame, and a new log page
// that starts with the change notice.
void change_background(int seed);

// Screen: window set-up, one log line, the buddy list, one frame. The
// set-up installs the screen as chat_out, what the core tells (events.h).
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
