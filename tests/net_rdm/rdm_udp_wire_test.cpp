// The conn wire protocol on the UDP driver, checked byte for byte against a
// peer made of plain loopback sockets: the listener's side (request, reply
// from the listening port, data in and out of order, acknowledgements, window,
// strangers, all through the listening port) and the connecting side (request bytes, retargeting), with the
// fixed resend interval and with the adaptive one. The peer follows the
// design: its listener takes only 12-byte requests.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "conn_engine.h"
#include "conn_wire.h"
#include "internal.h"
#include "lossy_driver.h"
#include "netlane.h"
#include "plain_udp.h"
#include "rdm_fixture.h"

// Test hooks of the port's I/O, kept out of the library's headers.
int __netlane_internal__conn_filed(NET_CONN *conn, int *pooled);
extern "C" void __netlane_internal__sock_batch_off(int off);

namespace {

// Calls `step` until it answers true; false after two seconds.
template <typename F>
bool eventually(F step)
{
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until) {
    if (step()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Runs conn operations through `step` until `sock` receives a datagram;
// empty after two seconds.
template <typename F>
std::vector<unsigned char> answer_to(const plain_udp &sock, F step, int *from_port = nullptr)
{
  std::vector<unsigned char> got;
  eventually([&] {
    step();
    got = sock.receive(1, from_port);
    return !got.empty();
  });
  return got;
}

class UdpWire : public ::testing::TestWithParam<bool> {
 protected:
  NET_DRIVER *udp = nullptr;

  void SetUp() override
  {
    net_set_timer_func(test_clock);
    test_clock_set(5000);
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
    udp = __netlane_internal__get_driver(NET_DRIVER_WSOCK_WIN);
    udp->conn_config = static_cast<conn_config *>(malloc(sizeof(conn_config)));
    *udp->conn_config = *__netlane_internal__get_conn_config(NULL);
    udp->conn_config->resend_auto = GetParam();
    udp->conn_config->keepalive = 0;  // the captures hold only what the steps ask for
  }
  // A listener on `port` and the conn it accepts for `client`'s request.
  bool accept_plain(int port, const plain_udp &client, NET_CONN **listener, NET_CONN **conn)
  {
    *listener = net_openconn(NET_DRIVER_WSOCK_WIN, ("127.0.0.1:" + std::to_string(port)).c_str());
    if (!*listener || net_listen(*listener) != 0) return false;
    client.send_to(port, connect_request(7));
    return eventually([&] { return (*conn = net_poll_listen(*listener)) != nullptr; });
  }
  void TearDown() override
  {
    net_shutdown();
    free(udp->conn_config);
    udp->conn_config = NULL;
  }

  // The out queue of `conn` once it has dropped to `want`, or what it
  // stayed at.
  static int out_queue_reaching(NET_CONN *conn, int want)
  {
    int out_q = -1;
    eventually([&] {
      net_conn_stats(conn, NULL, &out_q);
      return out_q == want;
    });
    return out_q;
  }
};

TEST_P(UdpWire, ListenerSideByteForByte)
{
  int listen_port = free_udp_port();
  std::string bind = "127.0.0.1:" + std::to_string(listen_port);
  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, bind.c_str());
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(net_listen(listener), 0);

  plain_udp client;
  client.send_to(listen_port, connect_request(0x11223344));
  NET_CONN *conn = nullptr;
  ASSERT_TRUE(eventually([&] { return (conn = net_poll_listen(listener)) != nullptr; }));
  EXPECT_EQ(std::string(net_getpeer(conn)), client.address());
  int reply_port = 0;
  EXPECT_EQ(client.receive(2000, &reply_port), std::vector<unsigned char>(8, 0));
  EXPECT_EQ(reply_port, listen_port) << "everything goes through the listening port";

  // The request again: the reply again, from the same port, and no conn.
  client.send_to(listen_port, connect_request(0x11223344));
  int again_port = 0;
  auto again = answer_to(client, [&] { EXPECT_EQ(net_poll_listen(listener), nullptr); }, &again_port);
  EXPECT_EQ(again, std::vector<unsigned char>(8, 0));
  EXPECT_EQ(again_port, reply_port);

  // Out of order: 2 is held and acknowledged, then 1 (twice) completes it.
  client.send_to(reply_port, data_packet(2, "two"));
  EXPECT_EQ(answer_to(client, [&] { net_query_rdm(conn); }), (std::vector<unsigned char>{0, 0, 0, 0, 2, 0, 0, 0}));
  EXPECT_EQ(net_query_rdm(conn), 0);
  client.send_to(reply_port, data_packet(1, "one"));
  client.send_to(reply_port, data_packet(1, "one"));
  ASSERT_TRUE(eventually([&] { return net_query_rdm(conn) == 3; }));
  EXPECT_EQ(client.receive(), (std::vector<unsigned char>{0, 0, 0, 0, 1, 0, 0, 0}));
  char buf[64];
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "two");
  client.receive(200);  // the second acknowledgement of 1, if it came late

  // The window is now 3 to 18: 19 is dropped unanswered, 18 is held.
  client.send_to(reply_port, data_packet(19, "beyond"));
  client.send_to(reply_port, data_packet(18, "edge"));
  ASSERT_TRUE(eventually([&] {
    int in_q = 0;
    net_conn_stats(conn, &in_q, NULL);
    return in_q == 1;
  }));
  EXPECT_EQ(client.receive(), (std::vector<unsigned char>{0, 0, 0, 0, 18, 0, 0, 0}));
  EXPECT_TRUE(client.receive(100).empty());

  // A stranger's packet is neither acknowledged nor handed out.
  plain_udp stranger;
  stranger.send_to(reply_port, data_packet(3, "forged"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(net_query_rdm(conn), 0);
  EXPECT_TRUE(stranger.receive(100).empty());

  // Our data: index first, least significant byte first; resent after the
  // resend interval until acknowledged; stray acknowledgements change nothing.
  ASSERT_EQ(net_send_rdm(conn, "hello", 5), 0);
  auto expected = data_packet(1, "hello");
  EXPECT_EQ(client.receive(), expected);
  client.send_to(reply_port, ack_packet(2));
  client.send_to(reply_port, ack_packet(17));
  stranger.send_to(reply_port, ack_packet(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  test_clock_advance(501);
  net_query_rdm(conn);
  EXPECT_EQ(client.receive(), expected);
  client.send_to(reply_port, ack_packet(1));
  EXPECT_EQ(out_queue_reaching(conn, 0), 0);
  test_clock_advance(1000);
  net_query_rdm(conn);
  EXPECT_TRUE(client.receive(100).empty());

  // Repeated requests while another thread sends on the accepted conn (run
  // under ThreadSanitizer by `make tsan`): the replies leave the conn's
  // channel as it was, and everything comes from the conn's port.
  std::thread sender([&] {
    for (int i = 0; i < 10; i++) net_send_rdm(conn, "x", 1);
  });
  int data = 0, replies = 0;
  auto take = [&](int ms) {
    int from = 0;
    auto got = client.receive(ms, &from);
    if (got.empty()) return false;
    EXPECT_EQ(from, reply_port);
    data += got.size() == 5;
    replies += got.size() == 8;
    return true;
  };
  for (int i = 0; i < 10; i++) {
    client.send_to(listen_port, connect_request(0x11223344));
    EXPECT_TRUE(eventually([&] { return net_poll_listen(listener) == nullptr && take(1); }));
  }
  sender.join();
  for (int n = 0; n < 100 && take(100); n++) {
  }
  EXPECT_EQ(data, 10);
  EXPECT_EQ(replies, 10);
}

// Two clients on one host (different ports) share the listener's port:
// each accepted conn gets its own client's stream and answers it, over
// IPv4 and IPv6, with the batched socket calls and one at a time.
TEST_P(UdpWire, SharedPortTellsPeersOfOneHostApart)
{
  for (int one_at_a_time = 0; one_at_a_time < 2; one_at_a_time++) {
    __netlane_internal__sock_batch_off(one_at_a_time);
    for (std::string host : {"127.0.0.1", "[::1]"}) {
      SCOPED_TRACE(host + (one_at_a_time ? ", one at a time" : ", batched"));
      std::string where = host + ":" + std::to_string(free_udp_port());
      NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, where.c_str());
      ASSERT_NE(listener, nullptr);
      ASSERT_EQ(net_listen(listener), 0);
      NET_CONN *client[2], *accepted[2] = {nullptr, nullptr};
      for (NET_CONN *&c : client) {
        c = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
        ASSERT_EQ(net_connect(c, where.c_str()), 0);
      }
      int naccepted = 0, nconnected = 0;
      ASSERT_TRUE(eventually([&] {
        if (NET_CONN *fresh = net_poll_listen(listener)) accepted[naccepted++ % 2] = fresh;
        for (NET_CONN *c : client) nconnected += c->status == NET_CONN_CONNECTING && net_poll_connect(c) == 1;
        return naccepted == 2 && nconnected == 2;
      }));
      const int kEach = 40;
      int sent[2] = {0, 0}, got[2] = {0, 0}, answered[2] = {0, 0};
      int owner[2] = {-1, -1};  // the client each accepted conn hears
      ASSERT_TRUE(eventually([&] {
        for (int c = 0; c < 2; c++) {
          char msg[16];
          snprintf(msg, sizeof msg, "%c%d", 'a' + c, sent[c]);
          if (sent[c] < kEach && net_send_rdm(client[c], msg, (int)strlen(msg) + 1) == 0) sent[c]++;
          char buf[16];
          if (net_receive_rdm(client[c], buf, sizeof buf) > 0) {
            EXPECT_EQ(buf[0], 'A' + c) << "an answer for the other client";
            answered[c]++;
          }
        }
        for (int a = 0; a < 2; a++) {
          char buf[16];
          if (net_receive_rdm(accepted[a], buf, sizeof buf) <= 0) continue;
          int from = buf[0] - 'a';
          if (owner[a] < 0) owner[a] = from;
          EXPECT_EQ(from, owner[a]) << "two clients' messages on one conn";
          EXPECT_EQ(atoi(buf + 1), got[a]) << "out of order";
          got[a]++;
          buf[0] = (char)toupper(buf[0]);
          EXPECT_EQ(net_send_rdm(accepted[a], buf, (int)strlen(buf) + 1), 0);
        }
        return answered[0] == kEach && answered[1] == kEach;
      }));
      EXPECT_NE(owner[0], owner[1]);
      EXPECT_EQ(got[0] + got[1], 2 * kEach);
      for (NET_CONN *c : {client[0], client[1], accepted[0], accepted[1], listener}) net_closeconn(c);
    }
  }
  __netlane_internal__sock_batch_off(0);
}

// A peer's queue at the port holds at most 256 datagrams between steps;
// beyond, they are dropped as the network would. Its buffers come back to
// the port's pool and serve the next datagrams.
TEST_P(UdpWire, PeerQueueDropsBeyondItsBoundAndReusesItsBuffers)
{
  int listen_port = free_udp_port();
  plain_udp client;
  NET_CONN *listener = nullptr, *conn = nullptr;
  ASSERT_TRUE(accept_plain(listen_port, client, &listener, &conn));
  int pooled = 0;
  // The listener takes the port's datagrams in; the conn's step does not run.
  auto filed_after = [&](int burst) {
    for (int i = 0; i < burst; i++) client.send_to(listen_port, data_packet(1000 + (unsigned)i, "x"));
    int filed = -1;
    eventually([&] {
      net_poll_listen(listener);
      int now = __netlane_internal__conn_filed(conn, &pooled);
      bool still = now != filed;
      filed = now;
      return !still;
    });
    return filed;
  };
  EXPECT_EQ(filed_after(100), 100);
  EXPECT_EQ(filed_after(100), 200);
  EXPECT_EQ(filed_after(100), 256);
  net_query_rdm(conn);
  net_query_rdm(conn);
  ASSERT_TRUE(eventually([&] {
    net_query_rdm(conn);
    return __netlane_internal__conn_filed(conn, &pooled) == 0;
  }));
  EXPECT_EQ(pooled, 256);
  EXPECT_EQ(filed_after(100), 100);
  EXPECT_EQ(pooled, 156) << "filing takes the pool's buffers";
  net_closeconn(conn);
  net_closeconn(listener);
}

// The port's pumps on one thread file while the conn's reads on another
// take, neither waiting for the other (run under ThreadSanitizer by `make
// tsan`): every message is handed out once, in order.
TEST_P(UdpWire, DatagramsFiledOnOneThreadAreReadInOrderOnAnother)
{
  int listen_port = free_udp_port();
  plain_udp client;
  NET_CONN *listener = nullptr, *conn = nullptr;
  ASSERT_TRUE(accept_plain(listen_port, client, &listener, &conn));
  std::atomic<bool> done{false};
  std::thread pumps([&] {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < until) EXPECT_EQ(net_poll_listen(listener), nullptr);
  });
  const int chunks = 20, per_chunk = 30;  // a chunk within the window of 32
  std::vector<int> got;
  for (int c = 0; c < chunks; c++) {
    for (int i = 1; i <= per_chunk; i++) client.send_to(listen_port, data_packet(c * per_chunk + i, std::to_string(c * per_chunk + i)));
    eventually([&] {
      char buf[16];
      for (int n; (n = net_receive_rdm(conn, buf, sizeof buf - 1)) > 0;) got.push_back(atoi(std::string(buf, n).c_str()));
      return (int)got.size() >= (c + 1) * per_chunk;
    });
  }
  done = true;
  pumps.join();
  ASSERT_EQ((int)got.size(), chunks * per_chunk);
  for (int i = 0; i < chunks * per_chunk; i++) ASSERT_EQ(got[i], i + 1);
  net_closeconn(conn);
  net_closeconn(listener);
}

TEST_P(UdpWire, ConnectingSideSendsTheRequestAndFollowsTheReply)
{
  plain_udp listen, per_client;
  NET_CONN *conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(conn, nullptr);
  unsigned int before = (unsigned int)time(NULL);
  ASSERT_EQ(net_connect(conn, listen.address().c_str()), 0);

  // First a cookie request (version 2: it takes an admit), which a
  // design-following host ignores: 32 bytes that begin as the plain
  // request does.
  int conn_port = 0;
  auto cookie_request = listen.receive(2000, &conn_port);
  ASSERT_EQ(cookie_request.size(), 32u);
  EXPECT_EQ(std::string((const char *)cookie_request.data() + 12, 4), std::string("NL\1\2", 4));
  EXPECT_EQ(std::vector<unsigned char>(cookie_request.begin() + 28, cookie_request.end()),
            std::vector<unsigned char>(4, 0));
  // With no cookie, the plain request follows after 200 ms, and not
  // before however often it polls.
  for (int n = 0; n < 50; n++) EXPECT_EQ(net_poll_connect(conn), 0);
  EXPECT_TRUE(listen.receive(50).empty());
  test_clock_advance(201);
  EXPECT_EQ(net_poll_connect(conn), 0);
  EXPECT_EQ(listen.receive(), cookie_request);
  auto request = listen.receive();
  ASSERT_EQ(request.size(), 12u);
  EXPECT_EQ(std::string((const char *)request.data(), 8), std::string("connect\0", 8));
  EXPECT_EQ(std::vector<unsigned char>(cookie_request.begin(), cookie_request.begin() + 12), request);
  unsigned int id = (unsigned int)request[8] << 24 | request[9] << 16 | request[10] << 8 | request[11];
  // The calendar time in seconds, run ahead only by earlier connects of
  // this process within the same seconds.
  EXPECT_GE(id, before);
  EXPECT_LE(id, before + 1000);

  // Without a reply, or with something else, both go again once the resend
  // interval has passed, and not before.
  for (int n = 0; n < 50; n++) EXPECT_EQ(net_poll_connect(conn), 0);
  EXPECT_TRUE(listen.receive(50).empty());
  test_clock_advance(501);
  EXPECT_EQ(net_poll_connect(conn), 0);
  EXPECT_EQ(listen.receive(), cookie_request);
  EXPECT_EQ(listen.receive(), request);
  per_client.send_to(conn_port, {0, 0, 0, 0, 0, 0, 0, 1});
  per_client.send_to(conn_port, std::vector<unsigned char>(9, 0));
  test_clock_advance(501);
  EXPECT_EQ(answer_to(listen, [&] { EXPECT_EQ(net_poll_connect(conn), 0); }), cookie_request);
  EXPECT_EQ(listen.receive(), request);
  EXPECT_TRUE(listen.receive(50).empty());
  EXPECT_EQ(net_getpeer(conn), nullptr);

  // A reply from another host is nobody's: a third party cannot take the
  // conn over by guessing its port.
  plain_udp elsewhere(INADDR_LOOPBACK + 1);
  elsewhere.send_to(conn_port, std::vector<unsigned char>(8, 0));
  for (int n = 0; n < 100; n++) {
    ASSERT_EQ(net_poll_connect(conn), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  per_client.send_to(conn_port, std::vector<unsigned char>(8, 0));
  ASSERT_TRUE(eventually([&] { return net_poll_connect(conn) == 1; }));
  EXPECT_EQ(std::string(net_getpeer(conn)), per_client.address());
  for (int n = 0; n < 100 && !listen.receive(50).empty(); n++) {
  }

  // A late reply from the listening address is nobody's acknowledgement.
  listen.send_to(conn_port, std::vector<unsigned char>(8, 0));

  // 300 messages go to the per-client port, numbered least significant
  // byte first, and the peer's acknowledgements release them.
  for (unsigned int i = 1; i <= 300; i++) {
    std::string msg = "m" + std::to_string(i);
    ASSERT_EQ(net_send_rdm(conn, msg.data(), (int)msg.size()), 0) << i;
    auto got = per_client.receive();
    ASSERT_EQ(got, data_packet(i, msg)) << i;
    per_client.send_to(conn_port, {0, 0, 0, 0, got[0], got[1], got[2], got[3]});
  }
  EXPECT_EQ(out_queue_reaching(conn, 0), 0);
  EXPECT_TRUE(listen.receive(100).empty()) << "nothing goes to the listening address any more";
}

// Two netlane ends over loopback gather the acknowledgements of what one
// step took in into one datagram; a netlane end that plays a plain peer
// (offering no features) still gets one 8-byte acknowledgement per message.
TEST_P(UdpWire, NetlaneEndsGatherAcknowledgementsAndPlainPeersGetOneEach)
{
  udp->conn_config->outqueue_size = udp->conn_config->inqueue_size = 64;
  const unsigned built = __netlane_internal__conn_features;
  for (unsigned offered : {built, 0u}) {
    int listen_port = free_udp_port();
    std::string where = "127.0.0.1:" + std::to_string(listen_port);
    NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, where.c_str());
    NET_CONN *client = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    ASSERT_TRUE(listener && client);
    ASSERT_EQ(net_listen(listener), 0);
    __netlane_internal__conn_features = offered;
    ASSERT_EQ(net_connect(client, where.c_str()), 0);
    NET_CONN *accepted = nullptr;
    int done = 0;
    bool connected = eventually([&] {
      if (!accepted) accepted = net_poll_listen(listener);
      test_clock_advance(50);
      if (!done) done = net_poll_connect(client);
      return accepted && done;
    });
    __netlane_internal__conn_features = built;
    ASSERT_TRUE(connected) << offered;
    // The features hold from the proof on, which goes ahead of the first
    // message: one message and its answers first.
    int first = -1;
    ASSERT_EQ(net_send_rdm(client, &first, sizeof first), 0);
    bool proved = eventually([&] {
      NET_CONN_FIGURES c, a;
      net_receive_rdm(accepted, &first, sizeof first);
      net_query_rdm(client);
      return net_conn_figures(client, &c) == 0 && net_conn_figures(accepted, &a) == 0 && c.proved && a.proved &&
             out_queue_reaching(client, 0) == 0;
    });
    ASSERT_TRUE(proved) << offered;

    // As many as go out at once: more would wait, once this many are
    // unacknowledged, to share datagrams.
    const int kCount = ENGINE_HOLD_AHEAD;
    NET_CONN_FIGURES before, after;
    ASSERT_EQ(net_conn_figures(client, &before), 0);
    for (int i = 0; i < kCount; i++) ASSERT_EQ(net_send_rdm(client, &i, sizeof i), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int value, got = 0;
    ASSERT_EQ(net_query_rdm(accepted), (int)sizeof value) << "one step takes them all in";
    while (net_receive_rdm(accepted, &value, sizeof value) == (int)sizeof value) EXPECT_EQ(value, got++);
    EXPECT_EQ(got, kCount);
    EXPECT_EQ(out_queue_reaching(client, 0), 0) << offered;
    ASSERT_EQ(net_conn_figures(client, &after), 0);
    EXPECT_EQ(after.datagrams_received - before.datagrams_received, offered ? 1 : kCount) << offered;
    net_closeconn(client);
    net_closeconn(accepted);
    net_closeconn(listener);
  }
}

INSTANTIATE_TEST_SUITE_P(FixedAndAdaptiveResend, UdpWire, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Adaptive" : "Fixed"; });

}  // namespace
