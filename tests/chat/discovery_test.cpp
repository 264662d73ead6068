// Finding chats: the query and answer codec, the host's limits (on its own
// test port over 127.0.0.1) and the join screen's list under hostile answers.
#include <unistd.h>
#include <string.h>
#include <string>
#include <vector>
#include "chat_fixture.h"
#include "discovery.h"
#include "effects.h"
#include "menu.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes query(unsigned int token = 7)
{
  Bytes q(DISCOVERY_QUERY_SIZE);
  discovery_make_query(q.data(), token);
  return q;
}

Bytes answer(const char *name, int port, int users = 1, int most = 9, unsigned int token = finder_token())
{
  Bytes a(DISCOVERY_ANSWER_SIZE);
  discovery_make_answer(a.data(), token, name, users, most, port);
  return a;
}

class Discovery : public testing::Test {
 protected:
  void SetUp() override
  {
    saved_port = discovery_port;
    // Only the codec and the list see this port; a test that opens the
    // answerer claims a test port first.
    discovery_port = 24786;
    discovery_host_close();
    finder_close();
  }
  void TearDown() override
  {
    discovery_host_close();
    finder_close();
    discovery_port = saved_port;
  }
  // The answer the host gives now, or an empty one when it drops the query.
  Bytes host_answer(const Bytes &q, const char *from, unsigned int now_ms, int users = 1)
  {
    Bytes a(DISCOVERY_ANSWER_SIZE);
    a.resize(discovery_host_answer(q.data(), (int)q.size(), from, users, now_ms, a.data()));
    return a;
  }
  int take(const Bytes &a, const char *from = "10.0.0.5:24786", unsigned int now_ms = 0)
  {
    return finder_take(a.data(), (int)a.size(), from, now_ms);
  }
  std::string line(int i)
  {
    char out[80];
    return finder_line(i, out, sizeof out) < 0 ? "" : out;
  }
  int saved_port;
};

TEST_F(Discovery, CodecRoundTripsAndDropsWhatIsMalformed)
{
  static_assert(DISCOVERY_ANSWER_SIZE <= DISCOVERY_QUERY_SIZE, "an answer never outgrows its query");
  unsigned int token = 0;
  Bytes q = query(0xA1B2C3D4u);
  ASSERT_EQ(0, discovery_read_query(q.data(), (int)q.size(), &token));
  EXPECT_EQ(0xA1B2C3D4u, token);
  EXPECT_EQ(0, memcmp(q.data(), "YLDQ\1\0\0\0\xA1\xB2\xC3\xD4", 12));

  Bytes bad = q;
  bad[4] = 2;  // another version
  EXPECT_EQ(-1, discovery_read_query(bad.data(), (int)bad.size(), &token));
  EXPECT_EQ(-1, discovery_read_query(q.data(), DISCOVERY_QUERY_SIZE - 1, &token));
  Bytes longer = q;
  longer.push_back(0);
  EXPECT_EQ(-1, discovery_read_query(longer.data(), (int)longer.size(), &token));
  EXPECT_EQ(-1, discovery_read_query(answer("Hosty", 5000).data(), DISCOVERY_QUERY_SIZE, &token));

  // A name is cut to its field and always ends in it; counts stop at 255.
  Bytes a = answer("ABCDEFGHIJKL", 65535, 300, 400, 5);
  EXPECT_EQ(0, memcmp(a.data(), "YLDA\1\xFF\xFF\0\0\0\0\5\xFF\xFF" "ABCDEFGHI\0", 24));
  chat_found found;
  EXPECT_EQ(0, discovery_read_answer(a.data(), (int)a.size(), 5, &found));
  EXPECT_STREQ("ABCDEFGHI", found.name);
  EXPECT_EQ(65535, found.port);
  EXPECT_EQ(-1, discovery_read_answer(a.data(), (int)a.size(), 6, &found)) << "another search's token";
  EXPECT_EQ(0, found.needs_key);
  // Byte 7 tells a keyed chat.
  discovery_make_answer(a.data(), 5, "Keyed", 1, 9, 5000, 1);
  EXPECT_EQ(1, a[7]);
  EXPECT_EQ(0, discovery_read_answer(a.data(), (int)a.size(), 5, &found));
  EXPECT_EQ(1, found.needs_key);
}

TEST_F(Discovery, HostAnswersTwentyASecondAndNeverTowardsABadSender)
{
  Bytes q = query(9);
  for (int i = 0; i < DISCOVERY_ANSWERS_PER_S; i++)
    ASSERT_EQ((size_t)DISCOVERY_ANSWER_SIZE, host_answer(q, "10.0.0.9:40000", 5000 + i).size()) << i;
  EXPECT_TRUE(host_answer(q, "10.0.0.9:40000", 5999).empty());
  EXPECT_EQ((size_t)DISCOVERY_ANSWER_SIZE, host_answer(q, "10.0.0.9:40000", 6000).size());
  EXPECT_TRUE(host_answer(q, "10.0.0.9:40000", 6000).empty());
  // Asked every 10 ms across the clock's wrap: never 21 answers in a second.
  std::vector<unsigned int> times;
  for (unsigned int t = 0xFFFFFC00u, n = 0; n < 300; t += 10, n++)
    if (!host_answer(q, "10.0.0.9:40000", t).empty())
      times.push_back(t);
  ASSERT_GE(times.size(), 2u * DISCOVERY_ANSWERS_PER_S);
  for (size_t i = 0; i + DISCOVERY_ANSWERS_PER_S < times.size(); i++)
    EXPECT_GE(times[i + DISCOVERY_ANSWERS_PER_S] - times[i], 1000u) << i;

  // Port 0 would aim the answer at a chat port; the others spread or go nowhere.
  const char *senders[] = {"10.0.0.9:0", "255.255.255.255:4000", "224.0.0.1:4000", "0.0.0.0:4000",
                           ":4000", "10.0.0.9:70000", "10.0.0.300:4000", "10.0.0.9:4000x", ""};
  for (const char *from : senders)
    EXPECT_TRUE(host_answer(q, from, 90000).empty()) << from;
}

TEST_F(Discovery, HostReadsABoundedNumberPerStepAndTellsItsListeningPort)
{
  int lock_a = -1, lock_b = -1;
  int chat_port = claim_test_port(&lock_a);
  discovery_port = claim_test_port(&lock_b);
  ASSERT_GT(chat_port, 0);
  ASSERT_GT(discovery_port, 0);
  Init_network_stuff();
  char text[32];
  snprintf(text, sizeof text, ":%d", chat_port);
  NET_CONN *listening = net_openconn(NET_DRIVER_WSOCK_WIN, text);
  ASSERT_NE(nullptr, listening);
  ASSERT_EQ(0, net_listen(listening));
  ASSERT_EQ(0, discovery_host_open(listening, "Hosty", 9));

  NET_CHANNEL *asker = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(nullptr, asker);
  snprintf(text, sizeof text, "127.0.0.1:%d", discovery_port);
  ASSERT_EQ(0, net_assigntarget(asker, text));
  std::vector<unsigned char> oversized(DISCOVERY_QUERY_SIZE + 1, 0);
  memcpy(oversized.data(), query(3).data(), DISCOVERY_QUERY_SIZE);
  net_send(asker, oversized.data(), (int)oversized.size());
  net_send(asker, query(3).data(), 10);
  for (int i = 0; i < 12; i++)
    net_send(asker, query(3).data(), DISCOVERY_QUERY_SIZE);
  usleep(50000);

  auto answers = [&]() {
    int count = 0;
    unsigned char buf[64];
    for (int n = 0; n < 40; n++) {
      int got = net_receive(asker, buf, sizeof buf, NULL);
      if (got <= 0)
        break;
      chat_found found;
      EXPECT_EQ(DISCOVERY_ANSWER_SIZE, got);
      EXPECT_EQ(0, discovery_read_answer(buf, got, 3, &found));
      EXPECT_STREQ("Hosty", found.name);
      EXPECT_EQ(chat_port, found.port);
      EXPECT_EQ(4, found.users);
      count++;
    }
    return count;
  };
  discovery_host_step(4, 1000);
  usleep(50000);
  EXPECT_EQ(DISCOVERY_HOST_READS - 2, answers());  // the two bad ones took their reads
  discovery_host_step(4, 1000);
  usleep(50000);
  EXPECT_EQ(14 - DISCOVERY_HOST_READS, answers());

  EXPECT_EQ(2, discovery_host_open(NULL, "Hosty", 9));
  net_closechannel(asker);
  net_closeconn(listening);
  close(lock_a);
  close(lock_b);
}

TEST_F(Discovery, JoinScreenListStaysOrderedBoundedAndProofAgainstHostileAnswers)
{
  EXPECT_EQ("No chats found on this network", line(0));
  Bytes a = answer("Zed", 5000);
  // Unterminated or unprintable names, port 0, more users than it takes,
  // another token, a wrong size, a sender off the discovery port.
  Bytes unterminated = a, control = a, no_port = a, crowded = a;
  memset(unterminated.data() + 14, 'x', DISCOVERY_NAME_SIZE);
  control[15] = '\n';
  no_port[12] = no_port[13] = 0;
  crowded[5] = 10;
  Bytes longer = a;
  longer.push_back(0);
  for (const Bytes &bad : {unterminated, control, no_port, crowded, longer,
                           answer("Zed", 5000, 1, 9, finder_token() + 1)})
    EXPECT_EQ(0, take(bad));
  EXPECT_EQ(0, take(a, "10.0.0.5:24785"));
  EXPECT_EQ(0, take(a, "255.255.255.255:24786"));
  EXPECT_EQ(0, finder_count());

  // By name, then address, then port, whatever order the answers come in.
  EXPECT_EQ(1, take(a, "10.0.0.9:24786", 0));
  EXPECT_EQ(1, take(answer("Amy", 5001), "10.0.0.9:24786", 100));
  EXPECT_EQ(1, take(answer("Amy", 5000), "10.0.0.8:24786", 200));
  EXPECT_EQ(1, take(answer("Amy", 5002), "10.0.0.10:24786", 300));
  EXPECT_EQ(1, take(answer("Zed", 5000, 3), "10.0.0.9:24786", 4000));  // heard again: updated
  ASSERT_EQ(4, finder_count());
  const char *order[][2] = {{"10.0.0.8", "5000"}, {"10.0.0.9", "5001"}, {"10.0.0.10", "5002"}, {"10.0.0.9", "5000"}};
  for (int i = 0; i < 4; i++) {
    EXPECT_STREQ(order[i][0], finder_chat(i)->address);
    EXPECT_EQ(atoi(order[i][1]), finder_chat(i)->port);
  }
  EXPECT_EQ("  Zed       10.0.0.9:5000         3/9 users", line(4));
  Bytes keyed(DISCOVERY_ANSWER_SIZE);
  discovery_make_answer(keyed.data(), finder_token(), "Zed", 3, 9, 5000, 1);
  EXPECT_EQ(1, take(keyed, "10.0.0.9:24786", 4100));
  EXPECT_EQ("  Zed       10.0.0.9:5000         3/9 users  needs KEY", line(4));

  // F5 walks the list from the first and around; the pick is marked.
  clear_string(ip_addy, IP_ADDY_SIZE);
  clear_string(port_num, PORT_NUM_SIZE);
  for (int i : {0, 1, 2, 3, 0}) {
    EXPECT_EQ(1, finder_pick_next());
    EXPECT_EQ(i, finder_picked());
    EXPECT_STREQ(finder_chat(i)->address, ip_addy);
    EXPECT_EQ(finder_chat(i)->port, atoi(port_num));
  }
  EXPECT_EQ('>', line(1)[0]);

  // A flood from many addresses cannot grow the list or push out what it shows.
  for (int i = 0; i < 300; i++) {
    char from[32];
    snprintf(from, sizeof from, "10.1.%d.%d:24786", i / 200, i % 200 + 1);
    take(answer("AAA", 6000), from, 5000);
  }
  EXPECT_EQ(FINDER_CHATS, finder_count());
  EXPECT_EQ("", line(FINDER_CHATS + 1));

  // Chats not heard for six seconds go; the one heard at 4000 stays till 10000.
  finder_forget(9999);
  EXPECT_EQ(FINDER_CHATS - 3, finder_count());
  finder_forget(11000);
  EXPECT_EQ(0, finder_count());
  EXPECT_EQ(0, finder_pick_next());
}

}  // namespace
