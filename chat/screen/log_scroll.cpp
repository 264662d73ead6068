// The log window's scrollback on the chat screen: keys and wheel, and the
// scrolled view drawn in the log window's place (see log_scroll.h).
#include <allegro.h>
#include "windows.h"
#include "log_scroll.h"

static scrollback_t store;
static scroll_view_t view = {true, 0, 0};
static long live_first = 0;
static BITMAP *view_bitmap = NULL;
static bool view_due = false;      // repaint the view at the next frame
static bool key_was[4];            // PgUp, PgDn, Home, End down in the last step
static int wheel_seen = 0;         // mouse_z taken so far

void log_scroll_start()
{
  scroll_view_live(&view);
  live_first = store.total;
  for (bool &k : key_was)
    k = true;  // a key still down from before the chat acts only when pressed again
  wheel_seen = mouse_z;
}

void log_scroll_end()
{
  if (view_bitmap)
    destroy_bitmap(view_bitmap);
  view_bitmap = NULL;
  scroll_view_live(&view);
}

void log_scroll_posted(const char *who, int color, const char *message)
{
  scrollback_add(&store, who, color, message);
  if (!view.live)
    view_due = true;  // the note counts it; the view stays where it is
}

void log_scroll_new_page(int held)
{
  live_first = store.total - held;
  if (!view.live)
    view_due = true;  // the note's page count moved
}

// True once per press of key `k`.
static bool pressed(int k, bool *was)
{
  bool down = key[k] != 0;
  bool now = down && !*was;
  *was = down;
  return now;
}

void log_scroll_keys()
{
  int moved = 0;
  if (pressed(KEY_PGUP, &key_was[0]))
    moved |= scroll_view_move(&view, &store, -SCROLLBACK_PAGE, live_first);
  if (pressed(KEY_PGDN, &key_was[1]))
    moved |= scroll_view_move(&view, &store, SCROLLBACK_PAGE, live_first);
  if (pressed(KEY_HOME, &key_was[2]))
    moved |= scroll_view_home(&view, &store, live_first);
  if (pressed(KEY_END, &key_was[3]) && !view.live) {
    scroll_view_live(&view);
    moved = 1;
  }
  // mouse_z stays 0 where no mouse is installed; up is positive.
  if (mouse_needs_poll())
    poll_mouse();
  int z = mouse_z;
  if (z != wheel_seen)
    moved |= scroll_view_move(&view, &store, (long)(wheel_seen - z) * WHEEL_LINES, live_first);
  wheel_seen = z;
  if (moved)
    view_due = true;
}

static void paint_view()
{
  if (!view_bitmap)
    view_bitmap = create_bitmap(chat_window.width, chat_window.height);
  if (!view_bitmap)
    return;
  const window &w = chat_window;
  rectfill(view_bitmap, 0, 0, w.width, w.height, w.color);
  rect(view_bitmap, 1, 1, w.width - 1, w.height - 1, w.color + 10);
  textout_ex(view_bitmap, font, "We Yammerlane", 200, 2, 0, -1);
  // Rows as on a live page: 15 pixels apart from y 15, 25 of them.
  for (int row = 0; row < SCROLLBACK_PAGE; row++) {
    const scrollback_line_t *line = scrollback_get(&store, view.top + row);
    if (line)
      textprintf_ex(view_bitmap, font, 10, 15 + 15 * row, line->color, -1, "%s: %s", line->who, line->text);
  }
  // Below the last row and above the frame's bottom line.
  char note[64];
  scroll_view_note(&view, &store, live_first, note, sizeof note);
  textout_ex(view_bitmap, font, note, 10, w.height - 12, 0, -1);
}

void log_scroll_draw(BITMAP *frame)
{
  if (view.live)
    return;
  if (scroll_view_clamp(&view, &store))
    view_due = true;
  if (view_due || !view_bitmap)
    paint_view();
  view_due = false;
  if (view_bitmap)
    blit(view_bitmap, frame, 0, 0, chat_window.x, chat_window.y, chat_window.width, chat_window.height);
}

const scrollback_t *log_scroll_store() { return &store; }
const scroll_view_t *log_scroll_view() { return &view; }
long log_scroll_live_first() { return live_first; }
