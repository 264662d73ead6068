// Conns under a hostile network, over the in-memory driver: seeded floods of
// malformed, forged and out-of-range datagrams from the peer itself, from a
// stranger and at the listener. Nothing may crash or leave the windows, and
// genuine traffic still arrives whole, once and in order.
#include <random>

#include "rdm_fixture.h"

namespace {

void put_le32(std::vector<unsigned char> &p, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; i++) p[at + (size_t)i] = (unsigned char)(v >> (8 * i));
}

// One crafted datagram: random bytes of a random short length, or an
// acknowledgement or data packet whose index lies near `base`, at the
// extremes, or anywhere.
std::vector<unsigned char> crafted(std::mt19937 &rng, uint32_t base)
{
  static const uint32_t extremes[] = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  uint32_t index;
  switch (rng() % 3) {
    case 0: index = base + (uint32_t)(rng() % 40) - 20; break;
    case 1: index = extremes[rng() % 6]; break;
    default: index = (uint32_t)rng(); break;
  }
  std::vector<unsigned char> p;
  switch (rng() % 4) {
    case 0:  // noise
      p.resize(rng() % 24);
      for (auto &b : p) b = (unsigned char)rng();
      break;
    case 1:  // an acknowledgement, sometimes of the wrong length
      p.assign(rng() % 4 ? 8 : 4 + rng() % 12, 0);
      if (p.size() >= 8) put_le32(p, 4, index);
      break;
    default:  // a data packet of 0 to 40 message bytes
      p.assign(4 + rng() % 41, (unsigned char)rng());
      put_le32(p, 0, index);
      break;
  }
  return p;
}

TEST_F(LossyFixture, PeerSendingCraftedDatagramsNeverBreaksTheQueues)
{
  raw_channel listen(drv), peer(drv);
  NET_CONN *conn = net_openconn(drv, NULL);
  ASSERT_NE(conn, nullptr);
  ASSERT_EQ(net_connect(conn, listen.address()), 0);
  std::string conn_addr;
  ASSERT_EQ(design_request(listen, conn, &conn_addr).size(), 12u);
  peer.target(conn_addr);
  peer.send(std::vector<unsigned char>(8, 0));
  ASSERT_EQ(net_poll_connect(conn), 1);

  std::mt19937 rng(20240611);
  std::vector<unsigned char> buf(16);
  uint32_t base = 1;  // the conn's next index to hand out
  for (int round = 0; round < 3000; round++) {
    test_clock_advance(rng() % 700);
    for (int n = 0; n < 8; n++) peer.send(crafted(rng, base));
    if (rng() % 2) net_send_rdm(conn, "ours", 4);
    int len = net_receive_rdm(conn, buf.data(), (int)buf.size());
    ASSERT_GE(len, -1);
    ASSERT_LE(len, 16);
    if (len > 0) base++;
    if (len == -1) {
      ASSERT_EQ(net_ignore_rdm(conn), 1);
      base++;
    }
    int in_q = -1, out_q = -1;
    net_conn_stats(conn, &in_q, &out_q);
    ASSERT_GE(in_q, 0);
    ASSERT_LE(in_q, 16);
    ASSERT_GE(out_q, 0);
    ASSERT_LE(out_q, 15);
    peer.drain();
  }
  EXPECT_GT(base, 100u) << "the crafted packets should reach the window";
  ASSERT_EQ(net_closeconn(conn), 0);
}

TEST_F(LossyFixture, StrangersAndConnectFloodsLeaveAPairUndisturbed)
{
  lossy_reset(lossy_settings{5, 10, 10, 40});
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  raw_channel stranger(drv);
  // The two ends of the pair, then the listening address.
  const std::string targets[3] = {net_getpeer(accepted), net_getpeer(client), last_listen_port};

  std::mt19937 rng(77);
  const int kEach = 500;
  int sent[2] = {0, 0}, got[2] = {0, 0};
  NET_CONN *ends[2] = {client, accepted};
  int flooded = 0;
  for (int round = 0; round < 20000 && (got[0] < kEach || got[1] < kEach); round++) {
    test_clock_advance(20);
    // Forged packets at both ends, within their windows and beyond.
    for (int t = 0; t < 2; t++) {
      stranger.target(targets[t]);
      stranger.send(crafted(rng, (uint32_t)got[t] + 1));
    }
    // Junk and requests with ids of their own at the listener; whatever it
    // accepts is closed again at once.
    stranger.target(targets[2]);
    stranger.send(rng() % 2 ? connect_request((uint32_t)rng()) : crafted(rng, 1));
    if (NET_CONN *fresh = net_poll_listen(listener)) {
      ASSERT_NE(fresh, accepted);
      ASSERT_EQ(net_closeconn(fresh), 0);
      flooded++;
    }
    ASSERT_LE(__netlane_internal__conn_client_count(listener), 2);
    for (int e = 0; e < 2; e++) {
      while (sent[e] < kEach && net_send_rdm(ends[e], &sent[e], sizeof sent[e]) == 0) sent[e]++;
      int value = -1;
      for (int n = 0; n < 20 && net_receive_rdm(ends[e], &value, sizeof value) == (int)sizeof value; n++) {
        ASSERT_EQ(value, got[e]) << "end " << e;
        got[e]++;
      }
    }
    stranger.drain();
  }
  EXPECT_EQ(got[0], kEach);
  EXPECT_EQ(got[1], kEach);
  EXPECT_GT(flooded, 0);
}

// Empty and oversized datagrams read like "nothing waiting" or a failure;
// a steady stream of them, more per step than one step used to take in,
// must not keep the peer's traffic queued behind them.
TEST_F(LossyFixture, EmptyAndOversizedDatagramsDoNotStallDelivery)
{
  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));
  raw_channel stranger(drv);
  stranger.target(net_getpeer(client));
  const int kMessages = 200;
  int sent = 0, got = 0;
  for (int round = 0; round < 2000 && got < kMessages; round++) {
    test_clock_advance(20);
    for (int n = 0; n < 30; n++) stranger.send(std::vector<unsigned char>(n == 0 ? 20000 : 0));
    if (sent < kMessages && net_send_rdm(client, &sent, sizeof sent) == 0) sent++;
    int value = -1;
    while (net_receive_rdm(accepted, &value, sizeof value) == (int)sizeof value) {
      ASSERT_EQ(value, got);
      got++;
    }
  }
  EXPECT_EQ(got, kMessages);
}

}  // namespace
