// The 60 Hz logic tick shared between Allegro's timer context and the loops.
#ifndef YAMMER_TIMERS_H
#define YAMMER_TIMERS_H

#include <atomic>

// Ticks due and not yet run: the timer adds, the loops take one per step.
extern std::atomic<int> speed_counter;

// Timer callback, installed at 60 calls a second: adds one due tick.
void increment_speed_counter();

// Sleeps (Allegro's rest) until speed_counter is above 0, so that a loop
// with nothing to do gives its core back instead of spinning and redrawing.
void wait_for_tick();

#endif
