// The chat screen's framed windows, which the chat room and the log's
// scrollback both draw into; they are defined with the chat room.
#ifndef YAMMER_WINDOWS_H
#define YAMMER_WINDOWS_H

#include <allegro.h>

// A framed window of the chat screen, drawn into its own bitmap.
typedef struct window_typ {
  int x, y;                // top-left corner on the screen
  int width, height;
  int color;               // fill; the frame is drawn in color + 10
  bool re_draw;            // repaint the bitmap at the next frame
  BITMAP *window_bitmap;   // width x height, created at every chat start
} window;

extern window chat_window;   // message log
extern window buddy_window;  // participants
extern window text_box;      // the line being typed
extern int y_pos;            // y of the last line written into the log

#endif
