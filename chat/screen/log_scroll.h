// The log window's scrollback on the chat screen: PgUp, PgDn, Home, End and
// the mouse wheel page through the kept lines; the live page is
// untouched and comes back with End.
#ifndef YAMMER_LOG_SCROLL_H
#define YAMMER_LOG_SCROLL_H

#include <allegro.h>
#include "scrollback.h"

// Lines the mouse wheel moves per notch.
#define WHEEL_LINES 3

// A chat screen starts on its live page (the kept lines stay: they are the
// run's); the view's bitmap is made at the first step back.
void log_scroll_start();
// Releases the view's bitmap at the end of a chat.
void log_scroll_end();
// Keeps a posted line (every post_message, held or shown).
void log_scroll_posted(const char *who, int color, const char *message);
// The live page was cleared: the lines from here on open it, the held ones
// (held_messages() of them, the latest posts) first.
void log_scroll_new_page(int held);
// One logic step of the keys: PgUp/PgDn a page, Home the oldest, End the
// live page, the wheel WHEEL_LINES a notch. Acts on a key's press, never
// waits, and leaves the keyboard buffer to the typing line.
void log_scroll_keys();
// While the view is not live, draws it over the log window's place in
// `frame` (after the windows have been copied there).
void log_scroll_draw(BITMAP *frame);

// For tests: the store, the view and the live page's first line number.
const scrollback_t *log_scroll_store();
const scroll_view_t *log_scroll_view();
long log_scroll_live_first();

#endif
