// The timer hook and its default: a millisecond count from a monotonic
// clock; and the time held for one stretch of work on a thread.
#include <chrono>

#include "internal.h"

unsigned int (*__netlane_timer_func)(void) = NULL;

// steady_clock rather than the wall clock: the wall clock can jump while the
// program runs, and every wait and resend is measured as a difference.
static const std::chrono::steady_clock::time_point process_start =
    std::chrono::steady_clock::now();

// Milliseconds since the process started, as a wrapping unsigned 32-bit count.
static unsigned int default_timer_func(void)
{
  std::chrono::steady_clock::duration elapsed = std::chrono::steady_clock::now() - process_start;
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<unsigned int>(ms);  // wraps after about 49 days, by design
}

void net_set_timer_func(unsigned int (*timer)(void))
{
  __netlane_timer_func = timer ? timer : default_timer_func;
}

namespace {
thread_local int hold_depth = 0;
thread_local unsigned int held_time = 0;
}  // namespace

void __netlane_internal__time_hold(void)
{
  if (hold_depth++ == 0) held_time = __netlane_timer_func();
}

void __netlane_internal__time_release(void)
{
  if (hold_depth > 0) hold_depth--;
}

unsigned int __netlane_internal__now(void)
{
  return hold_depth > 0 ? held_time : __netlane_timer_func();
}
