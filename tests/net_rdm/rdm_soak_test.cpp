// Soak: 10,000 self-checking messages of random sizes each way at once over
// the lossy in-memory driver, at several loss rates and seeds, with
// duplication and reordering; every message must arrive once and in order.
#include <stdint.h>

#include <tuple>
#include <vector>

#include "rdm_fixture.h"

namespace {

const int kMessages = 10000;
const int kLimit = 16380;  // the largest message a conn carries

uint32_t mix(uint32_t x)
{
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// The size and bytes of message `index` in direction `dir`: a function of
// both, so the receiver can check what it got. Mostly small, some large,
// and the extremes 1 and the limit now and then.
int message_size(uint32_t seed, uint32_t dir, uint32_t index)
{
  if (index % 997 == 1) return kLimit;
  if (index % 997 == 2) return 1;
  uint32_t h = mix(seed * 0x9e3779b9U ^ dir * 0x85ebca6bU ^ index);
  uint32_t r = h % 100;
  h >>= 8;
  if (r < 50) return 1 + (int)(h % 256);
  if (r < 80) return 1 + (int)(h % 2048);
  return 1 + (int)(h % kLimit);
}

void fill_message(std::vector<unsigned char> &buf, uint32_t seed, uint32_t dir, uint32_t index)
{
  int size = message_size(seed, dir, index);
  buf.resize((size_t)size);
  uint32_t h = mix(index * 0xc2b2ae35U + dir + seed);
  for (int j = 0; j < size; j++) buf[(size_t)j] = (unsigned char)(h + (uint32_t)j * 167U + ((uint32_t)j >> 8));
}

struct side {
  NET_CONN *conn = nullptr;
  uint32_t dir = 0;    // direction of what this side sends
  int sent = 0;        // messages queued
  int received = 0;    // messages handed out, all checked
  std::vector<unsigned char> next;  // the message waiting to be queued
};

// The peer counts as gone after 10 s with a message unacknowledged, and at
// 30 % loss both ways a conn's last message and its answers can by chance
// all be lost for that long (seed 2 lost six acknowledgements in a row):
// what is soaked here is delivery, so nobody counts as gone.
class Soak : public LossyFixture, public ::testing::WithParamInterface<std::tuple<int, unsigned int>> {
  void configure() override { conn_settings().dead_after = 0; }
};

TEST_P(Soak, EveryMessageArrivesOnceAndInOrderBothWays)
{
  const int loss = std::get<0>(GetParam());
  const unsigned int seed = std::get<1>(GetParam());
  // Start near the timer's wrap so resend timing crosses it.
  test_clock_set(0xFFFFFFFFU - 60000U);
  lossy_reset(lossy_settings{seed, loss, 10, 60});

  NET_CONN *listener, *client, *accepted;
  ASSERT_TRUE(make_pair(&listener, &client, &accepted));

  side a;
  a.conn = client;
  a.dir = 1;
  side b;
  b.conn = accepted;
  b.dir = 2;
  side *sides[2] = {&a, &b};
  std::vector<unsigned char> got(kLimit + 1);
  std::vector<unsigned char> want;

  int rounds = 0;
  bool done = false;
  for (; rounds < 400000 && !done; rounds++) {
    test_clock_advance(25);
    for (side *s : sides) {
      side *peer = s == &a ? &b : &a;
      while (s->sent < kMessages) {
        if (s->next.empty()) fill_message(s->next, seed, s->dir, (uint32_t)s->sent + 1);
        if (net_send_rdm(s->conn, s->next.data(), (int)s->next.size()) != 0) break;
        s->next.clear();
        s->sent++;
      }
      for (int n = 0; n < 100; n++) {
        int len = net_receive_rdm(s->conn, got.data(), (int)got.size());
        if (len == 0) break;
        ASSERT_GT(len, 0);
        ASSERT_LT(s->received, kMessages) << "more messages than were sent";
        fill_message(want, seed, peer->dir, (uint32_t)s->received + 1);
        ASSERT_EQ((size_t)len, want.size()) << "message " << s->received + 1;
        ASSERT_EQ(0, memcmp(got.data(), want.data(), want.size())) << "message " << s->received + 1;
        s->received++;
      }
    }
    if (a.received == kMessages && b.received == kMessages) {
      int in_a, out_a, in_b, out_b;
      net_conn_stats(a.conn, &in_a, &out_a);
      net_conn_stats(b.conn, &in_b, &out_b);
      done = in_a == 0 && out_a == 0 && in_b == 0 && out_b == 0;
    }
  }
  EXPECT_TRUE(done) << "after " << rounds << " rounds: a got " << a.received << ", b got " << b.received;
  if (loss > 0) {
    EXPECT_GT(lossy_stats().dropped, 0);
  }
  EXPECT_GT(lossy_stats().duplicated, 0);
  // Nothing beyond the last message ever shows up.
  test_clock_advance(5000);
  EXPECT_EQ(net_query_rdm(a.conn), 0);
  EXPECT_EQ(net_query_rdm(b.conn), 0);
}

INSTANTIATE_TEST_SUITE_P(LossAndSeeds, Soak,
                         ::testing::Combine(::testing::Values(0, 10, 30), ::testing::Values(1u, 2u, 3u)),
                         [](const ::testing::TestParamInfo<Soak::ParamType> &info) {
                           return "loss" + std::to_string(std::get<0>(info.param)) + "_seed" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
