// The conn engine's rules through its input / flush / next-due interface
// alone: no sockets, the time passed in. Each table row is a case of loss,
// reordering, duplicates or the index wrap, under both acknowledgement forms.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conn_engine.h"
#include "conn_wire.h"
#include "rdm_fixture.h"

namespace {

typedef std::vector<unsigned char> dgram;
const unsigned kGathered = WIRE_FEATURE_GATHERED_ACKS;
const unsigned kQuiet = WIRE_FEATURE_GATHERED_ACKS | WIRE_FEATURE_QUIET_HOST;
const unsigned kBeat = kQuiet | WIRE_FEATURE_HOST_BEAT;

dgram gathered(unsigned next, std::vector<unsigned char> bitmap, unsigned flags = 0)
{
  dgram d = {0, 0, 0, 0, 'N', 'L', 5, (unsigned char)flags, (unsigned char)next, (unsigned char)(next >> 8),
             (unsigned char)(next >> 16), (unsigned char)(next >> 24)};
  for (unsigned char b : bitmap) d.push_back(b);
  return d;
}

// Acknowledged data: the gathered acknowledgement `ack` with its bitmap's
// length in front of its bitmap, then the data packet.
dgram riding(dgram ack, const dgram &packet)
{
  ack[6] = 7;
  ack.insert(ack.begin() + 12, (unsigned char)(ack.size() - 12));
  ack.insert(ack.end(), packet.begin(), packet.end());
  return ack;
}

// A bundle of `entries`, its count `count` when that is not -1.
dgram bundle(const std::vector<dgram> &entries, int count = -1)
{
  dgram d = {0, 0, 0, 0, 'N', 'L', 8, (unsigned char)(count < 0 ? (int)entries.size() : count)};
  for (const auto &e : entries) {
    d.push_back((unsigned char)e.size());
    d.push_back((unsigned char)(e.size() >> 8));
    d.insert(d.end(), e.begin(), e.end());
  }
  return d;
}

struct rig {
  conn_engine_t e;
  std::vector<dgram> sent;

  explicit rig(unsigned features, int client = 1, int resend_auto = 0, int keepalive = 0, int dead_after = 0)
  {
    conn_config cfg = *__netlane_internal__get_conn_config(NULL);
    cfg.resend_auto = resend_auto;
    cfg.keepalive = keepalive;
    cfg.dead_after = dead_after;
    EXPECT_EQ(__netlane_internal__engine_create(&e, &cfg), 0);
    __netlane_internal__engine_connected(&e, 0, client);
    e.features = features;
  }
  ~rig() { __netlane_internal__engine_destroy(&e); }
  static void emit(void *ctx, const void *d, int len)
  {
    auto *p = static_cast<const unsigned char *>(d);
    static_cast<rig *>(ctx)->sent.emplace_back(p, p + len);
  }
  std::vector<dgram> flush(unsigned now)
  {
    sent.clear();
    __netlane_internal__engine_flush(&e, now, emit, this);
    return sent;
  }
  void in(const dgram &d, unsigned now = 0) { __netlane_internal__engine_input(&e, d.data(), (int)d.size(), now); }
  void queue(int n, const std::string &m = "m")
  {
    for (int i = 0; i < n; i++) ASSERT_EQ(__netlane_internal__engine_queue(&e, m.data(), (int)m.size()), 0);
  }
  std::string delivered()
  {
    std::string got;
    const unsigned char *m;
    for (int n; (n = __netlane_internal__engine_peek(&e, &m)) > 0; __netlane_internal__engine_release(&e))
      got.append((const char *)m, (size_t)n).append(" ");
    return got;
  }
};

struct receive_case {
  const char *what;
  unsigned first;               // the first index expected
  std::vector<unsigned> arrive;
  std::string delivered;
  dgram gathered_ack;           // the one gathered acknowledgement of the flush
};

// 8-byte form: one acknowledgement per packet stored or known, in arrival
// order, none past the window; gathered form: one datagram for them all.
TEST(ConnEngine, ReceivingUnderBothAcknowledgementForms)
{
  const unsigned W = 0xFFFFFFFEu;
  const std::vector<receive_case> cases = {
    {"in order", 1, {1, 2, 3}, "1 2 3 ", gathered(4, {})},
    {"reordered", 1, {3, 1, 2}, "1 2 3 ", gathered(4, {})},
    {"loss", 1, {1, 3, 4, 7}, "1 ", gathered(2, {0x13})},
    {"duplicates", 1, {1, 1, 2, 2}, "1 2 ", gathered(3, {})},
    {"past the window", 1, {17, 2}, "", gathered(1, {0x01})},
    {"across the wrap", W, {W, 1, 2}, "4294967294 ", gathered(0xFFFFFFFFu, {0x03})},
  };
  for (const auto &c : cases) {
    for (unsigned features : {0u, kGathered}) {
      rig r(features);
      __netlane_internal__windows_start(&r.e.out, &r.e.in, 1, c.first);
      for (unsigned i : c.arrive) r.in(data_packet(i, std::to_string(i)));
      std::vector<dgram> want;
      if (features) want.push_back(c.gathered_ack);
      else
        for (unsigned i : c.arrive)
          if (i != 17) want.push_back(ack_packet(i));
      EXPECT_EQ(r.flush(10), want) << c.what << " features " << features;
      EXPECT_EQ(r.delivered(), c.delivered) << c.what;
      EXPECT_EQ(r.flush(20), std::vector<dgram>{}) << c.what << ": nothing new arrived";
    }
  }
}

struct waiting_ack_case {
  const char *what;
  std::vector<unsigned> arrive;  // at time 0
  int send;                      // messages of this end's own queued before the flush
  std::vector<dgram> at_once;    // what the flush at 0 sends
  int due;                       // next due after it
};

// A gathered acknowledgement waits a moment for others to join it, but not
// when it is news, has company or has waited its time.
TEST(ConnEngine, GatheredAcknowledgementWaitsUnlessNews)
{
  const std::vector<waiting_ack_case> cases = {
    {"three in order wait", {1, 2, 3}, 0, {}, ENGINE_ACK_DELAY},
    {"the fourth sends", {1, 2, 3, 4}, 0, {gathered(5, {})}, -1},
    {"a hole sends", {1, 3}, 0, {gathered(2, {0x01})}, -1},
    {"a repeat sends", {1, 1}, 0, {gathered(2, {})}, -1},
    {"data going out takes it along", {1}, 1, {data_packet(1, "m"), gathered(2, {})}, 501},
  };
  for (const auto &c : cases) {
    rig r(kGathered);
    for (unsigned i : c.arrive) r.in(data_packet(i, "x"), 0);
    r.queue(c.send);
    EXPECT_EQ(r.flush(0), c.at_once) << c.what;
    EXPECT_EQ(__netlane_internal__engine_next_due(&r.e, 0), c.due) << c.what;
  }
  rig r(kGathered);
  r.in(data_packet(1, "x"), 0);
  r.in(data_packet(2, "x"), 0);
  EXPECT_TRUE(r.flush(0).empty());
  EXPECT_EQ(r.flush(ENGINE_ACK_DELAY), (std::vector<dgram>{gathered(3, {})}));
  r.in(data_packet(3, "x"), 9);
  EXPECT_EQ(r.flush(9), (std::vector<dgram>{gathered(4, {})})) << "a message alone goes at once";

  // Between wide windows it waits for more messages, or their bytes.
  for (int size : {1, 1024}) {
    rig w(0);
    __netlane_internal__engine_agree(&w.e, kGathered | WIRE_FEATURE_WIDE_WINDOWS);
    const unsigned n = size == 1 ? ENGINE_WIDE_ACK_EVERY : ENGINE_WIDE_ACK_BYTES / size;
    for (unsigned i = 1; i < n; i++) w.in(data_packet(i, std::string(size, 'x')), 0);
    EXPECT_TRUE(w.flush(0).empty()) << size;
    w.in(data_packet(n, std::string(size, 'x')), 0);
    EXPECT_EQ(w.flush(0), (std::vector<dgram>{gathered(n + 1, {})})) << size;
  }

  // Agreed, it rides in front of the first data packet, unless the two
  // would not fit the channel's datagrams together.
  rig rides(kGathered | WIRE_FEATURE_RIDING_ACKS);
  rides.in(data_packet(1, "x"), 0);
  rides.in(data_packet(3, "x"), 0);
  rides.queue(2);
  EXPECT_EQ(rides.flush(0), (std::vector<dgram>{riding(gathered(2, {0x01}), data_packet(1, "m")), data_packet(2, "m")}));
  EXPECT_EQ(rides.e.acks_sent, 1);
  rides.in(data_packet(2, "x"), 1);
  rides.e.datagram_max = WIRE_RIDING_SIZE + (int)data_packet(3, "m").size() - 1;
  rides.queue(1);
  EXPECT_EQ(rides.flush(1), (std::vector<dgram>{data_packet(3, "m"), gathered(4, {})}));
}

// Agreed wide windows let a sender have 255 messages out and a receiver
// take them in any order, its slots laid out again as it grows; without
// the agreement both stay at the configured 16.
TEST(ConnEngine, WideWindowsOnlyWhenAgreed)
{
  const unsigned W = 0xFFFFFFF0u;
  for (unsigned features : {kGathered, kGathered | WIRE_FEATURE_WIDE_WINDOWS}) {
    bool wide = features & WIRE_FEATURE_WIDE_WINDOWS;
    rig tx(0);
    __netlane_internal__engine_agree(&tx.e, features);
    int queued = 0;
    while (queued < 300 && __netlane_internal__engine_queue(&tx.e, "m", 1) == 0) queued++;
    EXPECT_EQ(queued, wide ? CONN_WIDE_SLOTS - 1 : 15);
    EXPECT_EQ(tx.flush(0).size(), (size_t)queued);

    rig rx(0);
    __netlane_internal__engine_agree(&rx.e, features);
    __netlane_internal__windows_start(&rx.e.out, &rx.e.in, 1, W);
    // Moves the base off slot 0 before the window grows, across the wrap.
    rx.in(data_packet(W, "first"));
    EXPECT_EQ(rx.delivered(), "first ");
    std::vector<unsigned> order;
    unsigned i = W + 1;
    for (int n = 0; n < 200; n++, i = i == 0xFFFFFFFFu ? 1 : i + 1) order.push_back(i);
    std::string want;
    for (size_t n = 0; n < (wide ? order.size() : 16); n++) want += std::to_string(order[n]) + " ";
    for (auto it = order.rbegin(); it != order.rend(); ++it) rx.in(data_packet(*it, std::to_string(*it)));
    EXPECT_EQ(rx.delivered(), want) << "wide " << wide;
  }
}

struct ack_case {
  const char *what;
  unsigned first;  // the first index sent
  std::vector<dgram> acks;
  int queued_after;
  long malformed;
};

// The sender takes every index a gathered acknowledgement names, releases
// from the base, and ignores one naming what it never sent.
TEST(ConnEngine, GatheredAcknowledgementsRelease)
{
  const unsigned W = 0xFFFFFFFEu;
  const std::vector<ack_case> cases = {
    {"cumulative", 1, {gathered(4, {})}, 1, 0},
    {"bitmap then the gap", 1, {gathered(1, {0x07}), ack_packet(1)}, 0, 0},
    {"bitmap alone releases nothing", 1, {gathered(1, {0x07})}, 4, 0},
    {"stale after newer, its bitmap still true", 1, {gathered(3, {}), gathered(2, {0x01})}, 1, 0},
    {"next past what was sent", 1, {gathered(6, {})}, 4, 1},
    {"bit past what was sent", 1, {gathered(1, {0x08})}, 4, 1},
    {"across the wrap", W, {gathered(1, {0x01})}, 2, 0},
    {"one byte too many", 1, {gathered(5, std::vector<unsigned char>(WIRE_BITMAP_MAX + 1, 0))}, 4, 1},
    {"riding on data", 1, {riding(gathered(1, {0x01}), data_packet(1, "r")), ack_packet(1)}, 2, 0},
    {"riding, its bitmap's length past the bound", 1, {riding(gathered(5, std::vector<unsigned char>(WIRE_BITMAP_MAX + 1, 0)), data_packet(1, "r"))}, 4, 1},
    {"riding on no message", 1, {riding(gathered(5, {}), {1, 0, 0, 0})}, 4, 1},
    {"riding on an index 0", 1, {riding(gathered(5, {}), data_packet(0, "r"))}, 4, 1},
  };
  for (const auto &c : cases) {
    rig r(kGathered);
    __netlane_internal__windows_start(&r.e.out, &r.e.in, c.first, 1);
    r.queue(4);
    ASSERT_EQ(r.flush(0).size(), 4u) << c.what;
    for (const auto &a : c.acks) r.in(a, 5);
    EXPECT_EQ(__netlane_internal__engine_queued(&r.e), c.queued_after) << c.what;
    EXPECT_EQ(r.e.dropped_malformed, c.malformed) << c.what;
    EXPECT_EQ(r.delivered(), c.malformed || c.acks[0][6] != 7 ? "" : "r ") << c.what << ": the packet it rode on";
  }
}

// Resends wait the fixed rate; three later acknowledgements (8-byte or
// bits of one gathered one) send the gap at once; round trips come only
// from messages sent once; a peer silent for dead_after is sent nothing.
TEST(ConnEngine, ResendTimesFastResendAndDeadPeer)
{
  rig r(0);
  r.queue(1);
  ASSERT_EQ(r.flush(0).size(), 1u);
  EXPECT_EQ(__netlane_internal__engine_next_due(&r.e, 100), 401);
  EXPECT_TRUE(r.flush(500).empty());
  EXPECT_EQ(r.flush(501), (std::vector<dgram>{data_packet(1, "m")}));
  r.in(ack_packet(1), 530);
  EXPECT_EQ(r.e.out.timer.srtt8, -1) << "a resent message says nothing of the round trip";

  for (unsigned features : {0u, kGathered}) {
    rig f(features, 1, 1);
    f.queue(5);
    f.flush(0);
    if (features) f.in(gathered(1, {0x07}), 20);
    else
      for (unsigned i : {2u, 3u, 4u}) f.in(ack_packet(i), 20);
    EXPECT_EQ(f.e.out.timer.srtt8, 20 * 8) << features;
    EXPECT_EQ(f.flush(21), (std::vector<dgram>{data_packet(1, "m")})) << features;
  }

  // A first round trip shortens the wait of a message already out: its
  // resend comes forward from the fixed rate's 500 ms to 30.
  rig est(0, 1, 1);
  est.queue(2);
  est.flush(0);
  est.in(ack_packet(2), 10);
  EXPECT_EQ(__netlane_internal__engine_next_due(&est.e, 10), 21);
  EXPECT_TRUE(est.flush(30).empty());
  EXPECT_EQ(est.flush(31), (std::vector<dgram>{data_packet(1, "m")}));

  // An acknowledgement of a message held back for room in flight, never
  // sent, must not release it unsent.
  rig held(0);
  held.e.out.max_in_flight = 6;
  held.queue(2);
  ASSERT_EQ(held.flush(0).size(), 1u);
  held.in(ack_packet(2), 10);
  held.in(ack_packet(1), 10);
  EXPECT_EQ(held.flush(10), (std::vector<dgram>{data_packet(2, "m")}));

  rig d(0, 1, 0, 0, 2000);
  d.queue(1);
  d.flush(0);
  EXPECT_EQ(__netlane_internal__engine_next_due(&d.e, 1800), 0) << "its resend is overdue";
  EXPECT_EQ(d.flush(1999).size(), 1u);
  EXPECT_TRUE(d.flush(2000).empty());
  EXPECT_EQ(d.e.dead, 1);
  EXPECT_EQ(__netlane_internal__engine_next_due(&d.e, 2000), -1);
  d.in(data_packet(1, "late"), 2100);
  EXPECT_EQ(d.flush(2100), (std::vector<dgram>{ack_packet(1)})) << "a gone peer still hears acknowledgements";
}

struct keepalive_case {
  const char *what;
  unsigned features;
  int client;
  unsigned at;  // when its keep-alive goes, a second idle (on the beat's tick); 0 never
};

// Both ends send keep-alives but for a quiet host's listener end, which
// answers each with a flagged gathered acknowledgement, and the client of
// a host's beat, which does the same; the end that sent counts the answer
// as hearing from its peer.
TEST(ConnEngine, KeepAlivesOneSidedAndBothSided)
{
  const dgram zeros(8, 0);
  const std::vector<keepalive_case> cases = {
    {"design peer, client", 0, 1, 1000},
    {"design peer, listener end", 0, 0, 1000},
    {"quiet host, client", kQuiet, 1, 1000},
    {"quiet host, listener end", kQuiet, 0, 0},
    {"host beat, client", kBeat, 1, 0},
    {"host beat, listener end", kBeat, 0, 1024},
  };
  for (const auto &c : cases) {
    rig r(c.features, c.client, 0, 1000);
    EXPECT_EQ(__netlane_internal__engine_next_due(&r.e, 400), c.at ? (int)c.at - 400 : -1) << c.what;
    unsigned at = c.at ? c.at : 1000;
    EXPECT_TRUE(r.flush(at - 1).empty()) << c.what;
    EXPECT_EQ(r.flush(at), c.at ? std::vector<dgram>{zeros} : std::vector<dgram>{}) << c.what;
    r.in(zeros, 1200);
    EXPECT_EQ(r.e.keepalives_heard, 1) << c.what;
    std::vector<dgram> answer;
    if (!c.at) answer.push_back(gathered(1, {}, WIRE_GATHERED_ANSWER));
    EXPECT_EQ(r.flush(1200), answer) << c.what;
  }
  const std::vector<keepalive_case> senders = {
    {"quiet host, client", kQuiet, 1, 1000},
    {"host beat, listener end", kBeat, 0, 1024},
  };
  for (const auto &c : senders) {
    rig r(c.features, c.client, 0, 1000);
    r.in(gathered(1, {}, WIRE_GATHERED_ANSWER), 500);
    EXPECT_EQ(r.e.keepalives_heard, 1) << c.what;
    EXPECT_EQ(r.e.last_heard, 500u) << c.what;
    EXPECT_TRUE(r.flush(500).empty()) << c.what << ": an answer is not answered";
  }
}

// A conn quiet for a keep-alive's wait, the end that sends them or the
// end that only answers, lets go of its slots' buffers above 256 bytes,
// and windows grown for a burst go back to 16 slots; nothing goes while a
// message waits to be read. A trimmed window sends and grows again.
TEST(ConnEngine, QuietConnsLetGoOfTheirBurstsBuffers)
{
  const dgram zeros(8, 0);
  struct burst { int count, size, unread, kept, slots; };
  for (const keepalive_case &c : {keepalive_case{"design peer, client: its keep-alive", 0, 1, 1020},
                                  keepalive_case{"host beat, client: its answer", kBeat, 1, 0}}) {
    for (const burst &b : {burst{40, 1000, 0, 0, 32}, burst{40, 1000, 1, 80, 128}, burst{1, 1000, 0, 0, 32},
                           burst{1, 16, 0, 0, 32}}) {
      std::string what = std::string(c.what) + ", " + std::to_string(b.count) + " x " + std::to_string(b.size) +
                         (b.unread ? ", one unread" : "");
      rig r(c.features, c.client, 0, 1000);
      __netlane_internal__engine_agree(&r.e, c.features | WIRE_FEATURE_WIDE_WINDOWS);
      r.queue(b.count, std::string((size_t)b.size, 'x'));
      EXPECT_EQ(r.flush(0).size(), (size_t)b.count) << what;
      for (int i = 1; i <= b.count; i++) r.in(ack_packet((unsigned)i), 10);
      for (int i = 1; i <= b.count; i++) r.in(data_packet((unsigned)i, std::string((size_t)b.size, 'y')), 20);
      r.flush(20);
      const unsigned char *m;
      for (int n = 0; n < b.count - b.unread; n++) {
        ASSERT_EQ(__netlane_internal__engine_peek(&r.e, &m), b.size) << what;
        __netlane_internal__engine_release(&r.e);
      }
      if (c.at) {
        EXPECT_EQ(r.flush(c.at), std::vector<dgram>{zeros}) << what;
      } else {
        r.in(zeros, 1100);
        r.flush(1100);  // the answer
      }
      EXPECT_EQ(r.e.out.kept + r.e.in.kept, b.kept) << what;
      EXPECT_EQ(r.e.out.queue_size + r.e.in.queue_size, b.slots) << what;
      EXPECT_EQ(r.e.out.packets[0].data && r.e.in.packets[0].data, b.unread || b.size <= CONN_SLOT_QUIET) << what;
      EXPECT_EQ(r.delivered().size(), b.unread ? (size_t)b.size + 1 : 0u) << what;
      r.queue(20, "again");
      EXPECT_EQ(r.flush(1200).size(), 20u) << what;
    }
  }
}

struct interval_case {
  const char *what;
  unsigned features;
  int keepalive;            // as configured
  std::vector<unsigned> at;  // when keep-alives go out, none answered until the last
  unsigned again;            // the next, once an answer came 100 ms after the last
  int client = 1;
};

// Left to the library, the client of a quiet host sends a keep-alive after
// five idle seconds while they are answered and after one again once one
// went unanswered; a design-following peer, or a wait the program set,
// keeps one a second. The listener's conn of a host's beat keeps the same
// waits on its 64 ms tick. The due times say so to a program that only waits.
TEST(ConnEngine, KeepAliveIntervalOfAQuietHostsClient)
{
  const dgram zeros(8, 0);
  const std::vector<interval_case> cases = {
    {"quiet host, left to the library", kQuiet, CONN_KEEPALIVE_AUTO, {5000, 6000, 7000, 8000, 9000}, 14000},
    {"quiet host, set to 1000", kQuiet, 1000, {1000, 2000, 3000}, 4000},
    {"design peer, left to the library", 0, CONN_KEEPALIVE_AUTO, {1000, 2000, 3000}, 4000},
    {"gathered acknowledgements alone", kGathered, CONN_KEEPALIVE_AUTO, {1000, 2000, 3000}, 4000},
    {"host beat, left to the library (the first at once)", kBeat, CONN_KEEPALIVE_AUTO, {0, 1024, 2048, 3072, 4096}, 9088, 0},
    {"host beat, set to 1000", kBeat, 1000, {1024, 2048, 3072}, 4096, 0},
  };
  for (const auto &c : cases) {
    rig r(c.features, c.client, 0, c.keepalive);
    unsigned last = 0;
    for (unsigned at : c.at) {
      EXPECT_EQ(__netlane_internal__engine_next_due(&r.e, last), (int)(at - last)) << c.what << " " << at;
      EXPECT_TRUE(r.flush(at - 1).empty()) << c.what << " " << at;
      EXPECT_EQ(r.flush(at), std::vector<dgram>{zeros}) << c.what << " " << at;
      last = at;
    }
    // Heard again: the long wait comes back, counted from the last send.
    r.in(gathered(1, {}, WIRE_GATHERED_ANSWER), last + 100);
    EXPECT_EQ(__netlane_internal__engine_next_due(&r.e, last + 100), (int)(c.again - last - 100)) << c.what;
    EXPECT_TRUE(r.flush(c.again - 1).empty()) << c.what;
    EXPECT_EQ(r.flush(c.again).size(), 1u) << c.what;
  }
  // The listener's end of a quiet host, and the client of a host's beat,
  // still only answer.
  rig host(kQuiet, 0, 0, CONN_KEEPALIVE_AUTO);
  EXPECT_EQ(__netlane_internal__engine_next_due(&host.e, 0), -1);
  EXPECT_TRUE(host.flush(10000).empty());
  rig beaten(kBeat, 1, 0, CONN_KEEPALIVE_AUTO);
  EXPECT_EQ(__netlane_internal__engine_next_due(&beaten.e, 0), -1);
  EXPECT_TRUE(beaten.flush(10000).empty());
}

// Agreed (with gathered acknowledgements), the data of a flush shares
// datagrams, acknowledged data as the first entry. A sender 16 messages
// ahead holds new ones until they fill a bundle or the peer catches up.
TEST(ConnEngine, BundlesWhenAgreedAndTheHoldWhileAhead)
{
  const unsigned kBundles = kGathered | WIRE_FEATURE_BUNDLES | WIRE_FEATURE_WIDE_WINDOWS;
  const std::vector<dgram> three = {data_packet(1, "m"), data_packet(2, "m"), data_packet(3, "m")};
  for (unsigned features : {kGathered | WIRE_FEATURE_WIDE_WINDOWS, 0u | WIRE_FEATURE_BUNDLES, kBundles}) {
    rig r(0);
    __netlane_internal__engine_agree(&r.e, features);
    r.queue(3);
    EXPECT_EQ(r.flush(0), features == kBundles ? std::vector<dgram>{bundle(three)} : three) << features;
  }
  rig rides(kBundles | WIRE_FEATURE_RIDING_ACKS);
  rides.in(data_packet(1, "x"));
  rides.in(data_packet(3, "x"));
  rides.queue(2);
  EXPECT_EQ(rides.flush(0), (std::vector<dgram>{bundle({riding(gathered(2, {0x01}), data_packet(1, "m")), data_packet(2, "m")})}));

  rig tx(0);
  __netlane_internal__engine_agree(&tx.e, kBundles);
  tx.queue(ENGINE_HOLD_AHEAD);
  EXPECT_EQ(tx.flush(0).size(), 1u);
  tx.queue(1);
  EXPECT_TRUE(tx.flush(1).empty());
  EXPECT_NE(__netlane_internal__engine_next_due(&tx.e, 1), 0) << "a held message is not due";
  tx.in(gathered(2, {}), 2);
  EXPECT_EQ(tx.flush(2), (std::vector<dgram>{data_packet(17, "m")})) << "the peer caught up";
  // Held until one more of their size would not fit; one too large to
  // share a bundle goes at once.
  const std::string big(300, 'b'), huge(1000, 'h');
  tx.queue(1);
  tx.queue(3, big);
  EXPECT_TRUE(tx.flush(3).empty());
  tx.queue(1, big);
  EXPECT_EQ(tx.flush(3), (std::vector<dgram>{bundle({data_packet(18, "m"), data_packet(19, big), data_packet(20, big),
                                                     data_packet(21, big), data_packet(22, big)})}));
  tx.queue(1, huge);
  EXPECT_EQ(tx.flush(4), (std::vector<dgram>{data_packet(23, huge)}));
}

// A bundle is taken entry by entry only when its count and every entry's
// length and kind hold to its last byte; otherwise it is dropped whole.
// Past a full window that the program has not read, it is held from its
// first entry beyond it (acknowledged data as its packet alone, the
// acknowledgement taken once) and offered again as the program reads.
TEST(ConnEngine, BundlesTakenWhenTheyHoldAndHeldPastAFullWindow)
{
  const dgram a = data_packet(1, "a"), b = data_packet(2, "b"), c = data_packet(3, "c");
  dgram cut = bundle({a, b});
  cut.pop_back();
  const std::vector<std::pair<const char *, dgram>> junk = {
    {"the count says three", bundle({a, b}, 3)},
    {"one entry", bundle({a})},
    {"a length past the end", cut},
    {"acknowledged data second", bundle({a, riding(gathered(1, {}), b)})},
    {"a bundle inside", bundle({a, bundle({b, c})})},
  };
  for (const auto &k : junk) {
    rig r(kGathered | WIRE_FEATURE_BUNDLES);
    r.in(k.second);
    EXPECT_EQ(r.delivered(), "") << k.first;
    EXPECT_EQ(r.e.dropped_malformed, 1) << k.first;
  }

  // A good one fills the first two slots of a window the rest fills.
  rig r(kGathered | WIRE_FEATURE_BUNDLES);
  r.in(bundle({a, b}));
  for (unsigned i = 3; i <= 16; i++) r.in(data_packet(i, std::to_string(i)));
  const dgram d17 = data_packet(17, "17"), d18 = data_packet(18, "18"), in = bundle({riding(gathered(1, {}), d17), d18});
  EXPECT_EQ(__netlane_internal__engine_input(&r.e, in.data(), (int)in.size(), 0), ENGINE_PARKED);
  EXPECT_EQ(dgram(r.e.parked, r.e.parked + r.e.parked_len), bundle({d17, d18}));
  const unsigned char *m;
  for (const char *first : {"a", "b"}) {
    ASSERT_EQ(__netlane_internal__engine_peek(&r.e, &m), 1);
    EXPECT_EQ(m[0], first[0]);
    __netlane_internal__engine_release(&r.e);
    EXPECT_EQ(__netlane_internal__engine_ready(&r.e), first[0] == 'b') << first;
  }
  std::string want;
  for (unsigned i = 3; i <= 18; i++) want += std::to_string(i) + " ";
  EXPECT_EQ(r.delivered(), want);
  EXPECT_EQ(r.e.dropped_window + r.e.dropped_malformed, 0);
}

}  // namespace
