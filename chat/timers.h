// The 60 Hz logic tick shared between Allegro's timer context and the loops.
#ifndef YAMMER_TIMERS_H
#define YAMMER_TIMERS_H

#include <atomic>

// Ticks due and not yet run: the timer adds, the loops take one per step.
extern std::atomic<int> speed_counter;

void increment_speed_counter();

#endif
