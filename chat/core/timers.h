// The 60 Hz logic tick shared between Allegro's timer context and the loops,
// and the program's one clock and one way of waiting.
#ifndef YAMMER_TIMERS_H
#define YAMMER_TIMERS_H

#include <atomic>

// Ticks due and not yet run: the timer adds, the loops take one per step.
extern std::atomic<int> speed_counter;

// Timer callback, installed at 60 calls a second: adds one due tick.
void increment_speed_counter();

// Sleeps until speed_counter is above 0, so that a loop with nothing to do
// gives its core back instead of spinning and redrawing.
void wait_for_tick();

// Sleeps `ms` milliseconds; needs no Allegro service, so the conns' waits
// work in headless tests too.
void wait_ms(int ms);

// Milliseconds and microseconds of a monotonic clock (the wall clock can
// jump while a chat runs); compare differences only.
long clock_ms();
long long clock_us();

#endif
