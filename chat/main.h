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

#endif
