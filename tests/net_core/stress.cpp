// Several threads opening and closing channels and conns on the no-network
// and local host drivers at once, the local channels sending to one port
// that another thread drains while it counts the open lists under their
// mutexes.
// Built plain, under AddressSanitizer and under ThreadSanitizer; a watchdog
// turns a deadlock into a failure instead of a hang.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "channels.h"
#include "conns.h"
#include "internal.h"

namespace {

const int kThreads = 4;
const int kRounds = 300;
const int kHeld = 4;  // channels and conns each thread holds at once

std::atomic<int> failures(0);
std::atomic<bool> finished(false);

void fail(const char *what)
{
  fprintf(stderr, "stress: %s\n", what);
  failures++;
}

void worker()
{
  for (int round = 0; round < kRounds; round++) {
    NET_CHANNEL *chans[kHeld];
    NET_CONN *conns[kHeld];
    for (int i = 0; i < kHeld; i++) {
      int driver = i % 2 ? NET_DRIVER_LOCAL : NET_DRIVER_NONET;
      chans[i] = net_openchannel(driver, NULL);
      conns[i] = net_openconn(driver, NULL);
      if (!chans[i] || !conns[i]) fail("open failed");
      if (driver == NET_DRIVER_LOCAL && chans[i] &&
          (net_assigntarget(chans[i], "0") != 0 || net_send(chans[i], &round, sizeof round) != 0))
        fail("local send failed");
    }
    for (int i = 0; i < kHeld; i++) {
      // Close in mixed order so nodes leave the middle of the lists too.
      if (chans[(i + round) % kHeld] && net_closechannel(chans[(i + round) % kHeld]) != 0) fail("channel close failed");
      if (conns[kHeld - 1 - i] && net_closeconn(conns[kHeld - 1 - i]) != 0) fail("conn close failed");
    }
  }
}

template <typename Node>
int count_locked(Node *head, void *mutex)
{
  __netlane_internal__mutex_lock(mutex);
  int n = 0;
  for (Node *node = head->next; node && n <= 10000; node = node->next) n++;
  __netlane_internal__mutex_unlock(mutex);
  return n;
}

std::atomic<long> sunk(0);

void counter(NET_CHANNEL *sink)
{
  const int most = kThreads * kHeld;
  while (!finished.load()) {
    int round;
    char from[NET_MAX_ADDRESS_LENGTH];
    for (int n = 0; n < 64 && net_receive(sink, &round, sizeof round, from) == (int)sizeof round; n++) sunk++;
    // Conns of the local driver hold a channel each; the sink is one more.
    if (count_locked(__netlane_internal__openchannels, __netlane_internal__openchannels_mutex) > most + most / 2 + 1)
      fail("open-channel list too long");
    if (count_locked(__netlane_internal__openconns, __netlane_internal__openconns_mutex) > most)
      fail("open-conn list too long");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void watchdog()
{
  for (int tenths = 0; tenths < 900; tenths++) {
    if (finished.load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  fprintf(stderr, "stress: no progress after 90 s, a lock is stuck\n");
  _exit(2);
}

}  // namespace

int main()
{
  std::thread dog(watchdog);
  NET_CHANNEL *sink = NULL;
  if (net_init() != 0 || net_initdriver(NET_DRIVER_NONET) != 1 || net_initdriver(NET_DRIVER_LOCAL) != 1 ||
      !(sink = net_openchannel(NET_DRIVER_LOCAL, ""))) {
    fail("library did not start");
    finished = true;
    dog.join();
    return 1;
  }

  std::thread count(counter, sink);
  std::vector<std::thread> workers;
  for (int i = 0; i < kThreads; i++) workers.emplace_back(worker);
  for (std::thread &t : workers) t.join();
  finished = true;
  count.join();
  dog.join();

  net_closechannel(sink);
  if (sunk.load() == 0) fail("nothing reached the local sink");
  if (__netlane_internal__openchannels->next) fail("channels left open");
  if (__netlane_internal__openconns->next) fail("conns left open");
  if (net_shutdown() != 0) fail("shutdown failed");
  if (failures.load() == 0) printf("stress: %d threads x %d rounds, lists consistent\n", kThreads, kRounds);
  return failures.load() == 0 ? 0 : 1;
}
