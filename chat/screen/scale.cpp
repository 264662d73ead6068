// The window that fits the desktop, and the one scaled copy of each frame
// to the screen (see scale.h).
#include <allegro.h>
#include <stdio.h>
#include "scale.h"

int screen_scale = 1;
int scale_asked = 0;
int (*gfx_mode_setter)(int card, int w, int h, int v_w, int v_h) = set_gfx_mode;

int parse_scale(const char *text)
{
  if (!text || text[0] < '1' || text[0] > '0' + SCALE_MAX || text[1] != 0)
    return 0;
  return text[0] - '0';
}

int fitting_scale(int width, int height)
{
  for (int n = SCALE_MAX; n > 1; n--)
    if (FRAME_W * n <= width && FRAME_H * n <= height - PANEL_ROOM)
      return n;
  return 1;
}

int open_scaled_window()
{
  int n = scale_asked;
  int width = 0, height = 0;
  if (n == 0)
    n = get_desktop_resolution(&width, &height) == 0 ? fitting_scale(width, height) : 1;
  if (n > 1 && gfx_mode_setter(GFX_AUTODETECT_WINDOWED, FRAME_W * n, FRAME_H * n, 0, 0) == 0) {
    screen_scale = n;
    return 0;
  }
  if (n > 1)
    fprintf(stderr, "yammerlane: no %dx%d window here; opening a 640x480 one\n", FRAME_W * n, FRAME_H * n);
  // Full screen is a 640 x 480 mode of its own: it is never scaled.
  screen_scale = 1;
  if (gfx_mode_setter(GFX_AUTODETECT_WINDOWED, FRAME_W, FRAME_H, 0, 0) == 0 ||
      gfx_mode_setter(GFX_AUTODETECT, FRAME_W, FRAME_H, 0, 0) == 0)
    return 0;
  return -1;
}

int frame_w()
{
  return SCREEN_W / screen_scale;
}

int frame_h()
{
  return SCREEN_H / screen_scale;
}

void present_frame(BITMAP *frame)
{
  if (screen_scale == 1)
    blit(frame, screen, 0, 0, 0, 0, SCREEN_W, SCREEN_H);
  else
    stretch_blit(frame, screen, 0, 0, frame->w, frame->h, 0, 0, frame->w * screen_scale,
                 frame->h * screen_scale);
}
