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
