// The program: start-up and the state loop; the globals it shares are in shell.h.
#ifndef YAMMER_MAIN_H
#define YAMMER_MAIN_H

#include "shell.h"

// The whole program: start-up, then the state loop. 0 after EXIT, -1 when
// Allegro, the graphics mode or "data.dat" cannot be had. The window's
// scale is scale_asked (scale.h), 0 choosing it from the desktop.
int yammerlane_main();

#endif
