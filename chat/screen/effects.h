// Screen effects and the program's one polled line-input routine.
#ifndef YAMMER_EFFECTS_H
#define YAMMER_EFFECTS_H

// Takes at most one key from Allegro's keyboard buffer and applies it to
// `words` (zero-terminated, room for max_length + 1 bytes): backspace
// shortens it, Enter/line feed/Escape are consumed and dropped, any other
// code is appended while the text is shorter than max_length. Never waits.
// A positive `delay` discards keys struck during the next `delay` calls
// (among calls that pass a positive delay) after a character was stored.
void get_keyboard_input(char *words, int max_length, int delay);

/* ---- Chat screen helpers: background pattern, random numbers ---- */

// The zero fill the chat's texts are reset with, clear_string, is the core's.
#include "session.h"

struct BITMAP;

// Paints `bmp` with the chat's background pattern for base value `num`
// (0-255), over the screen's width and height. Slow (two random draws per
// pixel): only at a chat start and on a background change.
void drawBackground(struct BITMAP *bmp, int num);
// rand() % u.
int Random(int u);

#endif
