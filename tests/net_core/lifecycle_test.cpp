// Library start and stop, the registry with its numbering, classes, driver
// names, and detection and initialisation.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "connhelp.h"
#include "conns.h"
#include "internal.h"
#include "recorder.h"

namespace {

std::vector<int> members(NET_DRIVERLIST list)
{
  std::vector<int> out;
  for (int n = 0; n < 32; n++)
    if (net_driverlist_test(list, n)) out.push_back(n);
  return out;
}

NET_DRIVERLIST set_of(std::initializer_list<int> nums)
{
  NET_DRIVERLIST list = net_driverlist_create();
  for (int n : nums) net_driverlist_add(list, n);
  return list;
}

int exit_pipe = -1;
int report_exit(void)
{
  if (write(exit_pipe, "exit\n", 5) != 5) return 1;
  return 0;
}

void note(const char *line) { rec.log.push_back(line); }
int exit_a(void) { note("exit A"); return 0; }
int exit_b(void) { note("exit B"); return 0; }

int count(const std::string &line)
{
  int n = 0;
  for (const std::string &l : rec.log) n += (l == line);
  return n;
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override
  {
    rec = Recorder();
    ASSERT_EQ(net_init(), 0);
  }
  void TearDown() override { net_shutdown(); }
  NET_DRIVER drv = recording_driver();
};

}  // namespace

TEST(Lifecycle, StartsAndStopsRepeatedly)
{
  EXPECT_EQ(net_init(), 0);
  EXPECT_EQ(net_init(), 0);  // second start changes nothing
  EXPECT_EQ(net_driverlist_count(net_drivers_all), 12);
  EXPECT_EQ(net_shutdown(), 0);
  EXPECT_EQ(net_shutdown(), 1);
  EXPECT_EQ(net_drivers_all, nullptr);
  EXPECT_EQ(net_classes[1].drivers, nullptr);

  // Up again after down: a fresh registry, not a second copy.
  EXPECT_EQ(net_init(), 0);
  EXPECT_EQ(members(net_drivers_all), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13}));
  EXPECT_EQ(net_shutdown(), 0);
}

TEST(Lifecycle, ShutdownForgetsInstalledHooks)
{
  install_test_mutexes();
  net_set_timer_func(stepping_timer);
  test_mutexes_made = 0;
  timer_reads = 0;
  ASSERT_EQ(net_init(), 0);
  EXPECT_EQ(test_mutexes_made, 2);  // the open-channel and open-conn lists
  EXPECT_EQ(timer_reads, 1);
  EXPECT_EQ(__netlane_timer_func, &stepping_timer);
  ASSERT_EQ(net_shutdown(), 0);
  EXPECT_EQ(__netlane_internal__mutex_create, nullptr);
  EXPECT_EQ(__netlane_timer_func, nullptr);

  ASSERT_EQ(net_init(), 0);
  EXPECT_EQ(test_mutexes_made, 2);
  EXPECT_NE(__netlane_internal__mutex_create, nullptr);
  EXPECT_NE(__netlane_timer_func, &stepping_timer);
  unsigned int t0 = __netlane_timer_func();
  EXPECT_LT(__netlane_timer_func() - t0, 1000u);  // milliseconds, not a step timer
  net_shutdown();
}

// A hold keeps one reading: of the clock behind the default timer (which
// a wait that has just read it hands on), or of a program's own timer,
// which is asked whatever the clock says.
TEST(Lifecycle, AHeldTimeIsOneReadingOfTheDefaultClockOrOfTheProgramsTimer)
{
  ASSERT_EQ(net_init(), 0);
  const long long second = 1000000000LL;
  long long c = __netlane_internal__clock();
  __netlane_internal__time_hold_at(c + 5 * second);
  EXPECT_EQ(__netlane_internal__clock(), c + 5 * second);
  unsigned int held = __netlane_internal__now();
  EXPECT_LE(held - __netlane_timer_func(), 5000u);
  EXPECT_GE(held - __netlane_timer_func(), 4900u);
  __netlane_internal__time_hold();  // nested: the outer reading stands
  EXPECT_EQ(__netlane_internal__now(), held);
  __netlane_internal__time_release();
  __netlane_internal__time_release();
  EXPECT_LT(__netlane_internal__clock(), c + 5 * second);

  net_set_timer_func(stepping_timer);
  timer_reads = 0;
  __netlane_internal__time_hold_at(c);
  EXPECT_EQ(timer_reads, 1);
  unsigned int t = __netlane_internal__now();
  EXPECT_EQ(__netlane_internal__now(), t);
  EXPECT_EQ(timer_reads, 1);
  EXPECT_GT(__netlane_internal__clock(), c);  // the program's timer holds no clock reading
  __netlane_internal__time_release();
  net_shutdown();
}

TEST(Lifecycle, ShutdownPutsDriverSettingsBackToDefaults)
{
  ScratchDir dir;
  std::string file = dir.write("netlane.cfg",
                                "[internet]\ndisable = 1\nconn_inqueue_size = 64\n"
                                "[localhost]\ndisable = 1\n[ipx]\ndisable = 1\n");
  for (int start = 0; start < 2; start++) {
    ASSERT_EQ(net_init(), 0);
    NET_DRIVER *internet = __netlane_internal__get_driver(NET_DRIVER_WSOCK_WIN);
    for (int drv : {NET_DRIVER_WSOCK_WIN, NET_DRIVER_LOCAL, NET_DRIVER_IPX_WIN})
      EXPECT_EQ(net_detectdriver(drv), 1) << "driver " << drv << ", start " << start;
    EXPECT_EQ(__netlane_internal__get_conn_config(internet)->inqueue_size, 16);
    ASSERT_EQ(net_loadconfig(file.c_str()), 0);
    for (int drv : {NET_DRIVER_WSOCK_WIN, NET_DRIVER_LOCAL, NET_DRIVER_IPX_WIN})
      EXPECT_EQ(net_detectdriver(drv), 0) << "driver " << drv;
    EXPECT_EQ(__netlane_internal__get_conn_config(internet)->inqueue_size, 64);
    ASSERT_EQ(net_shutdown(), 0);
  }
}

TEST(Lifecycle, DefaultMutexesSleepWhileTheyWait)
{
  ASSERT_EQ(net_init(), 0);
  void *m = __netlane_internal__openconns_mutex;
  __netlane_internal__mutex_lock(m);
  std::atomic<bool> got(false);
  double cpu_ms = -1;
  std::thread waiter([&] {
    timespec a, b;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    __netlane_internal__mutex_lock(m);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    got = true;
    __netlane_internal__mutex_unlock(m);
    cpu_ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(got.load());
  __netlane_internal__mutex_unlock(m);
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_LT(cpu_ms, 30) << "a spinning wait burns what the processors give it of the 300 ms";
  net_shutdown();
}

TEST(Lifecycle, ExitRoutineShutsDownAtProcessEnd)
{
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Up, down and up again: the exit routine registered by the first start
    // stops the library that is up when the process ends.
    static NET_DRIVER d = recording_driver();
    d.exit = report_exit;
    exit_pipe = fds[1];
    net_init();
    net_shutdown();
    net_init();
    net_register_driver(0, &d);
    net_initdriver(10);
    exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[64];
  ssize_t n;
  for (int reads = 0; reads < 100 && (n = read(fds[0], buf, sizeof buf)) > 0; reads++) out.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, "exit\n");
}

TEST_F(Library, AutomaticNumbersAre10Then14Then15)
{
  NET_DRIVER a = recording_driver(), b = recording_driver(), c = recording_driver(), d = recording_driver();
  EXPECT_EQ(net_register_driver(0, &a), 10);
  EXPECT_EQ(net_register_driver(0, &b), 14);
  EXPECT_EQ(net_register_driver(0, &c), 15);
  EXPECT_EQ(net_register_driver(0, &d), 0);
  EXPECT_EQ(net_driverlist_count(net_drivers_all), 15);
  EXPECT_TRUE(net_driverlist_test(net_classes[NET_CLASS_LOCAL].drivers, 14));
  EXPECT_EQ(__netlane_internal__get_driver_by_ptr(&b), 14);
  EXPECT_EQ(__netlane_internal__get_driver(10), &a);
}

TEST_F(Library, RegisteringANumberAgainShadowsTheOlderRecord)
{
  NET_DRIVER *internet = __netlane_internal__get_driver(4);
  ASSERT_NE(internet, nullptr);
  EXPECT_STREQ(internet->name, "Winsock from Windows");
  EXPECT_EQ(net_register_driver(4, &drv), 4);
  EXPECT_EQ(__netlane_internal__get_driver(4), &drv);
  EXPECT_EQ(net_driver_class(4), NET_CLASS_LOCAL);
  EXPECT_EQ(net_driverlist_count(net_drivers_all), 12);
  // Numbers without a bit, and a missing record, are refused.
  EXPECT_EQ(net_register_driver(32, &drv), 0);
  EXPECT_EQ(net_register_driver(-1, &drv), 0);
  EXPECT_EQ(net_register_driver(0, nullptr), 0);
  EXPECT_EQ(net_driver_class(10), -1);
  // A class beyond the sixteen has no set to join; registration still works.
  NET_DRIVER odd = recording_driver();
  odd.class_ = 99;
  EXPECT_EQ(net_register_driver(25, &odd), 25);
  EXPECT_EQ(net_driver_class(25), 99);
  EXPECT_EQ(__netlane_internal__get_driver(10), nullptr);
  NET_DRIVER stranger = recording_driver();
  EXPECT_EQ(__netlane_internal__get_driver_by_ptr(&stranger), -1);
}

TEST_F(Library, RecordsWithoutConnsGetTheWrappersSlots)
{
  NET_DRIVER own = recording_driver(true);
  NET_DRIVER bare = recording_driver(false);
  int (*own_init_conn)(NET_CONN *, const char *) = own.init_conn;
  net_register_driver(0, &own);
  net_register_driver(0, &bare);
  EXPECT_EQ(own.init_conn, own_init_conn);
  const NET_DRIVER &w = __netlane_internal__wrapper_driver;
  EXPECT_EQ(bare.init_conn, w.init_conn);
  EXPECT_EQ(bare.poll_connect, w.poll_connect);
  EXPECT_EQ(bare.conn_stats, w.conn_stats);
  EXPECT_EQ(bare.load_conn_config, w.load_conn_config);
  EXPECT_EQ(bare.load_config, own.load_config);  // the driver's own slots stay
}

TEST_F(Library, ClassesAndNames)
{
  EXPECT_EQ(members(net_classes[NET_CLASS_INTERNET].drivers), (std::vector<int>{3, 4, 5, 13}));
  EXPECT_EQ(members(net_classes[NET_CLASS_IPX].drivers), (std::vector<int>{6, 7, 8}));
  EXPECT_EQ(members(net_classes[NET_CLASS_SERIAL].drivers), (std::vector<int>{9, 11, 12}));
  EXPECT_EQ(members(net_classes[NET_CLASS_NONE].drivers), (std::vector<int>{1}));
  EXPECT_EQ(members(net_classes[NET_CLASS_LOCAL].drivers), (std::vector<int>{2}));
  EXPECT_STREQ(net_classes[NET_CLASS_SERIAL].name, "Serial");
  EXPECT_EQ(net_classes[5].name, nullptr);
  EXPECT_EQ(net_classes[5].drivers, nullptr);
  EXPECT_EQ(net_driver_class(2), NET_CLASS_LOCAL);

  NET_DRIVERLIST which = set_of({4, 1});
  NET_DRIVERNAME *names = net_getdrivernames(which);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names[0].num, 1);
  EXPECT_STREQ(names[0].name, "No network");
  EXPECT_EQ(names[1].num, 4);
  EXPECT_STREQ(names[1].name, "Winsock from Windows");
  EXPECT_EQ(names[2].num, -1);
  EXPECT_EQ(names[2].name, nullptr);
  free(names);

  // An unregistered number gets no row, so NULL only ever ends the array.
  net_driverlist_clear(which);
  net_driverlist_add(which, 10);
  names = net_getdrivernames(which);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names[0].num, -1);
  EXPECT_EQ(names[0].name, nullptr);
  free(names);
  net_driverlist_destroy(which);
}

TEST_F(Library, DetectionPassesOverPlaceholdersAndUnregisteredNumbers)
{
  NET_DRIVERLIST which = set_of({1, 3, 6, 9, 10, 11, 12});
  EXPECT_EQ(members(net_detectdrivers(which)), (std::vector<int>{1}));
  net_driverlist_destroy(which);
  EXPECT_EQ(net_detectdriver(1), 1);
  EXPECT_EQ(net_detectdriver(3), 0);
  EXPECT_EQ(net_detectdriver(10), 0);
  EXPECT_EQ(net_detectdriver(40), 0);
}

TEST_F(Library, InitialisesEveryWorkingDriverOnce)
{
  NET_DRIVERLIST done = net_initdrivers(net_drivers_all);
  EXPECT_TRUE(net_driverlist_test(done, 1));
  for (int placeholder : {3, 5, 6, 8, 9, 11, 12, 13}) EXPECT_FALSE(net_driverlist_test(done, placeholder)) << placeholder;
  EXPECT_EQ(net_initdriver(1), 1);
  EXPECT_EQ(net_initdriver(3), 0);
}

TEST_F(Library, DriverWhoseInitFailsIsRetriedWithoutRedetection)
{
  rec.init_answers = {1};  // the first init fails, later ones succeed
  ASSERT_EQ(net_register_driver(0, &drv), 10);
  NET_DRIVERLIST ten = set_of({10});

  EXPECT_FALSE(net_driverlist_test(net_initdrivers(ten), 10));
  EXPECT_EQ(rec.log, (std::vector<std::string>{"detect", "init"}));

  // An earlier detection's result now holds only what this call detected.
  NET_DRIVERLIST all = net_detectdrivers(ten);
  EXPECT_EQ(members(all), (std::vector<int>{10}));
  EXPECT_TRUE(net_driverlist_test(net_initdrivers(ten), 10));
  EXPECT_EQ(members(all), std::vector<int>{});
  EXPECT_EQ(count("detect"), 2);
  EXPECT_EQ(count("init"), 2);

  // Once initialised it is neither detected nor initialised again.
  rec.log.clear();
  EXPECT_EQ(net_initdriver(10), 1);
  EXPECT_TRUE(rec.log.empty());
  net_driverlist_destroy(ten);

  ASSERT_EQ(net_shutdown(), 0);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"exit"}));
}

TEST_F(Library, ShutdownStopsInitialisedDriversInAscendingOrder)
{
  NET_DRIVER a = recording_driver(), b = recording_driver();
  a.exit = exit_a;
  b.exit = exit_b;
  ASSERT_EQ(net_register_driver(21, &b), 21);
  ASSERT_EQ(net_register_driver(20, &a), 20);
  NET_DRIVERLIST both = set_of({20, 21});
  net_initdrivers(both);
  net_driverlist_destroy(both);
  rec.log.clear();
  ASSERT_EQ(net_shutdown(), 0);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"exit A", "exit B"}));
  EXPECT_EQ(net_detectdrivers(net_drivers_all), nullptr);  // down: nothing to detect
}
