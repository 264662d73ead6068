// net_wait, wait sets and net_wake over conns: waking on a message from
// another thread, sleeping without work, the protocol (resends, keep-alives)
// running while only waiting, a listener woken by a request, a set of
// 2,000 members, closing a conn under a wait, and the arguments refused.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "../net_inet/inet_test_util.h"
#include "plain_udp.h"
#include "rdm_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long thread_cpu_ms()
{
  struct rusage use;
  getrusage(RUSAGE_THREAD, &use);
  return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000L + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000;
}

// Conns over a driver that other threads may use at once (local, UDP), on
// the real clock.
class WaitOver : public ::testing::TestWithParam<int> {
 protected:
  NET_CONN *listener = nullptr, *client = nullptr, *accepted = nullptr;

  void SetUp() override
  {
    net_set_timer_func(NULL);
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_initdriver(GetParam()), 1);
    listener = net_openconn(GetParam(), bind_text(41234).c_str());
    client = net_openconn(GetParam(), NULL);
    ASSERT_TRUE(listener && client);
    ASSERT_EQ(net_listen(listener), 0);
    connect_to_listener(client, &accepted);
  }
  void TearDown() override { net_shutdown(); }

  // Connects `c` to the listener; `*made` is the conn the listener made.
  void connect_to_listener(NET_CONN *c, NET_CONN **made)
  {
    std::string where = net_getconnlocaladdress(listener);
    if (where[0] == ':') where = "127.0.0.1" + where;
    ASSERT_EQ(net_connect(c, where.c_str()), 0);
    // The listener is ready only once the request is there: the wait that
    // reports it must hand the request to net_poll_listen.
    NET_CONN *both[2] = {listener, c};
    for (int round = 0; round < 100 && (!*made || c->status != NET_CONN_CONNECTED); round++) {
      int ready = net_wait(both, 2, NULL, 0, 50);
      ASSERT_GE(ready, 0);
      if (!*made) *made = net_poll_listen(listener);
    }
    ASSERT_NE(*made, nullptr);
    ASSERT_EQ(c->status, NET_CONN_CONNECTED);
  }

  // The next message's length on `c`, read within a second of waits; 0
  // when none came.
  static int receive_waiting(NET_CONN *c, char *buf, int size)
  {
    int got = 0;
    for (int n = 0; n < 100 && got <= 0; n++) {
      got = net_receive_rdm(c, buf, size);
      if (got <= 0) net_wait(&c, 1, NULL, 0, 10);
    }
    return got;
  }

  // Sends `messages` on `c`, whose peer does not read, and then only waits
  // on `set` for 800 ms: whether `c` resent meanwhile.
  static bool resent_while_waiting(NET_WAITSET *set, NET_CONN *c, std::initializer_list<const char *> messages)
  {
    NET_CONN_FIGURES before, after;
    if (net_conn_figures(c, &before) != 0) return false;
    for (const char *m : messages)
      if (net_send_rdm(c, m, (int)strlen(m)) != 0) return false;
    void *ready[2];
    auto start = steady_clock::now();
    for (int n = 0; n < 100 && steady_clock::now() - start < milliseconds(800); n++)
      net_waitset_wait(set, ready, 2, 100);
    return net_conn_figures(c, &after) == 0 && after.messages_resent > before.messages_resent;
  }

  // A port of the local driver, or a free loopback UDP port (never the
  // default one, which ":0" would take).
  static std::string bind_text(int local_port)
  {
    if (GetParam() == NET_DRIVER_LOCAL) return std::to_string(local_port);
    return "127.0.0.1:" + std::to_string(free_udp_port());
  }
};

TEST_P(WaitOver, WaiterWakesWhenAMessageArrivesAndNotBefore)
{
  std::atomic<int> answer{-2};
  std::thread waiter([&] { answer = net_wait(&accepted, 1, NULL, 0, 5000); });
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(answer.load(), -2);
  ASSERT_EQ(net_send_rdm(client, "hello", 5), 0);
  waiter.join();
  EXPECT_EQ(answer.load(), 1);
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5);

  // The same in a set once the first message has proved both ends: its
  // looks then pass over the step of a conn the port filed nothing for,
  // and a wait after one that answered looks at the answered first.
  NET_WAITSET *set = net_waitset_create();
  ASSERT_EQ(net_waitset_add_conn(set, accepted, accepted), 0);
  for (const char *m : {"again", "third"}) {
    void *ready[2];
    answer = -2;
    std::thread set_waiter([&] { answer = net_waitset_wait(set, ready, 2, 5000); });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(answer.load(), -2) << m;
    ASSERT_EQ(net_send_rdm(client, m, 5), 0);
    set_waiter.join();
    EXPECT_EQ(answer.load(), 1) << m;
    EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5) << m;
  }
  net_waitset_destroy(set);

  // A message already in the socket as a wait begins: the wait's first
  // looks leave the socket to the poller, which tells of it at once, also
  // to a wait that may not sleep.
  ASSERT_EQ(net_send_rdm(accepted, "back", 4), 0);
  EXPECT_EQ(net_wait(&client, 1, NULL, 0, 0), 1);
  EXPECT_EQ(net_receive_rdm(client, buf, sizeof buf), 4);

  // A look that steps its conn (a resend fell due) reads the shared port
  // for the other conns too: what it files for one wakes the set, though
  // the poller never sees it.
  NET_CONN *client2 = net_openconn(GetParam(), NULL), *accepted2 = nullptr;
  ASSERT_TRUE(client2);
  connect_to_listener(client2, &accepted2);
  set = net_waitset_create();
  ASSERT_EQ(net_waitset_add_conn(set, accepted, accepted), 0);
  ASSERT_EQ(net_waitset_add_conn(set, accepted2, accepted2), 0);
  void *ready[2];
  // Answered after asking the poller: the next wait looks at it first.
  ASSERT_EQ(net_send_rdm(client, "first", 5), 0);
  ASSERT_EQ(net_waitset_wait(set, ready, 2, 1000), 1);
  ASSERT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5);
  ASSERT_EQ(net_send_rdm(accepted, "unread", 6), 0);
  ASSERT_EQ(net_send_rdm(client2, "other", 5), 0);
  std::this_thread::sleep_for(milliseconds(600));
  ASSERT_EQ(net_waitset_wait(set, ready, 2, 0), 1);
  EXPECT_EQ(ready[0], accepted2);
  net_waitset_destroy(set);
}

// Two sets on one port, each asleep on it: whichever wait takes the
// datagram in, the sets that hold its conn wake for it (also one that holds
// only that conn while the other holds only the listener); and what the
// program does after one set's answer reaches the other.
TEST_P(WaitOver, EverySetThatHoldsAConnWakesForItsMessage)
{
  char buf[8];
  for (NET_CONN *in_first : {accepted, listener}) {
    NET_WAITSET *first = net_waitset_create(), *second = net_waitset_create();
    ASSERT_EQ(net_waitset_add_conn(first, in_first, in_first), 0);
    ASSERT_EQ(net_waitset_add_conn(second, accepted, accepted), 0);
    void *ready_first[2], *ready_second[2];
    // Their first waits answer the looks that adding asks for.
    EXPECT_EQ(net_waitset_wait(first, ready_first, 2, 0), 0);
    EXPECT_EQ(net_waitset_wait(second, ready_second, 2, 0), 0);
    std::atomic<int> got_first{-2}, got_second{-2};
    int first_wait = in_first == accepted ? 5000 : 300;
    std::thread a([&] { got_first = net_waitset_wait(first, ready_first, 2, first_wait); });
    // Shorter than the conn's keep-alive wait: the message wakes it, not its timer.
    std::thread b([&] { got_second = net_waitset_wait(second, ready_second, 2, 400); });
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(net_send_rdm(client, "both", 4), 0);
    a.join();
    b.join();
    EXPECT_EQ(got_first.load(), in_first == accepted ? 1 : 0);
    ASSERT_EQ(got_second.load(), 1);
    EXPECT_EQ(ready_second[0], accepted);
    EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 4);
    net_waitset_destroy(first);
    net_waitset_destroy(second);
  }

  // One set (net_wait's) answers a conn of its own socket and the program
  // replies; the other set, which looked at the conn before and whose
  // poller never saw the message (the first set's look read the socket),
  // is still told of the reply, whose resend then falls due while the
  // program waits on that set alone.
  NET_WAITSET *second = net_waitset_create();
  ASSERT_EQ(net_waitset_add_conn(second, client, client), 0);
  void *ready[1];
  // Until the host's first beat is answered: the second set's look then
  // puts the conn off for seconds.
  auto start = steady_clock::now();
  for (int n = 0; n < 100 && steady_clock::now() - start < milliseconds(1500); n++) {
    net_waitset_wait(second, ready, 1, 50);
    net_wait(&accepted, 1, NULL, 0, 0);
  }
  ASSERT_EQ(net_send_rdm(accepted, "ask", 3), 0);
  ASSERT_EQ(net_wait(&client, 1, NULL, 0, 1000), 1);
  EXPECT_EQ(net_receive_rdm(client, buf, sizeof buf), 3);
  EXPECT_TRUE(resent_while_waiting(second, client, {"unread"}));
  net_waitset_destroy(second);
}

TEST_P(WaitOver, IdleWaitSleepsItsTimeOut)
{
  // Nobody reads what reaches a conn that is neither listening nor
  // connecting: it must not wake the wait again and again.
  NET_CONN *idle = net_openconn(GetParam(), bind_text(41235).c_str());
  ASSERT_NE(idle, nullptr);
  std::string where = net_getconnlocaladdress(idle);
  if (where[0] == ':') where = "127.0.0.1" + where;
  NET_CHANNEL *junk = net_openchannel(GetParam(), NULL);
  ASSERT_EQ(net_assigntarget(junk, where.c_str()), 0);
  ASSERT_EQ(net_send(junk, "junk", 4), 0);
  NET_CONN *all[4] = {listener, client, accepted, idle};
  long cpu = thread_cpu_ms();
  auto start = steady_clock::now();
  EXPECT_EQ(net_wait(all, 4, NULL, 0, 300), 0);
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
  EXPECT_LT(thread_cpu_ms() - cpu, 60);  // spinning would take about 300

  // An answer took along the acknowledgement that was due in a moment (of
  // a message that came right after another): the wait after it sleeps
  // once, not first to when the acknowledgement was due.
  if (GetParam() != NET_DRIVER_WSOCK_WIN) return;  // the local driver is polled
  char buf[8];
  for (int n = 0; n < 2; n++) {
    ASSERT_EQ(net_send_rdm(client, "ask", 3), 0);
    ASSERT_EQ(net_wait(&accepted, 1, NULL, 0, 1000), 1);
    ASSERT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 3);
  }
  ASSERT_EQ(net_send_rdm(accepted, "answer", 6), 0);
  struct rusage before, after;
  getrusage(RUSAGE_THREAD, &before);
  EXPECT_EQ(net_wait(&accepted, 1, NULL, 0, 300), 0);
  getrusage(RUSAGE_THREAD, &after);
  EXPECT_EQ(after.ru_nvcsw - before.ru_nvcsw, 1) << "times the wait slept";
}

// Waiting is all the program does: its peer still hears keep-alives. Two
// netlane ends leave them to the end that connected (the listener's conn
// answers each when it steps), so the client is the one waiting.
TEST_P(WaitOver, SetWaitSendsKeepAlives)
{
  NET_WAITSET *set = net_waitset_create();
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(net_waitset_add_conn(set, client, client), 0);
  EXPECT_EQ(net_waitset_add_conn(set, client, client), -1) << "a member once";
  void *ready[1];
  auto start = steady_clock::now();
  for (int n = 0; n < 100 && steady_clock::now() - start < milliseconds(2600); n++)
    EXPECT_EQ(net_waitset_wait(set, ready, 1, 100), 0);
  net_query_rdm(accepted);
  NET_CONN_FIGURES f;
  ASSERT_EQ(net_conn_figures(accepted, &f), 0);
  EXPECT_GE(f.peer_keepalives, 2);
  EXPECT_LE(f.peer_keepalives, 4);
  // The answer to them is heard as the host's sign of life.
  ASSERT_EQ(net_conn_figures(client, &f), 0);
  for (int n = 0; n < 100 && f.peer_keepalives == 0; n++) {
    net_wait(&client, 1, NULL, 0, 10);
    net_query_rdm(client);
    ASSERT_EQ(net_conn_figures(client, &f), 0);
  }
  EXPECT_EQ(f.peer_keepalives, 1);
  net_waitset_destroy(set);
}

// A burst of sends between waits tells the set once, and the set's looks
// still reckon every send made since: with the peer not reading, a burst
// sent after the conn has been idle is sent again after the resend wait
// (500 ms) while the program only waits, when nothing else would bring the
// conn to a look (no datagram comes, and no keep-alive is its to send).
TEST_P(WaitOver, SetWaitResendsABurstSentAfterAnEarlierOne)
{
  NET_WAITSET *set = net_waitset_create();
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(net_waitset_add_conn(set, client, client), 0);
  void *ready[1];
  char buf[8];
  ASSERT_EQ(net_send_rdm(client, "one", 3), 0);
  ASSERT_EQ(receive_waiting(accepted, buf, sizeof buf), 3);
  // Its acknowledgement taken, and the host's first beat answered.
  auto start = steady_clock::now();
  for (int n = 0; n < 100 && steady_clock::now() - start < milliseconds(1500); n++)
    net_waitset_wait(set, ready, 1, 100);
  EXPECT_TRUE(resent_while_waiting(set, client, {"two", "six"}));
  net_waitset_destroy(set);
}

// A wait passes over a conn the program has read dry; but what comes for
// an accepted one meanwhile, filed by another conn's read of the shared
// port, and what it sends meanwhile, whose resend is then due, still reach
// the set, as what reaches a client's own socket reaches its wait.
TEST_P(WaitOver, SetPassesOverAConnReadDryOnlyUntilSomethingChanges)
{
  NET_CONN *other = net_openconn(GetParam(), NULL), *accepted_other = nullptr;
  ASSERT_NE(other, nullptr);
  ASSERT_NO_FATAL_FAILURE(connect_to_listener(other, &accepted_other));
  NET_WAITSET *set = net_waitset_create();
  ASSERT_EQ(net_waitset_add_conn(set, accepted, accepted), 0);
  ASSERT_EQ(net_waitset_add_conn(set, accepted_other, accepted_other), 0);
  void *ready[2];
  char buf[8];
  // Read dry by a read that finds nothing, or by the one that takes the
  // last message.
  auto answered_and_read_dry = [&](const char *what, bool empty_read) {
    ASSERT_EQ(net_send_rdm(client, what, 3), 0);
    int got = 0;
    for (int n = 0; n < 50 && got == 0; n++) got = net_waitset_wait(set, ready, 2, 100);
    ASSERT_EQ(got, 1) << what;
    // Late enough that the read sends the acknowledgement: the conn then
    // has nothing due for seconds.
    std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 3) << what;
    if (empty_read) {
      EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 0) << what;
    }
  };
  answered_and_read_dry("one", true);
  // Both messages wait in the port until the other conn's read files them.
  ASSERT_EQ(net_send_rdm(client, "two", 3), 0);
  ASSERT_EQ(net_send_rdm(other, "six", 3), 0);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(net_receive_rdm(accepted_other, buf, sizeof buf), 3);
  EXPECT_EQ(net_waitset_wait(set, ready, 2, 300), 1);
  EXPECT_EQ(ready[0], accepted);
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 3);

  // A send keeps it dry; its resend still falls due.
  answered_and_read_dry("ten", false);
  EXPECT_TRUE(resent_while_waiting(set, accepted, {"unread"}));
  net_waitset_destroy(set);
  net_closeconn(other);

  // A conn of its own socket read dry: what reaches the socket the poller
  // names, and that brings it to a look.
  ASSERT_GT(receive_waiting(client, buf, sizeof buf), 0);
  std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(net_receive_rdm(client, buf, sizeof buf), 0);
  ASSERT_EQ(net_send_rdm(accepted, "back", 4), 0);
  EXPECT_EQ(net_wait(&client, 1, NULL, 0, 300), 1);
}

// A close from another thread takes the conn out of the waits that hold it
// and ends them; it returns once they have let go (AddressSanitizer and
// `make tsan` see to the rest).
TEST_P(WaitOver, ClosingAConnEndsTheWaitsThatHoldIt)
{
  NET_WAITSET *set = net_waitset_create();
  ASSERT_EQ(net_waitset_add_conn(set, accepted, accepted), 0);
  std::atomic<int> plain{-2}, in_set{-2};
  NET_CONN *held = accepted;
  std::thread a([&] { plain = net_wait(&held, 1, NULL, 0, 20000); });
  std::thread b([&] {
    void *ready[1];
    in_set = net_waitset_wait(set, ready, 1, -1);
  });
  std::this_thread::sleep_for(milliseconds(100));
  auto start = steady_clock::now();
  ASSERT_EQ(net_closeconn(accepted), 0);
  a.join();
  b.join();
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10)) << "the waits were not ended";
  EXPECT_EQ(plain.load(), 0);
  EXPECT_EQ(in_set.load(), 0);
  EXPECT_EQ(net_waitset_remove_conn(set, accepted), -1);
  accepted = nullptr;
  net_waitset_destroy(set);
}

// A removal from another thread returns while a wait sleeps on the
// conn's shared port (the wait holds on to the port's pumper).
TEST_P(WaitOver, RemovingAConnUnderASleepingWaitReturns)
{
  NET_WAITSET *set = net_waitset_create();
  ASSERT_EQ(net_waitset_add_conn(set, accepted, accepted), 0);
  std::thread waiter([&] {
    void *ready[1];
    net_waitset_wait(set, ready, 1, 20000);
  });
  std::this_thread::sleep_for(milliseconds(100));
  auto start = steady_clock::now();
  EXPECT_EQ(net_waitset_remove_conn(set, accepted), 0);
  // Else it waits for the next keep-alive's wake, or the time-out.
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));
  net_wake();
  waiter.join();
  net_waitset_destroy(set);
}

INSTANTIATE_TEST_SUITE_P(Drivers, WaitOver, ::testing::Values(NET_DRIVER_LOCAL, NET_DRIVER_WSOCK_WIN));

// 2,000 conns accepted on one UDP port, in one set: exactly the ready ones
// are answered, the one left beyond `max` first at the next call; an idle
// wait over them sleeps rather than polls; a closed member has left.
TEST(WaitSet, TwoThousandMembersAnswerExactlyTheReady)
{
  const int N = 2000;
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < 2 * N + 100) {
    if (lim.rlim_max < 2 * N + 100) GTEST_SKIP() << "the descriptor limit is below " << 2 * N + 100;
    lim.rlim_cur = 2 * N + 100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  net_set_timer_func(NULL);
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  // Every client is on one host: a batch at a time has not been heard yet.
  NET_DRIVER *udp = __netlane_internal__get_driver(NET_DRIVER_WSOCK_WIN);
  udp->conn_config = static_cast<conn_config *>(malloc(sizeof(conn_config)));
  *udp->conn_config = *__netlane_internal__get_conn_config(NULL);
  udp->conn_config->max_silent_per_address = udp->conn_config->max_silent = 64;
  std::string where = "127.0.0.1:" + std::to_string(free_udp_port());
  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, where.c_str());
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(net_listen(listener), 0);
  int port = atoi(strrchr(where.c_str(), ':') + 1);
  // Design-following peers of plain sockets, joining in batches so that
  // the requests fit the port's receive buffer.
  std::vector<std::unique_ptr<plain_udp>> peers;
  std::vector<NET_CONN *> accepted;
  std::map<std::string, NET_CONN *> by_address;
  for (int batch = 0; batch < N / 50; batch++) {
    for (int i = 0; i < 50; i++) {
      peers.emplace_back(new plain_udp());
      peers.back()->send_to(port, connect_request(7));
    }
    for (int round = 0; round < 2000 && (int)by_address.size() < (batch + 1) * 50; round++) {
      NET_CONN *got = net_poll_listen(listener);
      if (got) by_address[net_getpeer(got)] = got;
      else std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ASSERT_EQ((int)by_address.size(), (batch + 1) * 50);
    for (int i = batch * 50; i < (batch + 1) * 50; i++) {
      accepted.push_back(by_address[peers[i]->address()]);
      ASSERT_NE(accepted.back(), nullptr);
      peers[i]->send_to(port, data_packet(1, "hi"));  // heard: off the silent bound
      for (int round = 0; round < 1000 && net_query_rdm(accepted[i]) == 0; round++) {
        if (round % 100 == 99) peers[i]->send_to(port, data_packet(1, "hi"));
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
  }
  NET_WAITSET *set = net_waitset_create();
  ASSERT_NE(set, nullptr);
  std::vector<char> message(N, 0);
  for (int i = 0; i < N; i++) ASSERT_EQ(net_waitset_add_conn(set, accepted[i], &message[i]), 0);
  // Every conn has its greeting waiting.
  std::vector<void *> ready(N);
  EXPECT_EQ(net_waitset_wait(set, ready.data(), N, 0), N);
  char buf[8];
  for (int i = 0; i < N; i++) ASSERT_EQ(net_receive_rdm(accepted[i], buf, sizeof buf), 2) << i;

  std::set<void *> expected;
  for (int i = 0; i < N; i += 10) expected.insert(&message[i]);
  // The port's receive buffer may overflow on a busy machine: the peers
  // send again what may have been lost (a repeat is only acknowledged).
  int got = 0;
  for (int round = 0; round < 100 && got != (int)expected.size(); round++) {
    for (int i = 0; i < N; i += 10) peers[i]->send_to(port, data_packet(2, "m"));
    got = net_waitset_wait(set, ready.data(), N, 50);
    std::this_thread::sleep_for(milliseconds(20));
  }
  got = net_waitset_wait(set, ready.data(), N, 0);
  ASSERT_EQ(got, (int)expected.size());
  EXPECT_EQ(std::set<void *>(ready.begin(), ready.begin() + got), expected);
  got = net_waitset_wait(set, ready.data(), got - 1, 0);
  std::set<void *> first(ready.begin(), ready.begin() + got);
  EXPECT_EQ((int)first.size(), (int)expected.size() - 1);
  ASSERT_EQ(net_waitset_wait(set, ready.data(), 1, 0), 1);
  EXPECT_TRUE(expected.count(ready[0]) && !first.count(ready[0])) << "the one left out comes next";

  for (int i = 0; i < N; i += 10) ASSERT_EQ(net_receive_rdm(accepted[i], buf, sizeof buf), 1);
  EXPECT_EQ(net_waitset_wait(set, ready.data(), N, 0), 0);
  long cpu = thread_cpu_ms();
  EXPECT_EQ(net_waitset_wait(set, ready.data(), N, 300), 0);
  EXPECT_LT(thread_cpu_ms() - cpu, 100) << "an idle wait over 2,000 members must sleep";

  ASSERT_EQ(net_closeconn(accepted[5]), 0);
  EXPECT_EQ(net_waitset_remove_conn(set, accepted[5]), -1);
  EXPECT_EQ(net_waitset_remove_conn(set, accepted[6]), 0);
  EXPECT_EQ(net_waitset_wait(NULL, ready.data(), 1, 0), -1);
  EXPECT_EQ(net_waitset_wait(set, ready.data(), 0, 0), -1);
  net_waitset_destroy(set);
  net_shutdown();
  free(udp->conn_config);
  udp->conn_config = NULL;
}

TEST(Wait, WakeEndsAnEndlessWaitAndBadArgumentsAreRefused)
{
  net_set_timer_func(NULL);
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_LOCAL), 1);
  NET_CHANNEL *chan = net_openchannel(NET_DRIVER_LOCAL, NULL);
  ASSERT_NE(chan, nullptr);
  std::atomic<int> answer{-2};
  std::thread waiter([&] { answer = net_wait(NULL, 0, &chan, 1, -1); });
  for (int n = 0; n < 5000 && answer == -2; n++) {
    net_wake();
    std::this_thread::sleep_for(milliseconds(1));
  }
  waiter.join();
  EXPECT_EQ(answer.load(), 0);

  NET_CHANNEL *none[1] = {NULL};
  EXPECT_EQ(net_wait(NULL, 1, NULL, 0, 0), -1);
  EXPECT_EQ(net_wait(NULL, 0, NULL, 1, 0), -1);
  EXPECT_EQ(net_wait(NULL, -1, NULL, 0, 0), -1);
  EXPECT_EQ(net_wait(NULL, 0, none, 1, 0), -1);
  EXPECT_EQ(net_wait(NULL, 0, NULL, 0, 0), 0);
  net_shutdown();
  EXPECT_EQ(net_wait(NULL, 0, NULL, 0, 0), -1);
}

// The lossy driver offers nothing to sleep on, so this also runs the
// millisecond fallback.
TEST_F(LossyFixture, SenderThatOnlyWaitsResendsALostMessage)
{
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  net_set_timer_func(NULL);
  ASSERT_EQ(net_send_rdm(client, "lost", 4), 0);
  lossy_reset(lossy_settings{1, 0, 0, 0});  // the first transmission is gone
  NET_CONN *both[2] = {client, accepted};
  int got = 0;
  for (int round = 0; round < 50 && !got; round++) got = net_wait(both, 2, NULL, 0, 100);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(net_query_rdm(accepted), 4);
}

// A wait that found the port empty spares the reads right after it, but a
// program that goes on calling without waiting again still gets what comes
// next within a few calls, not only once the wait's round has run out.
TEST_F(LossyFixture, CallsRightAfterAWaitStillTakeWhatComesNext)
{
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  NET_CONN *server[2] = {listener, accepted};
  EXPECT_EQ(net_wait(server, 2, NULL, 0, 0), 0);
  ASSERT_EQ(net_send_rdm(client, "next", 4), 0);
  int calls = 0;
  char buf[8];
  while (calls < 100 && net_receive_rdm(accepted, buf, sizeof buf) <= 0) calls++;
  EXPECT_LT(calls, 100);
}

}  // namespace
