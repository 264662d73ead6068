// Conn settings read from the configuration file: powers of two for the
// queue sizes, the defaults for values out of range, and their effect.
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "internal.h"
#include "rdm_fixture.h"

namespace {

class ConnConfig : public LossyFixture {
 protected:
  std::string path;

  void TearDown() override
  {
    if (!path.empty()) unlink(path.c_str());
    // Every record read the "conns" section; give them back their defaults
    // so later tests in this process start from those.
    for (int n = 1; n < 32; n++) {
      NET_DRIVER *d = __netlane_internal__get_driver(n);
      if (d && d != &lossy_driver) {
        free(d->conn_config);
        d->conn_config = NULL;
      }
    }
    LossyFixture::TearDown();
  }

  // Loads `text` as the configuration file and answers the lossy driver's
  // settings afterwards.
  conn_config load(const std::string &text)
  {
    char name[] = "/tmp/rdm_configXXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
    path = name;
    EXPECT_EQ(net_loadconfig(name), 0);
    return *__netlane_internal__get_conn_config(&lossy_driver);
  }
};

void expect_config(const conn_config &c, int out, int in, int resend)
{
  EXPECT_EQ(c.outqueue_size, out);
  EXPECT_EQ(c.inqueue_size, in);
  EXPECT_EQ(c.resend_rate, resend);
}

TEST_F(ConnConfig, DefaultsHoldUntilAFileIsRead)
{
  expect_config(*__netlane_internal__get_conn_config(&lossy_driver), 16, 16, 500);
  expect_config(load("[other]\nconn_outqueue_size=64\n"), 16, 16, 500);
  // Sizes left to the defaults may grow with a netlane peer; a size given
  // is kept, and so are both when fewer bytes may be in flight.
  conn_config left = load("[conns]\nconn_resend_rate = 9\n"), given = load("[conns]\nconn_inqueue_size = 16\n");
  EXPECT_TRUE(__netlane_internal__conn_offered(&left, 1) & WIRE_FEATURE_WIDE_WINDOWS);
  EXPECT_FALSE(__netlane_internal__conn_offered(&given, 1) & WIRE_FEATURE_WIDE_WINDOWS);
  EXPECT_FALSE(__netlane_internal__conn_offered(&left, 0) & WIRE_FEATURE_WIDE_WINDOWS) << "a channel of few packets";
  conn_config few = load("[conns]\nconn_max_in_flight = 8192\n");
  EXPECT_FALSE(__netlane_internal__conn_offered(&few, 1) & WIRE_FEATURE_WIDE_WINDOWS) << "its peer's acknowledgements wait longer";
}

TEST_F(ConnConfig, ValuesAreRoundedOrReplacedByDefaults)
{
  expect_config(load("[conns]\nconn_outqueue_size = 20\nconn_inqueue_size = 0\nconn_resend_rate = 0\n"), 32, 1,
                500);
  expect_config(load("[conns]\nconn_outqueue_size = 1\nconn_inqueue_size = 1024\nconn_resend_rate = 250\n"), 1,
                1024, 250);
  expect_config(load("[conns]\nconn_outqueue_size = -4\nconn_inqueue_size = 3000000000\nconn_resend_rate = soon\n"),
                16, 4096, 500);
  // Sizes past the largest are clamped to it, so a file cannot make every
  // protocol step walk millions of slots, or every open fail for memory.
  // A resend rate of no time or less would resend at every step.
  expect_config(load("[conns]\nconn_outqueue_size = 1073741824\nconn_inqueue_size = 4097\n"
                     "conn_resend_rate = -3\nCONN_RESEND_RATE = 9\n"),
                4096, 4096, 500);
  expect_config(load("[conns]\nconn_outqueue_size = 4096\nconn_inqueue_size = 99999999999999999999999\n"
                     "conn_resend_rate = 99999999\n"),
                4096, 4096, 60000);
}

TEST_F(ConnConfig, AutoResendFloorAndBytesInFlight)
{
  conn_config c = load("[conns]\nconn_resend_rate = auto\nconn_resend_floor = 5\nconn_max_in_flight = 4000\n");
  EXPECT_EQ(c.resend_auto, 1);
  EXPECT_EQ(c.resend_rate, 500);
  EXPECT_EQ(c.resend_floor, 5);
  EXPECT_EQ(c.max_in_flight, 4000);
  c = load("[conns]\nconn_resend_rate = auto 200\n");
  EXPECT_EQ(c.resend_auto, 1);
  EXPECT_EQ(c.resend_rate, 200);
  // A number switches the adaptive wait off again; what is no "auto" and no
  // number reads as a reader without "auto" would read it.
  c = load("[conns]\nconn_resend_rate = 300\n");
  EXPECT_EQ(c.resend_auto, 0);
  EXPECT_EQ(c.resend_rate, 300);
  c = load("[conns]\nconn_resend_rate = automatic\nconn_resend_floor = -1\nconn_max_in_flight = 0\n"
           "conn_max_silent_per_address = 0\nconn_max_silent = x\n");
  EXPECT_EQ(c.resend_auto, 0);
  EXPECT_EQ(c.resend_rate, 500);
  EXPECT_EQ(c.resend_floor, 2);
  EXPECT_EQ(c.max_in_flight, 65536);
  EXPECT_EQ(c.max_silent_per_address, 4);
  EXPECT_EQ(c.max_silent, 64);
  c = load("[conns]\nconn_max_silent_per_address = 2\nconn_max_silent = 9\nconn_dead_after = 0\n");
  EXPECT_EQ(c.max_silent_per_address, 2);
  EXPECT_EQ(c.max_silent, 9);
  EXPECT_EQ(c.dead_after, 0);
  c = load("[conns]\nconn_resend_rate = auto -1\nconn_dead_after = -5\n");
  EXPECT_EQ(c.resend_rate, 500);
  EXPECT_EQ(c.dead_after, 10000);
  c = load("[conns]\nconn_resend_rate = auto 7200000\nconn_dead_after = 3000\n");
  EXPECT_EQ(c.resend_rate, 60000) << "what auto may reach is capped too";
  EXPECT_EQ(c.dead_after, 3000);
}

TEST_F(ConnConfig, QueueSizesSetTheWindow)
{
  load("[conns]\nconn_outqueue_size = 20\n");
  NET_CONN *conn = net_openconn(drv, NULL);
  ASSERT_NE(conn, nullptr);
  for (int i = 0; i < 31; i++) ASSERT_EQ(net_send_rdm(conn, "q", 1), 0) << i;
  EXPECT_EQ(net_send_rdm(conn, "q", 1), -1);
  // A conn keeps the sizes it was opened with.
  load("[conns]\nconn_outqueue_size = 4\n");
  EXPECT_EQ(net_send_rdm(conn, "q", 1), -1);
  int out_q = 0;
  net_conn_stats(conn, NULL, &out_q);
  EXPECT_EQ(out_q, 31);
}

// The annotated example that is installed for users says that it changes
// nothing as it stands: every key in it at its default.
TEST_F(ConnConfig, TheInstalledExampleKeepsEveryDefault)
{
  std::ifstream in(YAMMER_EXAMPLE_CFG);
  ASSERT_TRUE(in.good()) << YAMMER_EXAMPLE_CFG;
  std::stringstream text;
  text << in.rdbuf();
  expect_config(load(text.str()), 16, 16, 500);
  EXPECT_GT(load(text.str()).queue_grow, 0) << "the sample sets no size, so queues may grow";
  expect_config(*__netlane_internal__get_conn_config(__netlane_internal__get_driver(NET_DRIVER_WSOCK_WIN)),
                16, 16, 500);
  EXPECT_EQ(net_detectdriver(NET_DRIVER_WSOCK_WIN), 1);
}

}  // namespace
