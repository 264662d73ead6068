// The chat log's scrollback: the latest lines posted in this run, kept in a
// ring of fixed size, and the view that pages back through them. Plain
// logic without Allegro; the screen side is log_scroll.cpp.
#ifndef YAMMER_SCROLLBACK_H
#define YAMMER_SCROLLBACK_H

#include <stddef.h>

#define SCROLLBACK_LINES 2000  // kept lines; older ones are dropped and counted
#define SCROLLBACK_TEXT    64  // as a held line: more than a log row shows (61)
#define SCROLLBACK_PAGE    25  // lines of one log page

// One posted line: "who: text" in `color`, each cut to fit its field.
typedef struct scrollback_line_t {
  char who[SCROLLBACK_TEXT];
  int color;
  char text[SCROLLBACK_TEXT];
} scrollback_line_t;

// Lines are numbered from 0 in the order they were posted; the ring keeps
// the numbers first .. total - 1, so `first` is also how many were dropped.
typedef struct scrollback_t {
  scrollback_line_t lines[SCROLLBACK_LINES];
  long first;   // number of the oldest kept line
  long total;   // lines posted since the last clear
} scrollback_t;

// Where the log's view stands. Live, it is the log's own page; otherwise it
// shows the page of lines that starts at `top`, and new lines do not move it.
typedef struct scroll_view_t {
  bool live;
  long top;    // number of the first line shown while not live
  long seen;   // lines posted when the view left the live page
} scroll_view_t;

// Empties the store.
void scrollback_clear(scrollback_t *sb);
// Keeps a copy of one posted line, dropping the oldest when the ring is
// full; returns the line's number.
long scrollback_add(scrollback_t *sb, const char *who, int color, const char *text);
// The kept line numbered `n`, or NULL when it was dropped or not yet posted.
const scrollback_line_t *scrollback_get(const scrollback_t *sb, long n);
// Bytes the store occupies: the same after its first line as after millions.
size_t scrollback_bytes(const scrollback_t *sb);

// The view: `live_first` is the number of the first line of the live page
// (lines posted later stand on it or wait for the next page).
void scroll_view_live(scroll_view_t *v);
// Moves the view by `lines` (negative: back to older lines), never before
// the oldest kept line; moving forward onto the live page makes it live
// again, and so does a move back when nothing older than it is kept.
// 1 when the view changed, else 0.
int scroll_view_move(scroll_view_t *v, const scrollback_t *sb, long lines, long live_first);
// Home: the page that starts at the oldest kept line (stays live when that
// is the live page's own). 1 when the view changed.
int scroll_view_home(scroll_view_t *v, const scrollback_t *sb, long live_first);
// Keeps a view that is not live on kept lines: the ring may have dropped
// the lines it showed. 1 when it had to move.
int scroll_view_clamp(scroll_view_t *v, const scrollback_t *sb);
// The frame's note of a view that is not live, as "-3 pages, 12 new, End
// returns": pages back from the live page and lines posted since leaving it.
void scroll_view_note(const scroll_view_t *v, const scrollback_t *sb, long live_first, char *out,
                      size_t size);

#endif
