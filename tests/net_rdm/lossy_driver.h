// An in-memory channel driver for conn tests: channels are numbered ports
// ("7") in one process, and every datagram sent may be dropped, duplicated
// or held back (which reorders) by a seeded generator. Time is the test's
// own millisecond clock, installed as the library's timer hook.
#ifndef RDM_LOSSY_DRIVER_H
#define RDM_LOSSY_DRIVER_H

#include <vector>

#include "netlane.h"

struct lossy_settings {
  unsigned int seed;
  int loss_percent;       // each datagram is lost with this chance
  int duplicate_percent;  // each datagram that survives is sent twice with this chance
  int max_delay_ms;       // each copy arrives 0 to this many ms late, independently
};

// Counters of what the network did since the last lossy_reset.
struct lossy_counters {
  long sent;        // datagrams handed to the network
  long dropped;     // lost on purpose
  long duplicated;  // extra copies made
  long oversize;    // receives refused because the buffer was too small
};

// The driver record; register it with net_register_driver after net_init.
extern NET_DRIVER lossy_driver;

// Empties every port and in-flight datagram and applies new settings; with
// no channel open, automatic port numbers start from 1 again.
void lossy_reset(const lossy_settings &settings);
const lossy_counters &lossy_stats();

// A datagram that reaches port `to` as if port `from` had sent it (a
// forged source address), past the loss and delay.
void lossy_forge(int from, int to, const std::vector<unsigned char> &bytes);

// The test clock, in ms. Install with net_set_timer_func(test_clock) before
// net_init; it only moves when the test moves it.
unsigned int test_clock(void);
void test_clock_set(unsigned int now);
void test_clock_advance(unsigned int ms);

#endif
