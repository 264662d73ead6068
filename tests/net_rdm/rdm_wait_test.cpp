// net_wait and net_wake over conns: waking on a message from another
// thread, sleeping without work, the protocol running while only waiting,
// a listener woken by a request, and the arguments refused.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
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
    std::string where = net_getconnlocaladdress(listener);
    if (where[0] == ':') where = "127.0.0.1" + where;
    ASSERT_EQ(net_connect(client, where.c_str()), 0);
    // The listener is ready only once the request is there: the wait that
    // reports it must hand the request to net_poll_listen.
    NET_CONN *both[2] = {listener, client};
    for (int round = 0; round < 100 && (!accepted || client->status != NET_CONN_CONNECTED); round++) {
      int ready = net_wait(both, 2, NULL, 0, 50);
      ASSERT_GE(ready, 0);
      if (!accepted) accepted = net_poll_listen(listener);
    }
    ASSERT_NE(accepted, nullptr);
    ASSERT_EQ(client->status, NET_CONN_CONNECTED);
  }
  void TearDown() override { net_shutdown(); }

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
}

INSTANTIATE_TEST_SUITE_P(Drivers, WaitOver, ::testing::Values(NET_DRIVER_LOCAL, NET_DRIVER_WSOCK_WIN));

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

}  // namespace
