// The timer hook and its default: a millisecond count from a monotonic
// clock; and the time held for one stretch of work on a thread.
#include <chrono>

#include "internal.h"

unsigned int (*__netlane_timer_func)(void) = NULL;

// steady_clock rather than the wall clock: the wall clock can jump while the
// program runs, and every wait and resend is measured as a difference.
static const std::chrono::steady_clock::time_point process_start =
    std::chrono::steady_clock::now();

// Milliseconds from the process's start to `at`, as a wrapping unsigned
// 32-bit count.
static unsigned int ms_since_start(std::chrono::steady_clock::time_point at)
{
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - process_start).count();
  return static_cast<unsigned int>(ms);  // wraps after about 49 days, by design
}

static unsigned int default_timer_func(void)
{
  return ms_since_start(std::chrono::steady_clock::now());
}

void net_set_timer_func(unsigned int (*timer)(void))
{
  __netlane_timer_func = timer ? timer : default_timer_func;
}

namespace {
thread_local int hold_depth = 0;
thread_local unsigned int held_time = 0;
// The monotonic clock's reading behind held_time, when the timer is the
// default one (a program's own timer says nothing of it); else -1.
thread_local long long held_clock = -1;

long long clock_ns()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void hold(long long clock)
{
  if (hold_depth++ > 0) return;
  if (__netlane_timer_func != default_timer_func) {
    held_clock = -1;
    held_time = __netlane_timer_func();
    return;
  }
  if (clock < 0) clock = clock_ns();
  held_clock = clock;
  held_time = ms_since_start(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(clock)));
}
}  // namespace

void __netlane_internal__time_hold(void)
{
  hold(-1);
}

void __netlane_internal__time_hold_at(long long clock)
{
  hold(clock);
}

void __netlane_internal__time_release(void)
{
  if (hold_depth > 0) hold_depth--;
}

unsigned int __netlane_internal__now(void)
{
  return hold_depth > 0 ? held_time : __netlane_timer_func();
}

long long __netlane_internal__clock(void)
{
  return hold_depth > 0 && held_clock >= 0 ? held_clock : clock_ns();
}
