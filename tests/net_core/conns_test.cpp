// Conns against the recording driver: state rules, accepting peers, the
// wait routines' poll counts under a stepping timer, and shutdown order.
#include <gtest/gtest.h>
#include <limits.h>

#include <string>
#include <vector>

#include "conns.h"
#include "internal.h"
#include "recorder.h"

namespace {

typedef std::vector<std::string> Log;

int open_conns()
{
  int n = 0;
  for (__conn_list_t *node = __netlane_internal__openconns->next; node; node = node->next) n++;
  return n;
}

int polls()
{
  int n = 0;
  for (const std::string &line : rec.log) n += line.rfind("poll_connect", 0) == 0;
  return n;
}

int cb_calls = 0;
int cb_stop_at = 0;
int stop_cb(void) { return ++cb_calls >= cb_stop_at; }

class Conns : public ::testing::Test {
 protected:
  void SetUp() override
  {
    rec = Recorder();
    install_test_mutexes();
    timer_step = 100;
    net_set_timer_func(stepping_timer);
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_register_driver(20, &drv), 20);
    conn = net_openconn(20, "bind");
    ASSERT_NE(conn, nullptr);
    rec.log.clear();
    cb_calls = 0;
  }
  void TearDown() override { net_shutdown(); }
  NET_DRIVER drv = recording_driver();
  NET_CONN *conn = nullptr;
};

}  // namespace

TEST_F(Conns, CloseRunsTheDriverUnderTheLock)
{
  EXPECT_EQ(conn->status, NET_CONN_IDLE);
  EXPECT_EQ(conn->type, 20);
  EXPECT_EQ(net_conn_driver(conn), 20);
  EXPECT_EQ(open_conns(), 1);
  EXPECT_EQ(net_closeconn(conn), 0);
  EXPECT_EQ(net_closeconn(conn), -1);
  EXPECT_EQ(open_conns(), 0);
  EXPECT_EQ(rec.log, (Log{"destroy_conn #1 locked"}));
  EXPECT_FALSE(conns_locked());
}

TEST_F(Conns, RefusedOrImpossibleOpensLeaveNothingBehind)
{
  EXPECT_EQ(net_openconn(10, NULL), nullptr);
  EXPECT_EQ(net_openconn(3, NULL), nullptr);  // a placeholder carries no conns
  rec.init_conn_answer = 1;
  EXPECT_EQ(net_openconn(20, "x"), nullptr);
  EXPECT_EQ(open_conns(), 1);
  EXPECT_EQ(rec.log, (Log{"init_conn x unlocked"}));
  NET_CONN stranger = *conn;
  EXPECT_EQ(net_closeconn(&stranger), -1);
  EXPECT_EQ(net_closeconn(nullptr), -1);
  EXPECT_EQ(rec.log.size(), 1u);
}

TEST_F(Conns, ListeningRulesAndAcceptedPeers)
{
  EXPECT_EQ(net_poll_listen(conn), nullptr);  // idle: the driver is not asked
  rec.listen_answer = -1;
  EXPECT_EQ(net_listen(conn), -1);
  EXPECT_EQ(conn->status, NET_CONN_IDLE);
  rec.listen_answer = 0;
  EXPECT_EQ(net_listen(conn), 0);
  EXPECT_EQ(conn->status, NET_CONN_LISTENING);
  EXPECT_EQ(net_listen(conn), -1);
  EXPECT_EQ(net_connect(conn, "peer"), -1);
  EXPECT_EQ(rec.log, (Log{"listen #1", "listen #1"}));

  rec.log.clear();
  EXPECT_EQ(net_poll_listen(conn), nullptr);
  rec.accept_count = 2;
  NET_CONN *a = net_poll_listen(conn);
  NET_CONN *b = net_poll_listen(conn);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(rec.log, (Log{"poll_listen #1 unlocked", "poll_listen #1 unlocked", "poll_listen #1 unlocked"}));
  EXPECT_EQ(a->status, NET_CONN_CONNECTED);
  EXPECT_EQ(a->type, 20);
  EXPECT_EQ(a->driver, &drv);
  EXPECT_EQ(id_of(a->data), 2);
  EXPECT_STREQ(net_getpeer(a), "peer2");
  EXPECT_STREQ(net_getpeer(b), "peer3");
  EXPECT_EQ(net_getpeer(conn), nullptr);
  EXPECT_EQ(open_conns(), 3);

  // Shutdown closes conns before channels, each newest first.
  ASSERT_NE(net_openchannel(20, NULL), nullptr);
  ASSERT_NE(net_openchannel(20, NULL), nullptr);
  rec.log.clear();
  ASSERT_EQ(net_shutdown(), 0);
  EXPECT_EQ(rec.log, (Log{"destroy_conn #3 locked", "destroy_conn #2 locked", "destroy_conn #1 locked",
                          "destroy_channel #5 unlocked", "destroy_channel #4 unlocked"}));
}

TEST_F(Conns, ConnectingRules)
{
  rec.connect_answer = -1;
  EXPECT_EQ(net_connect(conn, "far"), -1);
  EXPECT_EQ(conn->status, NET_CONN_IDLE);
  EXPECT_EQ(net_poll_connect(conn), -1);  // idle: the driver is not asked

  rec.connect_answer = 0;
  rec.poll_connect_answers = {0, -1};
  EXPECT_EQ(net_connect(conn, "far"), 0);
  EXPECT_EQ(conn->status, NET_CONN_CONNECTING);
  EXPECT_EQ(net_getpeer(conn), nullptr);
  EXPECT_EQ(net_listen(conn), -1);
  EXPECT_EQ(net_poll_connect(conn), 0);
  EXPECT_EQ(net_poll_connect(conn), -1);  // failed: back to idle, may try again
  EXPECT_EQ(conn->status, NET_CONN_IDLE);

  rec.poll_connect_answers = {5};
  EXPECT_EQ(net_connect(conn, "again"), 0);
  EXPECT_EQ(net_poll_connect(conn), 1);
  EXPECT_EQ(conn->status, NET_CONN_CONNECTED);
  EXPECT_EQ(net_poll_connect(conn), 1);  // connected: the driver is not asked
  EXPECT_EQ(rec.log, (Log{"connect #1 far", "connect #1 far", "poll_connect #1", "poll_connect #1",
                          "connect #1 again", "poll_connect #1"}));
}

TEST_F(Conns, WaitTimePollsOnceMoreThanItsSeconds)
{
  timer_reads = 0;
  unsigned int start = timer_now;
  EXPECT_EQ(net_connect_wait_time(conn, "far", 2), 1);
  EXPECT_EQ(polls(), 3);
  EXPECT_GE(timer_now - start, 3000u);  // about a second after every poll
  EXPECT_LE(timer_now - start, 3000u + 3 * timer_step);
  EXPECT_EQ(conn->status, NET_CONN_CONNECTING);

  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  EXPECT_EQ(net_connect_wait_time(conn, "far", -5), 1);
  EXPECT_EQ(polls(), 1);
  // The most negative time polls once too, without counting past INT_MIN.
  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  EXPECT_EQ(net_connect_wait_time(conn, "far", INT_MIN), 1);
  EXPECT_EQ(polls(), 1);

  // Across the wrap of the 32-bit millisecond count a second lasts as long.
  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  timer_now = 0xFFFFFA00u;
  start = timer_now;
  EXPECT_EQ(net_connect_wait_time(conn, "far", 2), 1);
  EXPECT_EQ(polls(), 3);
  EXPECT_GE(timer_now - start, 3000u);
  EXPECT_LE(timer_now - start, 3000u + 3 * timer_step);
}

TEST_F(Conns, WaitTimeAnswersTheOutcome)
{
  rec.poll_connect_answers = {0, 1};
  EXPECT_EQ(net_connect_wait_time(conn, "far", 10), 0);
  EXPECT_EQ(polls(), 2);

  NET_CONN *other = net_openconn(20, NULL);
  rec.log.clear();
  rec.poll_connect_answers = {-1};
  EXPECT_EQ(net_connect_wait_time(other, "far", 10), -1);
  EXPECT_EQ(polls(), 1);
  EXPECT_EQ(other->status, NET_CONN_IDLE);

  rec.log.clear();
  rec.connect_answer = -1;
  EXPECT_EQ(net_connect_wait_time(other, "far", 10), -1);
  EXPECT_EQ(polls(), 0);
}

TEST_F(Conns, WaitCallbackStopsAfterItsPassesPoll)
{
  cb_stop_at = 1;
  EXPECT_EQ(net_connect_wait_cb(conn, "far", stop_cb), 1);
  EXPECT_EQ(polls(), 1);
  EXPECT_EQ(cb_calls, 1);

  // The poll of the pass in which the callback asks to stop still counts.
  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  cb_calls = 0;
  cb_stop_at = 3;
  rec.poll_connect_answers = {0, 0, 1};
  EXPECT_EQ(net_connect_wait_cb(conn, "far", stop_cb), 0);
  EXPECT_EQ(polls(), 3);

  // Without a callback it waits for the driver's verdict.
  NET_CONN *other = net_openconn(20, NULL);
  rec.log.clear();
  rec.poll_connect_answers = {0, 0, 0, 0, -1};
  EXPECT_EQ(net_connect_wait_cb(other, "far", NULL), -1);
  EXPECT_EQ(polls(), 5);
}

TEST_F(Conns, WaitCallbackTimeCountsOnePollFewer)
{
  EXPECT_EQ(net_connect_wait_cb_time(conn, "far", NULL, 2), 1);
  EXPECT_EQ(polls(), 2);

  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  EXPECT_EQ(net_connect_wait_cb_time(conn, "far", NULL, 0), 1);
  EXPECT_EQ(polls(), 1);
  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  EXPECT_EQ(net_connect_wait_cb_time(conn, "far", NULL, INT_MIN), 1);
  EXPECT_EQ(polls(), 1);

  conn->status = NET_CONN_IDLE;
  rec.log.clear();
  cb_stop_at = 2;
  EXPECT_EQ(net_connect_wait_cb_time(conn, "far", stop_cb, 10), 1);
  EXPECT_EQ(polls(), 2);
}

TEST_F(Conns, RdmOperationsPassStraightToTheDriver)
{
  char buf[32];
  int in_q = 0, out_q = 0;
  rec.rdm_answer = 9;
  EXPECT_EQ(net_send_rdm(conn, "abc", 3), 9);
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 9);
  EXPECT_EQ(net_query_rdm(conn), 9);
  EXPECT_EQ(net_ignore_rdm(conn), 9);
  EXPECT_EQ(net_conn_stats(conn, &in_q, &out_q), 9);
  EXPECT_EQ(in_q, 3);
  EXPECT_EQ(out_q, 4);
  EXPECT_EQ(rec.log, (Log{"send_rdm #1 3", "recv_rdm #1 32", "query_rdm #1", "ignore_rdm #1", "conn_stats #1"}));
}
