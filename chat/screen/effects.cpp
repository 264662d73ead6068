// Screen effects and the polled line-input routine shared by menu and chat.
#include <allegro.h>
#include <string.h>
#include "effects.h"
#include "scale.h"

void get_keyboard_input(char *words, int max_length, int delay)
{
  // Shared by every caller: the throttle paces typing, not one field.
  static int key_delay = 0;

  if (delay > 0 && key_delay > 0) {
    clear_keybuf();
    key_delay--;
  }

  if (!keypressed())
    return;

  int length = (int)strlen(words);
  int code = readkey() & 0xff;

  switch (code) {
    case 8:  // backspace
      if (length > 0)
        words[length - 1] = 0;
      break;
    case 10:  // line feed
    case 13:  // Enter
    case 27:  // Escape: the callers watch these through the key array
      break;
    default:
      if (length < max_length) {
        words[length] = (char)code;
        words[length + 1] = 0;
        if (delay > 0)
          key_delay = delay;
      }
      break;
  }
}

/* ---- Chat screen helpers: background pattern, random numbers ---- */

// Keeps a step value of the pattern within 128-255.
static int pattern_clamp(int v)
{
  return v < 128 ? 128 : v > 255 ? 255 : v;
}

void drawBackground(BITMAP *bmp, int num)
{
  // d1 and d2 are only ever +16 or -16, so the pattern has four colours.
  // Each is made once: at 8 bits makecol searches the palette, and making
  // it per pixel cost some 60 ms a call.
  int colors[2][2];
  for (int s1 = 0; s1 < 2; s1++) {
    for (int s2 = 0; s2 < 2; s2++) {
      int b1 = pattern_clamp((s1 ? 16 : -16) + 192);
      int b2 = pattern_clamp((s2 ? 16 : -16) + 128);
      // Red and green go out of 0-255 unclamped: with no rgb_map set,
      // makecol picks the nearest palette entry, and that choice is the pattern.
      colors[s1][s2] = makecol(num - b1, num + b2, num);
    }
  }

  int d1 = 16, d2 = 16;
  clear_to_color(bmp, makecol(255, 255, 255));
  for (int j = 0; j < frame_h(); j++) {
    for (int i = 0; i < frame_w(); i++) {
      int color = colors[d1 > 0][d2 > 0];
      if (Random(1000) > 950)
        d1 = -d1;
      if (Random(1000) > 950)
        d2 = -d2;
      putpixel(bmp, i, j, color);
    }
  }
}

int Random(int u)
{
  return rand() % u;
}
