// The conn protocol step by step over the in-memory driver, with the test
// playing the peer by hand: windows, acknowledgements, reordering, resend
// timing, handing out, the handshake, and the checks on who may talk.
#include <algorithm>

#include "rdm_fixture.h"

namespace {

// A library conn connected to a peer that the test plays with raw channels:
// `listen` received the request, `peer` sent the reply and talks from then on.
class RawPeer : public LossyFixture {
 protected:
  NET_CONN *conn = nullptr;
  raw_channel *listen = nullptr;
  raw_channel *peer = nullptr;
  std::string conn_addr;  // the conn's channel, as the peer sees it

  void SetUp() override
  {
    LossyFixture::SetUp();
    listen = new raw_channel(drv);
    peer = new raw_channel(drv);
    conn = net_openconn(drv, NULL);
    ASSERT_NE(conn, nullptr);
    ASSERT_EQ(net_connect(conn, listen->address()), 0);
    auto request = design_request(*listen, conn, &conn_addr);
    ASSERT_EQ(request.size(), 12u);
    peer->target(conn_addr);
    peer->send({0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(net_poll_connect(conn), 1);
    ASSERT_STREQ(net_getpeer(conn), peer->address());
  }

  void TearDown() override
  {
    delete listen;
    delete peer;
    LossyFixture::TearDown();
  }

  int out_queue()
  {
    int out_q = -1;
    net_conn_stats(conn, NULL, &out_q);
    return out_q;
  }

  int in_queue()
  {
    int in_q = -1;
    net_conn_stats(conn, &in_q, NULL);
    return in_q;
  }

  // The indexes of the data packets the peer has received since last asked.
  std::vector<unsigned int> sent_indexes()
  {
    std::vector<unsigned int> got;
    for (auto &d : peer->drain()) {
      EXPECT_GT(d.size(), 4u);
      got.push_back(d[0] | d[1] << 8 | d[2] << 16 | (unsigned int)d[3] << 24);
    }
    return got;
  }

  // The acknowledged indexes the peer has received since last asked.
  std::vector<unsigned int> acks()
  {
    std::vector<unsigned int> got;
    for (auto &d : peer->drain()) {
      EXPECT_EQ(d.size(), 8u);
      EXPECT_EQ(d[0] | d[1] | d[2] | d[3], 0);
      got.push_back(d[4] | d[5] << 8 | d[6] << 16 | (unsigned int)d[7] << 24);
    }
    return got;
  }
};

TEST_F(RawPeer, WindowHoldsOneMessageLessThanTheOutQueue)
{
  for (int i = 0; i < 15; i++) ASSERT_EQ(net_send_rdm(conn, "m", 1), 0) << i;
  // A program retrying at once is refused every time, those refusals
  // that let the processor go included.
  for (int i = 0; i < 200; i++) ASSERT_EQ(net_send_rdm(conn, "m", 1), -1) << i;
  EXPECT_EQ(out_queue(), 15);
  EXPECT_EQ(sent_indexes().size(), 15u) << "each message goes out at once";
  peer->send(ack_packet(1));
  EXPECT_EQ(net_send_rdm(conn, "m", 1), 0);
  EXPECT_EQ(net_send_rdm(conn, "m", 1), -1);
  EXPECT_EQ(sent_indexes(), std::vector<unsigned int>{16});
}

TEST_F(RawPeer, AcknowledgementsReleaseOnlyFromTheBase)
{
  for (int i = 0; i < 3; i++) ASSERT_EQ(net_send_rdm(conn, "abc", 3), 0);
  sent_indexes();
  peer->send(ack_packet(2));
  peer->send(ack_packet(3));
  EXPECT_EQ(out_queue(), 3);
  // Out of range, or mapping onto the slot of message 1: nothing changes.
  peer->send(ack_packet(0));
  peer->send(ack_packet(4));
  peer->send(ack_packet(17));
  peer->send(ack_packet(0xFFFFFFFFu));
  EXPECT_EQ(out_queue(), 3);
  // Only message 1 is still unacknowledged, so only it is sent again.
  test_clock_advance(501);
  EXPECT_EQ(out_queue(), 3);
  EXPECT_EQ(sent_indexes(), std::vector<unsigned int>{1});
  peer->send(ack_packet(1));
  EXPECT_EQ(out_queue(), 0);
  // A late duplicate of an acknowledgement is harmless.
  peer->send(ack_packet(1));
  EXPECT_EQ(out_queue(), 0);
  EXPECT_EQ(net_send_rdm(conn, "d", 1), 0);
  EXPECT_EQ(sent_indexes(), std::vector<unsigned int>{4});
}

TEST_F(RawPeer, ResendsEveryResendRateAcrossTheTimerWrap)
{
  test_clock_set(0xFFFFFF00u);
  ASSERT_EQ(net_send_rdm(conn, "x", 1), 0);
  EXPECT_EQ(sent_indexes().size(), 1u);
  test_clock_advance(500);  // not more than the rate yet
  net_query_rdm(conn);
  EXPECT_TRUE(sent_indexes().empty());
  test_clock_advance(1);  // the clock has wrapped past 0 by now
  net_query_rdm(conn);
  EXPECT_EQ(sent_indexes(), std::vector<unsigned int>{1});
  net_query_rdm(conn);
  EXPECT_TRUE(sent_indexes().empty());
  test_clock_advance(501);
  net_query_rdm(conn);
  EXPECT_EQ(sent_indexes(), std::vector<unsigned int>{1});
}

TEST_F(RawPeer, NewMessageGoesOutAtOnceEvenWhenTheClockReadsZero)
{
  test_clock_set(0);
  ASSERT_EQ(net_send_rdm(conn, "x", 1), 0);
  EXPECT_EQ(sent_indexes().size(), 1u);
  net_query_rdm(conn);
  EXPECT_TRUE(sent_indexes().empty()) << "a sending at time 0 still counts as sent";
}

TEST_F(RawPeer, ReceiveWindowStoresWithinAndDropsBeyond)
{
  peer->send(data_packet(17, "far"));  // base 1 + 16 slots
  EXPECT_EQ(in_queue(), 0);
  EXPECT_TRUE(acks().empty());
  peer->send(data_packet(16, "edge"));
  EXPECT_EQ(in_queue(), 1);
  EXPECT_EQ(acks(), std::vector<unsigned int>{16});
  EXPECT_EQ(net_query_rdm(conn), 0);
}

TEST_F(RawPeer, OutOfOrderArrivalIsHandedOutInOrder)
{
  peer->send(data_packet(3, "three"));
  EXPECT_EQ(net_query_rdm(conn), 0);
  EXPECT_EQ(in_queue(), 1);
  peer->send(data_packet(1, "one"));
  EXPECT_EQ(net_query_rdm(conn), 3);
  peer->send(data_packet(2, "two!"));
  EXPECT_EQ(in_queue(), 3);
  EXPECT_EQ(acks(), (std::vector<unsigned int>{3, 1, 2}));
  char buf[32];
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "two!");
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "three");
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 0);
}

TEST_F(RawPeer, RepeatedPacketsAreAcknowledgedAgainButDeliveredOnce)
{
  peer->send(data_packet(1, "once"));
  peer->send(data_packet(1, "once"));
  EXPECT_EQ(in_queue(), 1);
  EXPECT_EQ(acks(), (std::vector<unsigned int>{1, 1}));
  char buf[16];
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 4);
  peer->send(data_packet(1, "once"));  // already handed out
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 0);
  EXPECT_EQ(acks(), std::vector<unsigned int>{1});
  // Malformed datagrams change nothing and get no answer.
  peer->send({1, 0, 0, 0});        // index without a message
  peer->send({0, 0, 0});           // too short for anything
  peer->send({0, 0, 0, 0, 1, 0});  // zero word of the wrong length
  EXPECT_EQ(net_query_rdm(conn), 0);
  EXPECT_EQ(in_queue(), 0);
  EXPECT_TRUE(acks().empty());
}

TEST_F(RawPeer, ShortBufferKeepsTheMessageAndIgnoreDropsIt)
{
  peer->send(data_packet(1, "0123456789"));
  peer->send(data_packet(2, "next"));
  char buf[32] = {0};
  EXPECT_EQ(net_receive_rdm(conn, buf, 4), -1);
  EXPECT_EQ(std::string(buf, 5), std::string("0123\0", 5));
  EXPECT_EQ(net_receive_rdm(conn, buf, -1), -1) << "a negative size copies nothing";
  EXPECT_EQ(net_query_rdm(conn), 10);
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(net_ignore_rdm(conn), 1);
  EXPECT_EQ(net_ignore_rdm(conn), 0);
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 0);
}

TEST_F(RawPeer, SendRefusesEmptyAndOversizeMessages)
{
  // 16380 bytes, or 508 on a driver whose packets hold 512.
  const int largest = __netlane_internal__largest_conn_message(record);
  EXPECT_TRUE(largest == NET_MAX_MESSAGE_SIZE || largest == NET_MAX_SMALL_MESSAGE_SIZE) << "netlane.h says so";
  std::vector<char> big(largest + 1, 'b');
  EXPECT_EQ(net_send_rdm(conn, big.data(), 0), -1);
  EXPECT_EQ(net_send_rdm(conn, big.data(), -5), -1);
  EXPECT_EQ(net_send_rdm(conn, NULL, 5), -1);
  EXPECT_EQ(net_send_rdm(conn, big.data(), largest + 1), -1);
  EXPECT_EQ(out_queue(), 0);
  EXPECT_TRUE(sent_indexes().empty());
  ASSERT_EQ(net_send_rdm(conn, big.data(), largest), 0);
  auto sent = peer->drain();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), (size_t)largest + 4);
}

TEST_F(RawPeer, ConnectReplyAtAConnectedConnIsIgnored)
{
  ASSERT_EQ(net_send_rdm(conn, "x", 1), 0);
  sent_indexes();
  peer->send({0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(out_queue(), 1);
  EXPECT_EQ(net_query_rdm(conn), 0);
  EXPECT_TRUE(peer->drain().empty());
}

// The rdm operations on a conn still connecting must leave the reply for
// net_poll_connect, and a message queued meanwhile goes out once connected.
TEST_F(LossyFixture, RdmOperationsWhileConnectingLeaveTheReplyAlone)
{
  raw_channel listen(drv), peer(drv);
  NET_CONN *conn = net_openconn(drv, NULL);
  ASSERT_NE(conn, nullptr);
  ASSERT_EQ(net_connect(conn, listen.address()), 0);
  std::string conn_addr;
  ASSERT_EQ(design_request(listen, conn, &conn_addr).size(), 12u);
  peer.target(conn_addr);
  peer.send({0, 0, 0, 0, 0, 0, 0, 0});
  char buf[8];
  int in_q = -1, out_q = -1;
  EXPECT_EQ(net_query_rdm(conn), 0);
  EXPECT_EQ(net_receive_rdm(conn, buf, sizeof buf), 0);
  EXPECT_EQ(net_ignore_rdm(conn), 0);
  EXPECT_EQ(net_send_rdm(conn, "q", 1), 0);
  EXPECT_EQ(net_conn_stats(conn, &in_q, &out_q), 0);
  EXPECT_EQ(in_q, 0);
  EXPECT_EQ(out_q, 1);
  EXPECT_TRUE(peer.drain().empty());
  ASSERT_EQ(net_poll_connect(conn), 1);
  net_query_rdm(conn);
  auto sent = peer.drain();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].back(), 'q');
}

// The same peer by hand, with conn_resend_rate = auto.
class AdaptivePeer : public RawPeer {
 protected:
  void configure() override { conn_settings().resend_auto = 1; }

  NET_CONN_FIGURES figures()
  {
    NET_CONN_FIGURES f;
    EXPECT_EQ(net_conn_figures(conn, &f), 0);
    return f;
  }

  // Sends one message and lets the peer acknowledge it `ms` later.
  void exchange(unsigned int index, unsigned int ms)
  {
    ASSERT_EQ(net_send_rdm(conn, "m", 1), 0);
    for (unsigned int t = 0; t < ms; t++) {
      test_clock_advance(1);
      net_query_rdm(conn);
    }
    peer->drain();
    peer->send(ack_packet(index));
    net_query_rdm(conn);
  }
};

TEST_F(AdaptivePeer, WaitFollowsTheRoundTripAndBacksOffWithoutAnswers)
{
  // The handshake measured about 0 ms; answers now take 40 ms. The waits
  // double until one message is answered before its wait is over, and from
  // then on the estimate follows.
  unsigned int index = 1;
  for (; index <= 60; index++) exchange(index, 40);
  NET_CONN_FIGURES f = figures();
  EXPECT_NEAR(f.round_trip, 40, 2);
  EXPECT_GT(f.resend_wait, 40);
  EXPECT_LE(f.resend_wait, 60);
  long resent = f.messages_resent;
  EXPECT_LE(resent, 8) << "learning the new round trip costs a few resends only";
  for (; index <= 80; index++) exchange(index, 40);
  EXPECT_EQ(figures().messages_resent, resent);
  // Quicker answers bring the wait down to the floor.
  for (; index <= 200; index++) exchange(index, 0);
  f = figures();
  EXPECT_EQ(f.round_trip, 0);
  EXPECT_EQ(f.resend_wait, 2);

  // Three later messages answered: the oldest goes out again at once.
  for (int i = 0; i < 4; i++) ASSERT_EQ(net_send_rdm(conn, "m", 1), 0);
  sent_indexes();
  for (unsigned int i = 1; i <= 3; i++) peer->send(ack_packet(index + i));
  net_query_rdm(conn);
  EXPECT_EQ(sent_indexes(), std::vector<unsigned int>{index});
  for (unsigned int i = 0; i < 4; i++) peer->send(ack_packet(index + i));
  index += 4;

  // Nothing answered any more: the gaps between transmissions double up to
  // the resend rate, then stay there.
  ASSERT_EQ(net_send_rdm(conn, "m", 1), 0);
  sent_indexes();
  std::vector<unsigned int> gaps;
  unsigned int last = test_clock();
  for (int ms = 0; ms < 3000; ms++) {
    test_clock_advance(1);
    net_query_rdm(conn);
    if (!sent_indexes().empty()) {
      gaps.push_back(test_clock() - last);
      last = test_clock();
    }
  }
  ASSERT_GE(gaps.size(), 8u);
  for (size_t i = 1; i < gaps.size(); i++) {
    EXPECT_GE(gaps[i], gaps[i - 1]) << i;
    EXPECT_LE(gaps[i], 501u) << i;
    if (gaps[i - 1] < 250) {
      EXPECT_GE(gaps[i] + 1, 2 * gaps[i - 1]) << i;
    }
  }
  EXPECT_EQ(gaps.back(), 501u);
}

// A reader that takes one message per call, and a writer that sends as fast
// as it may: the writer never gets ahead of the reader's window, so nothing
// has to be sent twice.
TEST_F(LossyFixture, SteadyStreamToAOneAtATimeReaderNeedsNoResend)
{
  for (int adaptive = 0; adaptive < 2; adaptive++) {
    conn_settings().resend_auto = adaptive;
    NET_CONN *listener, *client, *accepted;
    ASSERT_TRUE(make_pair(&listener, &client, &accepted, 1));
    const int kMessages = 10000;
    int sent = 0, got = 0;
    for (int round = 0; round < 4 * kMessages && got < kMessages; round++) {
      test_clock_advance(1);
      while (sent < kMessages && net_send_rdm(client, &sent, sizeof sent) == 0) sent++;
      int value = -1;
      if (net_receive_rdm(accepted, &value, sizeof value) == (int)sizeof value) {
        ASSERT_EQ(value, got) << adaptive;
        got++;
      }
    }
    EXPECT_EQ(got, kMessages) << adaptive;
    NET_CONN_FIGURES f;
    ASSERT_EQ(net_conn_figures(client, &f), 0);
    EXPECT_EQ(f.messages_sent, kMessages) << adaptive;
    EXPECT_EQ(f.messages_resent, 0) << adaptive;
    ASSERT_EQ(net_conn_figures(accepted, &f), 0);
    EXPECT_EQ(f.dropped_window, 0) << adaptive;
    lossy_reset(lossy_settings{1, 0, 0, 0});
  }
}

// A connecting conn polled in a tight loop sends its request again only as
// often as its resend wait allows, however long the listener takes: its
// cookie request at once, and with no cookie the plain request too
// after the short fallback wait, then both each resend wait.
TEST_F(LossyFixture, ConnectRequestsAreBoundedByTheResendWait)
{
  for (int adaptive = 0; adaptive < 2; adaptive++) {
    conn_settings().resend_auto = adaptive;
    raw_channel listen(drv);
    NET_CONN *conn = net_openconn(drv, NULL);
    ASSERT_EQ(net_connect(conn, listen.address()), 0);
    for (int ms = 0; ms < 2000; ms++) {
      for (int n = 0; n < 50; n++) net_poll_connect(conn);
      test_clock_advance(1);
    }
    size_t plain = 0, cookie = 0;
    for (auto &d : listen.drain()) {
      plain += d.size() == 12;
      cookie += d.size() == 32;
    }
    EXPECT_EQ(plain, 4u) << "after 201, 702, 1203 and 1704 ms";
    EXPECT_EQ(cookie, 5u) << "at 0 ms and with each plain one";
    ASSERT_EQ(net_closeconn(conn), 0);
  }
}

TEST_F(LossyFixture, ListenerAnswersRequestsAndIgnoresEverythingElse)
{
  std::string where = listen_port();
  NET_CONN *listener = net_openconn(drv, where.c_str());
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(net_listen(listener), 0);
  raw_channel client(drv);
  client.target(where);

  auto request = connect_request(0x01020304);
  client.send(std::vector<unsigned char>(request.begin(), request.begin() + 11));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  auto wrong = request;
  wrong[6] = 'x';
  client.send(wrong);
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  auto longer = request;
  longer.push_back(0);
  client.send(longer);
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_TRUE(client.drain().empty());

  // The rdm operations find nothing on a listening conn and leave its
  // requests to net_poll_listen.
  client.send(request);
  char none[16];
  int in_q = -1, out_q = -1;
  EXPECT_EQ(net_query_rdm(listener), 0);
  EXPECT_EQ(net_receive_rdm(listener, none, sizeof none), 0);
  EXPECT_EQ(net_ignore_rdm(listener), 0);
  EXPECT_EQ(net_conn_stats(listener, &in_q, &out_q), 0);
  EXPECT_EQ(in_q + out_q, 0);
  EXPECT_EQ(net_send_rdm(listener, "x", 1), -1);
  NET_CONN *accepted = net_poll_listen(listener);
  ASSERT_NE(accepted, nullptr);
  EXPECT_STREQ(net_getpeer(accepted), client.address());
  std::string from;
  EXPECT_EQ(client.receive(&from), std::vector<unsigned char>(8, 0));
  EXPECT_EQ(from, where) << "the reply comes from the listening port";

  // The same client and id again: the same reply from the same channel,
  // and no second conn.
  client.send(request);
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  std::string again;
  EXPECT_EQ(client.receive(&again), std::vector<unsigned char>(8, 0));
  EXPECT_EQ(again, from);

  // Another id from the same address is another conn (a client started
  // again on the same port), which takes the address over: the older conn
  // neither receives nor sends from then on.
  client.send(connect_request(0x01020305));
  NET_CONN *second = net_poll_listen(listener);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, accepted);
  std::string third;
  client.receive(&third);
  EXPECT_EQ(third, from);
  client.send(data_packet(1, "hello"));
  char buf[16];
  EXPECT_EQ(net_receive_rdm(second, buf, sizeof buf), 5);
  EXPECT_EQ(client.receive(), ack_packet(1));
  EXPECT_EQ(net_query_rdm(accepted), 0);
  EXPECT_EQ(net_send_rdm(accepted, "old", 3), 0);
  EXPECT_TRUE(client.drain().empty());

  // But a plain request does not take over an address that its conn has
  // heard from within the last 5 s: anyone may have forged it.
  client.send(connect_request(0x01020306));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_TRUE(client.drain().empty());
  test_clock_advance(5000);

  // Conns that have heard nothing from their peer are bounded per sending
  // address (4; `accepted` is one) and in all: requests beyond go
  // unanswered, while another address still gets in.
  NET_CONN *newest = nullptr;
  for (unsigned int id = 0x10; id < 0x20; id++) {
    client.send(connect_request(id));
    NET_CONN *got = net_poll_listen(listener);
    EXPECT_EQ(got != nullptr, id < 0x13) << id;
    if (got) newest = got;
  }
  EXPECT_EQ(client.drain().size(), 3u);
  raw_channel other(drv);
  other.target(where);
  other.send(connect_request(0x10));
  NET_CONN *from_other = net_poll_listen(listener);
  EXPECT_NE(from_other, nullptr);
  // A conn that has had a message no longer counts; one closed neither.
  client.send(data_packet(1, "hi"));
  EXPECT_EQ(net_query_rdm(newest), 2);
  test_clock_advance(5000);
  client.send(connect_request(0x20));
  EXPECT_NE(net_poll_listen(listener), nullptr);
  client.send(connect_request(0x21));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  ASSERT_EQ(net_closeconn(from_other), 0);
  conn_settings().max_silent = 5;
  other.send(connect_request(0x11));
  EXPECT_NE(net_poll_listen(listener), nullptr);
  other.send(connect_request(0x12));
  EXPECT_EQ(net_poll_listen(listener), nullptr) << "five silent conns in all";
}

TEST_F(LossyFixture, ClosedClientEntryIsNeverUsedAgain)
{
  std::string where = listen_port();
  NET_CONN *listener = net_openconn(drv, where.c_str());
  ASSERT_EQ(net_listen(listener), 0);
  raw_channel client(drv);
  client.target(where);
  auto request = connect_request(77);

  client.send(request);
  NET_CONN *first = net_poll_listen(listener);
  ASSERT_NE(first, nullptr);
  std::string first_from;
  client.receive(&first_from);
  ASSERT_EQ(net_closeconn(first), 0);

  // The same address and id once more: answered again from the listening
  // port, and a new conn is handed out.
  client.send(request);
  NET_CONN *renewed = net_poll_listen(listener);
  ASSERT_NE(renewed, nullptr);
  std::string renewed_from;
  EXPECT_EQ(client.receive(&renewed_from), std::vector<unsigned char>(8, 0));
  EXPECT_EQ(renewed_from, first_from);
  client.target(renewed_from);
  client.send(data_packet(1, "again"));
  EXPECT_EQ(net_query_rdm(renewed), 5);

  // The listener may go first; its conns live on and close cleanly.
  ASSERT_EQ(net_closeconn(listener), 0);
  client.send(data_packet(2, "after"));
  char buf[16];
  EXPECT_EQ(net_receive_rdm(renewed, buf, sizeof buf), 5);
  EXPECT_EQ(net_receive_rdm(renewed, buf, sizeof buf), 5);
  EXPECT_EQ(net_closeconn(renewed), 0);
}

TEST_F(LossyFixture, ClientListKeepsOnlyClientsWhoseConnsAreOpen)
{
  std::string where = listen_port();
  NET_CONN *listener = net_openconn(drv, where.c_str());
  ASSERT_EQ(net_listen(listener), 0);
  raw_channel client(drv);
  client.target(where);

  // Clients that come and go, each with an id of its own, as a long-running
  // host sees them (or as a flood of forged requests would).
  NET_CONN *kept = nullptr;
  for (unsigned int id = 1; id <= 300; id++) {
    client.send(connect_request(id));
    NET_CONN *accepted = net_poll_listen(listener);
    ASSERT_NE(accepted, nullptr) << id;
    client.drain();
    if (id == 7) {
      kept = accepted;
      continue;
    }
    ASSERT_EQ(net_closeconn(accepted), 0);
    ASSERT_LE(__netlane_internal__conn_client_count(listener), 2) << id;
  }
  client.send(connect_request(1000));
  NET_CONN *last = net_poll_listen(listener);
  ASSERT_NE(last, nullptr);
  client.drain();
  EXPECT_EQ(__netlane_internal__conn_client_count(listener), 2);

  // The client whose conn stayed open is still known: no second conn.
  client.send(connect_request(7));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_EQ(client.drain().size(), 1u);
  EXPECT_EQ(__netlane_internal__conn_client_count(kept), 0) << "only listening conns have clients";
}

TEST_F(LossyFixture, ReconnectFromTheSameAddressGetsAConnOfItsOwn)
{
  std::string where = listen_port();
  NET_CONN *listener = net_openconn(drv, where.c_str());
  ASSERT_EQ(net_listen(listener), 0);
  // The same binding twice within one second: the listener must not take
  // the second conn for a repeat of the first, whose conn it still holds.
  for (int round = 0; round < 2; round++) {
    NET_CONN *client = net_openconn(drv, "30000");
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(net_connect(client, where.c_str()), 0);
    // The admit, or (the address in use) the cookie, the proof and the
    // accept, with no time passing.
    NET_CONN *accepted = nullptr;
    int connected = 0;
    for (int n = 0; n < 4 && (!accepted || !connected); n++) {
      if (!accepted) accepted = net_poll_listen(listener);
      if (!connected) connected = net_poll_connect(client);
    }
    ASSERT_NE(accepted, nullptr) << round;
    ASSERT_EQ(connected, 1);
    NET_CONN_FIGURES f;
    ASSERT_EQ(net_conn_figures(accepted, &f), 0);
    if (round == 1) {
      EXPECT_EQ(f.proved, 1) << "the second takes the address over: it proved it receives there";
    }
    ASSERT_EQ(net_send_rdm(client, "hi", 2), 0);
    char buf[8];
    EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 2) << round;
    ASSERT_EQ(net_conn_figures(accepted, &f), 0);
    EXPECT_EQ(f.proved, 1) << "the proof goes ahead of the first message";
    ASSERT_EQ(net_closeconn(client), 0);
  }
}

TEST_F(LossyFixture, OneSlotOutQueueSendsNothingAndOneSlotInQueueStillDelivers)
{
  set_conn_config(1, 1, 500);
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  EXPECT_EQ(net_send_rdm(client, "x", 1), -1);
  set_conn_config(16, 1, 500);
  NET_CONN *l2, *c2, *a2;
  ASSERT_TRUE(make_pair(&l2, &c2, &a2));
  // With one in slot each message waits for the one before to be handed out.
  for (int i = 0; i < 5; i++) ASSERT_EQ(net_send_rdm(c2, &i, sizeof i), 0);
  int got = 0, value = -1;
  for (int round = 0; round < 200 && got < 5; round++) {
    test_clock_advance(100);
    net_query_rdm(c2);
    if (net_receive_rdm(a2, &value, sizeof value) == (int)sizeof value) {
      EXPECT_EQ(value, got);
      got++;
    }
  }
  EXPECT_EQ(got, 5);
}

TEST_F(LossyFixture, LocalClassDriverCarriesAtMost508Bytes)
{
  static NET_DRIVER small = lossy_driver;
  small.class_ = NET_CLASS_LOCAL;
  small.init_conn = NULL;
  int num = net_register_driver(0, &small);
  ASSERT_NE(num, 0);
  NET_CONN *conn = net_openconn(num, NULL);
  ASSERT_NE(conn, nullptr);
  std::vector<char> msg(509, 'm');
  EXPECT_EQ(__netlane_internal__largest_conn_message(&small), NET_MAX_SMALL_MESSAGE_SIZE);
  EXPECT_EQ(net_send_rdm(conn, msg.data(), 509), -1);
  EXPECT_EQ(net_send_rdm(conn, msg.data(), 508), 0);
}

}  // namespace

// An idle connected conn sends a keep-alive (an acknowledgement of index 0)
// once per conn_keepalive, and only while it has nothing else to send; the
// other end takes it as a sign of life and answers nothing. Silence counts
// from the last datagram of any kind.
TEST_F(LossyFixture, IdleConnSendsKeepAlivesThatNobodyAnswers)
{
  if (getenv("RDM_DRIVER")) GTEST_SKIP() << "counts datagrams on the lossy driver";
  conn_settings().keepalive = 1000;
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  settle_proof(client, accepted);
  auto silence = [](NET_CONN *c) {
    NET_CONN_FIGURES f;
    EXPECT_EQ(net_conn_figures(c, &f), 0);
    return f.peer_silence;
  };
  NET_CONN_FIGURES before;
  ASSERT_EQ(net_conn_figures(accepted, &before), 0);

  // Only the client is polled: its keep-alives must reach the accepted conn
  // without the accepted conn ever sending anything back.
  long sent = lossy_stats().sent;
  for (int ms = 0; ms < 3500; ms += 50) {
    test_clock_advance(50);
    net_query_rdm(client);
  }
  EXPECT_EQ(lossy_stats().sent - sent, 3) << "one keep-alive per idle second";
  EXPECT_EQ(silence(client), 3500);
  net_query_rdm(accepted);
  EXPECT_EQ(silence(accepted), 0);
  NET_CONN_FIGURES after;
  ASSERT_EQ(net_conn_figures(accepted, &after), 0);
  EXPECT_EQ(after.dropped_malformed, before.dropped_malformed);
  EXPECT_EQ(after.peer_keepalives, before.peer_keepalives + 3);
  EXPECT_EQ(lossy_stats().sent - sent, 4) << "the accepted conn owes no answer, only its own keep-alive";
  net_query_rdm(client);
  EXPECT_EQ(silence(client), 0);

  // A message in flight keeps the keep-alive back; its acknowledgement is
  // heard like anything else.
  sent = lossy_stats().sent;
  ASSERT_EQ(net_send_rdm(client, "x", 1), 0);
  test_clock_advance(200);
  net_query_rdm(accepted);
  test_clock_advance(200);
  net_query_rdm(accepted);  // a lone message's acknowledgement waits a moment for others
  net_query_rdm(client);
  EXPECT_EQ(silence(client), 0);
  EXPECT_EQ(lossy_stats().sent - sent, 2) << "the message and its acknowledgement only";

  // Left to the library, the host's conn beats as soon as the conn is
  // idle, then every five idle seconds while the client answers: three
  // rounds in eleven seconds.
  conn_settings().keepalive = CONN_KEEPALIVE_AUTO;
  NET_CONN *auto_listener, *auto_client, *auto_accepted;
  ASSERT_TRUE(make_pair(&auto_listener, &auto_client, &auto_accepted));
  settle_proof(auto_client, auto_accepted);
  sent = lossy_stats().sent;
  for (int ms = 0; ms < 11000; ms += 50) {
    test_clock_advance(50);
    net_query_rdm(auto_client);
    net_query_rdm(auto_accepted);
  }
  EXPECT_EQ(lossy_stats().sent - sent, 6) << "three keep-alives and their answers";
  EXPECT_LT(silence(auto_accepted), 5100);
  // Losing some keep-alives or answers, neither end is ever silent for
  // the ten seconds that count a peer gone: one unanswered makes the next
  // come a second later.
  lossy_reset(lossy_settings{11, 10, 0, 0});
  int longest = 0;
  for (int ms = 0; ms < 120000; ms += 50) {
    test_clock_advance(50);
    net_query_rdm(auto_client);
    net_query_rdm(auto_accepted);
    longest = std::max(longest, std::max(silence(auto_client), silence(auto_accepted)));
  }
  EXPECT_GT(lossy_stats().dropped, 0);
  EXPECT_LT(longest, 10000);

  // Off with 0; a conn that is not connected cannot say.
  conn_settings().keepalive = 0;
  NET_CONN *quiet_listener, *quiet, *quiet_accepted;
  ASSERT_TRUE(make_pair(&quiet_listener, &quiet, &quiet_accepted));
  settle_proof(quiet, quiet_accepted);
  sent = lossy_stats().sent;
  test_clock_advance(5000);
  net_query_rdm(quiet);
  EXPECT_EQ(lossy_stats().sent, sent);
  NET_CONN_FIGURES f;
  ASSERT_EQ(net_conn_figures(listener, &f), 0);
  EXPECT_EQ(f.peer_silence, -1);
}

// A peer that acknowledges nothing for conn_dead_after is gone: the
// figures say so and nothing more is sent, while one that acknowledges
// stays alive however long both ends are idle.
TEST_F(LossyFixture, PeerThatStopsAcknowledgingIsDeadAndNotResentTo)
{
  if (getenv("RDM_DRIVER")) GTEST_SKIP() << "drops datagrams on the lossy driver";
  conn_settings().keepalive = 1000;
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  ASSERT_EQ(net_send_rdm(client, "kept", 4), 0);
  NET_CONN_FIGURES f;
  for (int n = 0; n < 40; n++) {
    test_clock_advance(500);
    net_query_rdm(client);
    net_query_rdm(accepted);
  }
  ASSERT_EQ(net_conn_figures(client, &f), 0);
  EXPECT_EQ(f.dead, 0) << "an idle peer that acknowledges";
  EXPECT_EQ(net_receive_rdm(accepted, NULL, 0), -1);  // "kept" is there

  lossy_reset(lossy_settings{1, 100, 0, 0});
  ASSERT_EQ(net_send_rdm(client, "lost", 4), 0);
  for (int n = 0; n < 19; n++) {
    test_clock_advance(500);
    net_query_rdm(client);
  }
  ASSERT_EQ(net_conn_figures(client, &f), 0);
  EXPECT_EQ(f.dead, 0) << "9.5 s";
  test_clock_advance(500);
  net_query_rdm(client);
  ASSERT_EQ(net_conn_figures(client, &f), 0);
  EXPECT_EQ(f.dead, 1) << "10 s";
  long sent = lossy_stats().sent;
  for (int n = 0; n < 20; n++) {
    test_clock_advance(500);
    net_query_rdm(client);
  }
  EXPECT_EQ(lossy_stats().sent, sent) << "no resends, no keep-alives to a gone peer";
}

void __netlane_internal__conn_start_indexes(NET_CONN *conn, uint32_t out_first, uint32_t in_first);

// Indexes are 32 bits and 0 is no message's: a stream that starts just
// below the wrap arrives whole and in order both ways, through loss,
// duplicates and reordering, past 0xFFFFFFFF to 1.
TEST_F(LossyFixture, StreamsAcrossTheIndexWrapArriveInOrder)
{
  if (getenv("RDM_DRIVER")) GTEST_SKIP() << "loses datagrams on the lossy driver";
  conn_settings().resend_rate = 100;
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  __netlane_internal__conn_start_indexes(client, 0xFFFFFFF5u, 0xFFFFFFFAu);
  __netlane_internal__conn_start_indexes(accepted, 0xFFFFFFFAu, 0xFFFFFFF5u);
  lossy_reset(lossy_settings{7, 20, 10, 30});
  const int kCount = 60;
  int sent[2] = {0, 0}, got[2] = {0, 0};
  NET_CONN *from[2] = {client, accepted}, *to[2] = {accepted, client};
  for (int round = 0; round < 3000 && (got[0] < kCount || got[1] < kCount); round++) {
    test_clock_advance(10);
    for (int d = 0; d < 2; d++) {
      while (sent[d] < kCount && net_send_rdm(from[d], &sent[d], sizeof sent[d]) == 0) sent[d]++;
      int value;
      while (net_receive_rdm(to[d], &value, sizeof value) == (int)sizeof value) {
        EXPECT_EQ(value, got[d]) << "direction " << d;
        got[d]++;
      }
    }
  }
  EXPECT_EQ(got[0], kCount);
  EXPECT_EQ(got[1], kCount);
}
