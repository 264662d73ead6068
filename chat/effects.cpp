// Screen effects and the polled line-input routine shared by menu and chat.
#include <allegro.h>
#include <string.h>
#include "effects.h"

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

/* ---- Chat screen helpers: background pattern, random numbers, zero fill ---- */

void drawBackground(BITMAP *bmp, int num)
{
  int d1 = 16, d2 = 16;

  clear_to_color(bmp, makecol(255, 255, 255));
  for (int j = 0; j < SCREEN_H; j++) {
    for (int i = 0; i < SCREEN_W; i++) {
      int b1 = d1 + 192;
      int b2 = d2 + 128;
      if (b1 < 128) b1 = 128;
      if (b1 > 255) b1 = 255;
      if (b2 < 128) b2 = 128;
      if (b2 > 255) b2 = 255;
      if (Random(1000) > 950)
        d1 = -d1;
      if (Random(1000) > 950)
        d2 = -d2;
      // Red and green go out of 0-255 unclamped: with no rgb_map set,
      // makecol picks the nearest palette entry, and that choice is the pattern.
      putpixel(bmp, i, j, makecol(num - b1, num + b2, num));
    }
  }
}

int Random(int u)
{
  return rand() % u;
}

void clear_string(char *words, int array)
{
  memset(words, 0, array);
}
