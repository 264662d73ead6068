// The chat log's scrollback: a ring of the latest posted lines and the view
// that pages through them (see scrollback.h).
#include <stdio.h>
#include <string.h>
#include "scrollback.h"

void scrollback_clear(scrollback_t *sb)
{
  sb->first = 0;
  sb->total = 0;
}

long scrollback_add(scrollback_t *sb, const char *who, int color, const char *text)
{
  if (sb->total - sb->first == SCROLLBACK_LINES)
    sb->first++;
  scrollback_line_t *line = &sb->lines[sb->total % SCROLLBACK_LINES];
  snprintf(line->who, sizeof line->who, "%s", who ? who : "");
  snprintf(line->text, sizeof line->text, "%s", text ? text : "");
  line->color = color;
  return sb->total++;
}

const scrollback_line_t *scrollback_get(const scrollback_t *sb, long n)
{
  if (n < sb->first || n >= sb->total)
    return NULL;
  return &sb->lines[n % SCROLLBACK_LINES];
}

size_t scrollback_bytes(const scrollback_t *sb)
{
  return sizeof *sb;
}

void scroll_view_live(scroll_view_t *v)
{
  v->live = true;
  v->top = 0;
  v->seen = 0;
}

int scroll_view_move(scroll_view_t *v, const scrollback_t *sb, long lines, long live_first)
{
  // Live, the view is the page that starts at live_first.
  long top = (v->live ? live_first : v->top) + lines;
  if (top < sb->first)
    top = sb->first;
  if (top >= live_first) {
    if (v->live)
      return 0;
    v->live = true;
    return 1;
  }
  if (!v->live && top == v->top)
    return 0;
  if (v->live)
    v->seen = sb->total;
  v->live = false;
  v->top = top;
  return 1;
}

int scroll_view_home(scroll_view_t *v, const scrollback_t *sb, long live_first)
{
  return scroll_view_move(v, sb, sb->first - (v->live ? live_first : v->top), live_first);
}

int scroll_view_clamp(scroll_view_t *v, const scrollback_t *sb)
{
  if (v->live || v->top >= sb->first)
    return 0;
  v->top = sb->first;
  return 1;
}

void scroll_view_note(const scroll_view_t *v, const scrollback_t *sb, long live_first, char *out,
                      size_t size)
{
  long back = live_first - v->top;
  long pages = back > 0 ? (back + SCROLLBACK_PAGE - 1) / SCROLLBACK_PAGE : 1;
  snprintf(out, size, "-%ld page%s, %ld new, End returns", pages, pages == 1 ? "" : "s",
           sb->total - v->seen);
}
