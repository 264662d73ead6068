// The 60 Hz logic tick: the counter the timer fills and the loops drain.
#include <allegro.h>
#include "timers.h"

// std::atomic makes the timer's increment and the loops' decrement
// indivisible and every read see memory, so no tick is lost or run twice.
std::atomic<int> speed_counter(0);

void increment_speed_counter()
{
  speed_counter++;
}
END_OF_FUNCTION(increment_speed_counter)

void wait_for_tick()
{
  // A tick is due every 16.7 ms; 1 ms sleeps keep the step within a
  // millisecond of it while costing next to nothing.
  while (speed_counter.load() <= 0)
    rest(1);
}
