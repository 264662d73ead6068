// The window that fits the desktop: every screen still draws its 640 x 480
// frame; only the last copy to the screen is scaled, N times each way.
#ifndef YAMMER_SCALE_H
#define YAMMER_SCALE_H

#include <allegro.h>

#define FRAME_W   640  // the frame every screen composes in `buffer`
#define FRAME_H   480
#define SCALE_MAX   4
#define PANEL_ROOM 80  // desktop height left to panels and title bars

// The window's scale, 1-4: the screen is FRAME_W x FRAME_H times this.
extern int screen_scale;
// What the command line or YAMMERLANE_SCALE asked for: 1-4, or 0 to let
// the program choose from the desktop.
extern int scale_asked;

// Seam around Allegro's set_gfx_mode (the default), so that tests can
// refuse modes as a desktop would.
extern int (*gfx_mode_setter)(int card, int w, int h, int v_w, int v_h);

// 1-4 for the texts "1" .. "4", else 0.
int parse_scale(const char *text);
// The largest N up to SCALE_MAX with FRAME_W·N <= width and FRAME_H·N <=
// height - PANEL_ROOM; 1 when none fits.
int fitting_scale(int width, int height);
// Sets the graphics mode: the window of `scale_asked` (or of the desktop's
// fitting scale), else a 640 x 480 window, else 640 x 480 full screen, and
// sets screen_scale to match. 0 when a mode is set, else Allegro's -1.
int open_scaled_window();
// The screen's width and height as the frame sees them (the driver's size
// over screen_scale; 0 when no driver is set).
int frame_w();
int frame_h();
// Copies the 640 x 480 `frame` to the screen, each pixel N x N.
void present_frame(BITMAP *frame);

#endif
