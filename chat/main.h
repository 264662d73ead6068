// Process-wide globals of the program shell, shared by the menu and the chat.
#ifndef YAMMER_MAIN_H
#define YAMMER_MAIN_H

#include <allegro.h>

extern DATAFILE *data;        // the objects of "data.dat"
extern BITMAP *buffer;        // off-screen frame, 640 x 480
extern BITMAP *background;    // backdrop layer of the same size
extern bool sound_ok;         // samples play only while true
extern bool exit_prog;        // ends the program loop
extern int program_state;     // 1 menu, 2 chat, 3 exit

// Seam around Allegro's sound start (install_sound by default), so that
// tests can make it fail; machines without a sound device never do.
extern int (*sound_installer)(int digi, int midi, const char *cfg_path);

// Starts sound through sound_installer; on failure prints the sound message
// on standard output and clears sound_ok, and the program runs silently.
void start_sound();

// Plays sample `index` of `data` at volume 255, pan 255, normal pitch, once;
// does nothing while sound_ok is false or when the object is no sample.
void play_sound(int index);

// 1 when `dat` holds what the program reads (samples at 0, 2 and 6, a font
// at 5), else 0: a wrong file must not be read as fonts and samples.
int datafile_usable(const DATAFILE *dat);

// The whole program: start-up, then the state loop. 0 after EXIT, -1 when
// Allegro, the graphics mode or "data.dat" cannot be had. The window's
// scale is scale_asked (scale.h), 0 choosing it from the desktop.
int yammerlane_main();

#endif
