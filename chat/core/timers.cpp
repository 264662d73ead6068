// The 60 Hz logic tick, the clock and the waits of the program.
#include <chrono>
#include <thread>
#include "timers.h"

// std::atomic makes the timer's increment and the loops' decrement
// indivisible and every read see memory, so no tick is lost or run twice.
std::atomic<int> speed_counter(0);

// Allegro's END_OF_FUNCTION, which marks the routine's end for locking its
// memory under DOS, is empty here; the chat's core includes no Allegro header.
void increment_speed_counter()
{
  speed_counter++;
}

void wait_for_tick()
{
  // A tick is due every 16.7 ms; 1 ms sleeps keep the step within a
  // millisecond of it while costing next to nothing.
  while (speed_counter.load() <= 0)
    wait_ms(1);
}

void wait_ms(int ms)
{
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long long clock_us()
{
  using namespace std::chrono;
  return (long long)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

long clock_ms()
{
  return (long)(clock_us() / 1000);
}
