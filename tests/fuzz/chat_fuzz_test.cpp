// Hostile chat packets into the host's and the client's rules, over fake
// conns: seeded runs of the eight kinds with random fields, mangled ids,
// texts without terminators, negative bytes and odd lengths. After every
// packet the tables must hold: names terminated and at most 9 characters,
// user numbers 0-9 and never shared by two conns, and a packet that the
// rules drop sends nothing at all.
#include <string.h>

#include <set>

#include "chat_fixture.h"
#include "fuzz_util.h"
#include "packet.h"

namespace {

const char *const kKinds[8] = {"ReJo", "Join", "You!", "New!", "Mesg", "Chng", "Sund", "Numb"};

// Byte values that sit on the edges of the user table and of a signed char.
const int kEdgeBytes[] = {0, 1, 2, 8, 9, 10, 11, 127, -1, -2, -128, -127, 100, -100};

std::vector<char> hostile_packet(Fuzz &f)
{
  size_t size = PACKET_SIZE;
  if (f.chance(15)) size = (size_t)f.between(1, PACKET_SIZE + 80);
  std::vector<char> p(size, 0);
  char id[4];
  const char *kind = kKinds[f.below(8)];
  memcpy(id, kind, 4);
  switch (f.below(10)) {
    case 0: id[f.below(4)] = (char)f.byte(); break;       // one character off
    case 1: id[1 + f.below(3)] = 0; break;                // cut short
    case 2: for (char &c : id) c = (char)f.byte(); break;  // anything
    default: break;                                       // a real kind
  }
  for (size_t i = 0; i < 4 && i < size; i++) p[i] = id[i];

  size_t at = 4;
  switch (f.below(4)) {
    case 0:  // well formed: a few byte fields, then a text and its terminator
    case 1: {
      int nbytes = (int)f.below(4);
      for (int b = 0; b < nbytes && at < size; b++)
        p[at++] = (char)(f.chance(50) ? kEdgeBytes[f.below(sizeof kEdgeBytes / sizeof *kEdgeBytes)] : f.byte());
      int len = (int)f.below(80);
      for (int c = 0; c < len && at < size; c++) p[at++] = (char)f.between(32, 126);
      break;
    }
    case 2:  // no terminator anywhere: every byte after the id is set
      for (; at < size; at++) p[at] = (char)f.nonzero();
      break;
    default:  // random bytes, zeros among them
      for (; at < size; at++) p[at] = (char)f.byte();
      break;
  }
  return p;
}

// The first four bytes as the rules see them: a short message leaves the
// rest of the (zeroed) head of packetbuffer in place.
std::vector<char> head_of(const std::vector<char> &p)
{
  std::vector<char> head(PACKET_CLEAR, 0);
  for (size_t i = 0; i < p.size() && i < head.size(); i++) head[i] = p[i];
  return head;
}

// Non-zero bytes past the head of a packet, where no chat message has
// content.
int stale_bytes(const std::vector<char> &p)
{
  int n = 0;
  for (size_t i = PACKET_CLEAR; i < p.size(); i++)
    if (p[i] != 0) n++;
  return n;
}

bool is_kind(const std::vector<char> &head, const char *kind)
{
  return strncmp(head.data(), kind, 4) == 0;
}

class ChatFuzz : public ChatTest {
 protected:
  // Every table invariant; a failure names the round.
  void check_tables(int round)
  {
    for (int n = 0; n < MAX_USERS; n++) {
      ASSERT_LT(strnlen(user[n].name, USER_NAME), (size_t)USER_NAME) << "round " << round << " slot " << n;
      ASSERT_LT(strnlen(user[n].typings, USER_TYPINGS), (size_t)USER_TYPINGS) << "round " << round;
    }
    ASSERT_LT(strnlen(user_data, USER_DATA), (size_t)USER_DATA) << "round " << round;
    ASSERT_GE(my_number, 0) << "round " << round;
    ASSERT_LT(my_number, MAX_USERS) << "round " << round;
    ASSERT_GE(user_num, 1) << "round " << round;
    ASSERT_LT(user_num, MAX_USERS) << "round " << round;
    ASSERT_GE(client_num, 0);
    ASSERT_LE(client_num, MAX_CLIENTS);
    std::set<int> numbers;
    for (int i = 0; i < client_num; i++) {
      ASSERT_GE(client_user[i], 0) << "round " << round;
      ASSERT_LT(client_user[i], MAX_USERS) << "round " << round;
      if (client_user[i] != 0) {
        ASSERT_NE(client_user[i], 1) << "the host's own number went to conn " << i;
        ASSERT_TRUE(numbers.insert(client_user[i]).second) << "two conns hold user " << client_user[i];
      }
    }
  }

  // Every packet the host sent since `before` (counts per conn) is a
  // whole chat packet with fields inside the table.
  void check_sent(const std::vector<size_t> &before, int round)
  {
    for (int i = 0; i < client_num; i++) {
      for (size_t s = before[i]; s < fakes[i].sent.size(); s++) {
        const std::vector<char> &p = fakes[i].sent[s];
        ASSERT_EQ(p.size(), (size_t)PACKET_SIZE) << "round " << round;
        std::string id = id_of(p);
        ASSERT_TRUE(id == "Join" || id == "You!" || id == "Mesg" || id == "Chng" || id == "Sund")
            << "round " << round << " sent " << id;
        // Everything after a packet's content is zero: nothing a peer sent
        // travels on inside another packet.
        ASSERT_EQ(stale_bytes(p), 0) << "round " << round << ": " << id << " carries stale bytes";
        ASSERT_LT(strnlen(p.data() + 4, PACKET_CLEAR - 4), (size_t)(PACKET_CLEAR - 4))
            << "round " << round << ": " << id << " carries no terminator";
        if (id == "Join") {
          ASSERT_GE(byte_of(p, 0), 0);
          ASSERT_LT(byte_of(p, 0), MAX_USERS);
          ASSERT_LE(text_of(p, 2).size(), 9u) << "round " << round;
        } else if (id == "You!") {
          ASSERT_GE(byte_of(p, 0), 2);
          ASSERT_LT(byte_of(p, 0), MAX_USERS);
        } else if (id == "Mesg") {
          ASSERT_GE(byte_of(p, 0), 0);
          ASSERT_LT(byte_of(p, 0), MAX_USERS);
          ASSERT_LE(text_of(p, 1).size(), (size_t)PACKET_TEXT) << "round " << round;
        }
      }
    }
  }

  int open_conns_except(int skip)
  {
    int n = 0;
    for (int i = 0; i < client_num; i++)
      if (i != skip && client_conn[i]) n++;
    return n;
  }

  size_t sent_on(int i, const std::vector<size_t> &before) { return fakes[i].sent.size() - before[i]; }

  void run_host(unsigned int seed, int rounds)
  {
    Fuzz f(seed);
    strcpy(user[1].name, "Hosty");
    accept_clients((int)f.between(1, MAX_CLIENTS));
    Budget budget(15);
    int relayed = 0, dropped = 0, joined = 0;
    for (int round = 0; round < rounds && budget.left(); round++) {
      std::vector<int> open;
      for (int i = 0; i < client_num; i++)
        if (client_conn[i]) open.push_back(i);
      if (open.empty()) break;
      int from = open[f.below((unsigned int)open.size())];
      // Now and then a well-formed join, so that lines have authors.
      std::vector<char> p = f.chance(8) ? packet("ReJo", {f.between(-128, 127)}, "Someone12345") : hostile_packet(f);
      std::vector<char> head = head_of(p);
      int author = client_user[from];
      std::vector<size_t> before(MAX_CLIENTS);
      for (int i = 0; i < MAX_CLIENTS; i++) before[i] = fakes[i].sent.size();

      host_gets(from, p);
      ASSERT_NO_FATAL_FAILURE(check_tables(round));
      ASSERT_NO_FATAL_FAILURE(check_sent(before, round));

      size_t total = 0;
      for (int i = 0; i < client_num; i++) total += sent_on(i, before);
      bool handled = p.size() <= (size_t)PACKET_SIZE;
      if (!handled || !(is_kind(head, "ReJo") || is_kind(head, "Mesg") || is_kind(head, "Chng") ||
                        is_kind(head, "Sund"))) {
        ASSERT_EQ(total, 0u) << "round " << round << ": a dropped packet was answered";
        dropped++;
      } else if (is_kind(head, "Mesg")) {
        int claimed = (signed char)head[4];
        if (author == 0 || claimed < 0 || claimed >= MAX_USERS) {
          ASSERT_EQ(total, 0u) << "round " << round << ": a line nobody may send was relayed";
          dropped++;
        } else {
          ASSERT_EQ(sent_on(from, before), 0u) << "round " << round << ": the author got its own line";
          ASSERT_EQ(total, (size_t)open_conns_except(from)) << "round " << round;
          for (int i = 0; i < client_num; i++) {
            if (sent_on(i, before)) {
              ASSERT_EQ(byte_of(fakes[i].sent.back(), 0), author);
            }
          }
          relayed++;
        }
      } else if (is_kind(head, "Chng") || is_kind(head, "Sund")) {
        ASSERT_EQ(total, (size_t)open_conns_except(-1)) << "round " << round;
      } else if (client_conn[from]) {  // a join that got a number
        ASSERT_GE(sent_on(from, before), 1u);
        const std::vector<char> &you = fakes[from].sent.back();
        ASSERT_EQ(id_of(you), "You!");
        ASSERT_EQ(byte_of(you, 0), client_user[from]);
        joined++;
      }
      if (round % 97 == 0) {
        populate_buddy_list();
        repaint_log();
      }
    }
    EXPECT_GT(relayed, 0);
    EXPECT_GT(dropped, 0);
    EXPECT_GT(joined, 0);
    EXPECT_LE(held_messages(), 250);
  }

  void run_client(unsigned int seed, int rounds)
  {
    Fuzz f(seed);
    connect_client();
    Budget budget(15);
    for (int round = 0; round < rounds && budget.left(); round++) {
      std::vector<char> p = hostile_packet(f);
      std::vector<char> head = head_of(p);
      int before_number = my_number;
      client_gets(p);
      ASSERT_NO_FATAL_FAILURE(check_tables(round));
      ASSERT_TRUE(host.sent.empty()) << "round " << round << ": the client answered a packet";
      if (p.size() <= (size_t)PACKET_SIZE && is_kind(head, "You!")) {
        int who = (signed char)head[4];
        ASSERT_EQ(my_number, who >= 0 && who < MAX_USERS ? who : before_number) << "round " << round;
      }
      if (round % 97 == 0) {
        populate_buddy_list();
        repaint_log();
      }
      if (round % 13 == 0) {
        // The client's own line goes out clean whatever came in before it.
        strcpy(user[my_number].typings, "hello");
        send_flag = true;
        connected = true;
        chat_net_step(2);
        ASSERT_EQ(host.sent.size(), 1u);
        ASSERT_EQ(id_of(host.sent[0]), "Mesg");
        ASSERT_EQ(text_of(host.sent[0], 1), "hello");
        ASSERT_EQ(stale_bytes(host.sent[0]), 0) << "round " << round << ": the line carries stale bytes";
        host.sent.clear();
      }
    }
    EXPECT_LE(held_messages(), 250);
  }
};

TEST_F(ChatFuzz, HostRulesSeed1) { run_host(1, 15000); }
TEST_F(ChatFuzz, HostRulesSeed2) { run_host(2, 15000); }
TEST_F(ChatFuzz, HostRulesSeed3) { run_host(3, 15000); }
TEST_F(ChatFuzz, ClientRulesSeed1) { run_client(11, 20000); }
TEST_F(ChatFuzz, ClientRulesSeed2) { run_client(12, 20000); }

}  // namespace
