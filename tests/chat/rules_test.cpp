// The chat's host and client rules, fed with built packets over fake conns.
#include <string.h>
#include <allegro.h>
#include <thread>
#include <algorithm>
#include <deque>
#include <sodium.h>
#include "chat_fixture.h"
#include "files.h"
#include "main.h"
#include "menu.h"
#include "packet.h"
#include "seal.h"
#include "timers.h"

namespace {

using Events = std::vector<std::string>;

// Ids of every packet sent on one fake conn.
std::vector<std::string> ids(const FakeConn &f)
{
  std::vector<std::string> out;
  for (const auto &p : f.sent)
    out.push_back(id_of(p));
  return out;
}

class HostRules : public ChatTest {
 protected:
  void SetUp() override
  {
    ChatTest::SetUp();
    strcpy(user[1].name, "Hosty");
    user[1].text_color = 40;
  }
  // Client conn i asks to join as `name` in `color`.
  void join(int i, const char *name, int color)
  {
    host_gets(i, packet("ReJo", {color}, name));
  }
};

/* ---- "ReJo" ---- */

TEST_F(HostRules, JoinNumbersTheClientAndAnnouncesEveryone)
{
  accept_clients(2);
  join(0, "Alice", 20);
  EXPECT_EQ(Events({"post 20 Alice: Im the new guy!", "sound 0"}), events());
  EXPECT_EQ(2, user_num);
  EXPECT_STREQ("Alice", user[2].name);
  EXPECT_EQ(20, user[2].text_color);

  // Both conns learn slots 1 and 2; only the asking conn gets "You!".
  EXPECT_EQ(std::vector<std::string>({"Join", "Join", "You!"}), ids(fakes[0]));
  EXPECT_EQ(std::vector<std::string>({"Join", "Join"}), ids(fakes[1]));
  const auto &host_join = fakes[0].sent[0];
  EXPECT_EQ(1, byte_of(host_join, 0));
  EXPECT_EQ(40, byte_of(host_join, 1));
  EXPECT_EQ("Hosty", text_of(host_join, 2));
  EXPECT_EQ(2, byte_of(fakes[0].sent[1], 0));
  EXPECT_EQ(2, byte_of(fakes[0].sent[2], 0));
  EXPECT_EQ(std::string(PACKET_SIZE - 5, '\0'), std::string(fakes[0].sent[2].data() + 5, PACKET_SIZE - 5));

  join(1, "Bob", 30);
  EXPECT_EQ(3, user_num);
  ASSERT_EQ(3u + 3u, fakes[1].sent.size());
  EXPECT_EQ("You!", id_of(fakes[1].sent.back()));
  EXPECT_EQ(3, byte_of(fakes[1].sent.back(), 0));
}

TEST_F(HostRules, JoinsThatCrossEachGetTheirOwnNumber)
{
  accept_clients(2);
  join(1, "Late", 20);   // the second conn asks first
  join(0, "Early", 21);
  ASSERT_EQ(6u, fakes[1].sent.size());
  EXPECT_EQ("You!", id_of(fakes[1].sent[2]));
  EXPECT_EQ(2, byte_of(fakes[1].sent[2], 0));
  EXPECT_EQ("You!", id_of(fakes[0].sent.back()));
  EXPECT_EQ(3, byte_of(fakes[0].sent.back(), 0));
  EXPECT_EQ(2, client_user[1]);
  EXPECT_EQ(3, client_user[0]);
}

TEST_F(HostRules, JoinCutsLongNamesAndNeverAnnouncesOneCharacterNames)
{
  accept_clients(2);
  join(0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 20);
  EXPECT_STREQ("ABCDEFGHI", user[2].name);
  events();
  fakes[1].sent.clear();
  join(1, "Z", 21);
  EXPECT_EQ(Events({"post 21 Z: Im the new guy!", "sound 0"}), events());
  // Slots 1 and 2 are announced, the one-character name is not.
  ASSERT_EQ(3u, fakes[1].sent.size());
  EXPECT_EQ("ABCDEFGHI", text_of(fakes[1].sent[1], 2));
  EXPECT_EQ(3, byte_of(fakes[1].sent[2], 0));
}

TEST_F(HostRules, JoinBeyondSlotNineIsTurnedAwayAndItsConnClosed)
{
  accept_clients(10);
  for (int i = 0; i < 8; i++) {
    char name[8];
    snprintf(name, sizeof name, "user%d", i);
    join(i, name, 10 + i);
  }
  EXPECT_EQ(9, user_num);
  EXPECT_EQ(9, users_present());  // the conns not yet joined do not count
  events();
  size_t before = fakes[0].sent.size();
  fakes[8].sent.clear();

  join(8, "ninth", 50);
  EXPECT_EQ(9, user_num);
  EXPECT_TRUE(fakes[8].closed);
  EXPECT_EQ(nullptr, client_conn[8]);
  ASSERT_EQ(1u, fakes[8].sent.size());  // one notice to the newcomer, nothing else
  EXPECT_EQ("Mesg", id_of(fakes[8].sent[0]));
  Events ev = events();
  ASSERT_EQ(1u, ev.size());
  EXPECT_EQ(0u, ev[0].find("post 0 Server: "));
  EXPECT_EQ(before, fakes[0].sent.size());
  for (int z = 0; z < MAX_USERS; z++)
    EXPECT_STRNE("ninth", user[z].name);
  EXPECT_EQ(9, users_present());

  // The closed conn is left out of every later send.
  host_gets(0, packet("Mesg", {2}, "still here"));
  host_gets(1, packet("Sund"));
  EXPECT_EQ(1u, fakes[8].sent.size());
  EXPECT_EQ("Mesg", id_of(fakes[9].sent[fakes[9].sent.size() - 2]));
}

TEST_F(HostRules, ASecondJoinFromOneConnKeepsItsNumberAndAnnouncesOnlyAChange)
{
  accept_clients(2);
  join(0, "Alice", 20);
  for (auto &f : fakes)
    f.sent.clear();
  events();
  join(0, "Alicia", 21);
  EXPECT_EQ(2, user_num);
  EXPECT_STREQ("Alicia", user[2].name);
  EXPECT_EQ(21, user[2].text_color);
  EXPECT_STREQ("", user[3].name);
  EXPECT_EQ("You!", id_of(fakes[0].sent.back()));
  EXPECT_EQ(2, byte_of(fakes[0].sent.back(), 0));
  // Only the changed user is announced, not everybody to everybody.
  EXPECT_EQ(std::vector<std::string>({"Join", "You!"}), ids(fakes[0]));
  ASSERT_EQ(std::vector<std::string>({"Join"}), ids(fakes[1]));
  EXPECT_EQ("Alicia", text_of(fakes[1].sent[0], 2));
  EXPECT_EQ(Events({"post 21 Alicia: Im the new guy!", "sound 0"}), events());

  // The same request again: the asker hears its number, nobody else anything.
  for (int n = 0; n < 20; n++)
    join(0, "Alicia", 21);
  EXPECT_EQ(2u + 20u, fakes[0].sent.size());
  EXPECT_EQ(1u, fakes[1].sent.size());
  EXPECT_TRUE(events().empty());
}

// Nobody can pass for another user: a newcomer with a name in use gets
// the lowest digit that makes it unique, announced so; a change to a name
// in use is refused.
TEST_F(HostRules, NamesInUseAreMadeUniqueForANewcomerAndRefusedForAChange)
{
  accept_clients(4);
  join(0, "Alice", 20);
  join(1, "Alice", 20);
  EXPECT_STREQ("Alice0", user[3].name);
  EXPECT_EQ("Alice0", text_of(fakes[0].sent[fakes[0].sent.size() - 1], 2));
  join(2, "Hosty", 21);
  join(3, "Alexandra", 22);
  join(3, "Alexandra", 22);
  EXPECT_STREQ("Hosty0", user[4].name);
  EXPECT_STREQ("Alexandra", user[5].name) << "a user's own name is no clash";
  join(3, "Alice", 20);
  EXPECT_STREQ("Alexandra", user[5].name);
  EXPECT_EQ(20, user[5].text_color) << "the colour changes all the same";
  host_gets(0, packet("Bye!"));
  join(3, "Alice", 20);
  EXPECT_STREQ("Alice", user[5].name) << "free once its user has gone";
}

/* ---- "Mesg" ---- */

TEST_F(HostRules, LineIsShownOnceAndRelayedToEveryoneButItsAuthor)
{
  accept_clients(3);
  join(0, "Alice", 20);
  join(1, "Bob", 30);
  join(2, "Carol", 35);
  for (auto &f : fakes)
    f.sent.clear();
  events();

  host_gets(1, packet("Mesg", {3}, "hi all"));
  EXPECT_EQ(Events({"post 30 Bob: hi all", "sound 6", "sound 6"}), events());
  EXPECT_TRUE(fakes[1].sent.empty());
  for (int i : {0, 2}) {
    ASSERT_EQ(1u, fakes[i].sent.size());
    EXPECT_EQ("Mesg", id_of(fakes[i].sent[0]));
    EXPECT_EQ(3, byte_of(fakes[i].sent[0], 0));
    EXPECT_EQ("hi all", text_of(fakes[i].sent[0], 1));
  }
}

TEST_F(HostRules, LineIsCreditedToTheConnNotToTheNumberItClaims)
{
  accept_clients(2);
  join(0, "Alice", 20);
  join(1, "Bob", 30);
  for (auto &f : fakes)
    f.sent.clear();
  events();
  strcpy(user[1].typings, "host is typing");

  // Bob claims to be the host; a client that has no number yet claims 1.
  host_gets(1, packet("Mesg", {1}, "I am the host"));
  EXPECT_EQ(Events({"post 30 Bob: I am the host", "sound 6", "sound 6"}), events());
  EXPECT_STREQ("host is typing", user[1].typings);
  ASSERT_EQ(1u, fakes[0].sent.size());
  EXPECT_EQ(3, byte_of(fakes[0].sent[0], 0));
  EXPECT_TRUE(fakes[1].sent.empty());
}

TEST_F(HostRules, LineWithImpossibleNumberOrFromAConnWithoutNumberIsDropped)
{
  accept_clients(3);
  join(0, "Alice", 20);
  join(1, "Bob", 30);
  for (auto &f : fakes)
    f.sent.clear();
  events();

  for (int who : {10, 12, 127, -1, -128})
    host_gets(0, packet("Mesg", {who}, "bad"));
  host_gets(2, packet("Mesg", {2}, "not joined yet"));
  EXPECT_TRUE(events().empty());
  for (auto &f : fakes)
    EXPECT_TRUE(f.sent.empty());
}

TEST_F(HostRules, LineFromAnUnnamedUserGoesOnAsItsNumber)
{
  accept_clients(2);
  join(0, "", 20);
  for (auto &f : fakes)
    f.sent.clear();
  events();
  host_gets(0, packet("Mesg", {2}, "anyone?"));
  EXPECT_EQ(Events({"post 20 Unknown user:  who = 2", "sound 6", "sound 6"}), events());
  ASSERT_EQ(1u, fakes[1].sent.size());
  EXPECT_EQ(" who = 2", text_of(fakes[1].sent[0], 1));
}

/* ---- "Chng", "Sund", "Numb", foreign ids ---- */

TEST_F(HostRules, ChangeAndAlertAreEchoedToEveryClientTheSenderIncluded)
{
  accept_clients(2);
  host_gets(0, packet("Chng"));
  EXPECT_EQ(Events({"post 0 Server: Lets change it up a bit!"}), events());
  host_gets(1, packet("Sund"));
  EXPECT_EQ(Events({"sound 2"}), events());
  for (int i : {0, 1})
    EXPECT_EQ(std::vector<std::string>({"Chng", "Sund"}), ids(fakes[i]));

  // A flood of them in one pass acts once: one painting, one sound, one echo.
  for (int n = 0; n < 30; n++) {
    fakes[0].inbox.push_back(packet("Chng"));
    fakes[1].inbox.push_back(packet("Sund"));
  }
  host_receive();
  EXPECT_EQ(Events({"post 0 Server: Lets change it up a bit!", "sound 2"}), events());
  for (int i : {0, 1})
    EXPECT_EQ(std::vector<std::string>({"Chng", "Sund", "Chng", "Sund"}), ids(fakes[i]));
}

TEST_F(HostRules, NumberIsShownAndNotRelayed)
{
  accept_clients(2);
  host_gets(0, packet("Numb", {}, "2345"));
  host_gets(1, packet("Numb", {}, "abc"));
  // Beyond int a number stops at the limit instead of being undefined.
  host_gets(1, packet("Numb", {}, "99999999999999999999999"));
  host_gets(1, packet("Numb", {}, "-99999999999999999999999"));
  EXPECT_EQ(Events({"post 0 Number test: 2345", "post 0 Number test: 0",
                    "post 0 Number test: 2147483647", "post 0 Number test: -2147483648"}),
            events());
  for (int i : {0, 1})
    EXPECT_TRUE(fakes[i].sent.empty());
}

TEST_F(HostRules, ForeignIdsAndClientOnlyIdsAreDroppedWithoutTrace)
{
  accept_clients(1);
  for (const char *id : {"Join", "You!", "New!", "XXXX", ""})
    host_gets(0, packet(id, {2, 3}, "x"));
  // A short leftover packet would otherwise read the earlier text.
  std::vector<char> shortp(packet("Numb", {}, "7"));
  host_gets(0, packet("Zzzz", {}, "99999999"));
  fakes[0].inbox.push_back(std::vector<char>(shortp.begin(), shortp.begin() + 4));
  host_receive();
  EXPECT_EQ(Events({"post 0 Number test: 0"}), events());
  EXPECT_TRUE(fakes[0].sent.empty());
}

/* ---- Receiving ---- */

TEST_F(HostRules, EveryWaitingMessageOfEveryConnIsTakenInOneStep)
{
  accept_clients(2);
  fakes[0].inbox.push_back(packet("Numb", {}, "1"));
  fakes[0].inbox.push_back(std::vector<char>(PACKET_SIZE + 1, 'M'));  // never a chat packet
  fakes[0].inbox.push_back(packet("Numb", {}, "2"));
  fakes[1].inbox.push_back(packet("Numb", {}, "3"));
  host_receive();
  EXPECT_EQ(Events({"post 0 Number test: 1", "post 0 Number test: 2", "post 0 Number test: 3"}),
            events());
  EXPECT_TRUE(fakes[0].inbox.empty());
  EXPECT_TRUE(fakes[1].inbox.empty());
}

TEST_F(HostRules, AFloodingConnCannotHoldTheStepForEver)
{
  accept_clients(1);
  for (int i = 0; i < 1000; i++)
    fakes[0].inbox.push_back(packet("Zzzz"));
  host_receive();
  EXPECT_GT(fakes[0].inbox.size(), 0u);
  EXPECT_LT(fakes[0].inbox.size(), 1000u);
}

/* ---- Sending ---- */

TEST_F(HostRules, AFloodOnOneConnNeverCostsAnotherUsersLine)
{
  accept_clients(3);
  join(0, "Flood", 20);
  join(1, "Alice", 30);
  join(2, "Bob", 35);
  for (auto &f : fakes)
    f.sent.clear();
  int dropped = backlog_dropped;

  // Bob's window is full while the flooder's lines, Alice's and the host's
  // own arrive in passes of one step.
  fakes[2].room = 0;
  char text[16];
  for (int pass = 0; pass < 3; pass++) {
    for (int n = 0; n < 20; n++)
      fakes[0].inbox.push_back(packet("Mesg", {2}, "flood"));
    snprintf(text, sizeof text, "alice %d", pass);
    fakes[1].inbox.push_back(packet("Mesg", {3}, text));
    snprintf(user[1].typings, USER_TYPINGS, "host %d", pass);
    send_flag = true;
    chat_net_step(1);
  }
  // Nothing is dropped: the flooder is read only while its relays fit
  // Bob's backlog, and the rest waits in its conn.
  EXPECT_EQ(0, backlog_dropped - dropped);
  EXPECT_GT(fakes[0].inbox.size(), 40u);
  EXPECT_EQ(fakes[1].sent.size(), 60u - fakes[0].inbox.size() + 3u);  // Alice: what was read, the host's lines

  // The window opens two at a time: Alice's and the host's lines take
  // their turns beside the flood, each in its order, and all of it arrives.
  std::vector<std::string> got;
  for (int step = 0; step < 40; step++) {
    fakes[2].room = 2;
    chat_net_step(1);
  }
  for (const auto &p : fakes[2].sent)
    got.push_back(text_of(p, 1));
  ASSERT_EQ(66u, got.size());
  EXPECT_EQ(60, std::count(got.begin(), got.end(), "flood"));
  std::vector<std::string> others;
  for (size_t n = 0; n < 9; n++)
    if (got[n] != "flood")
      others.push_back(got[n]);
  EXPECT_EQ(std::vector<std::string>({"alice 0", "host 0", "alice 1", "host 1", "alice 2", "host 2"}), others);

  // A conn that takes nothing at all holds nobody back for long.
  int saved = backlog_stuck_ms;
  backlog_stuck_ms = 0;
  fakes[2].room = 0;
  for (int n = 0; n < 40; n++)
    fakes[0].inbox.push_back(packet("Mesg", {2}, "flood"));
  chat_net_step(1);
  EXPECT_TRUE(fakes[0].inbox.empty());
  backlog_stuck_ms = saved;
}

TEST_F(HostRules, TypedLineGoesToEveryClientWithoutSound)
{
  accept_clients(2);
  strcpy(user[1].typings, "hello");
  send_flag = true;
  chat_net_step(1);
  EXPECT_TRUE(events().empty());
  for (int i : {0, 1}) {
    ASSERT_EQ(1u, fakes[i].sent.size());
    EXPECT_EQ(1, byte_of(fakes[i].sent[0], 0));
    EXPECT_EQ("hello", text_of(fakes[i].sent[0], 1));
  }
  EXPECT_STREQ("", user[1].typings);
  EXPECT_FALSE(send_flag);
}

/* ---- End ---- */

TEST_F(HostRules, EndClosesEveryConnAndWipesTheChat)
{
  accept_clients(2);
  join(0, "Alice", 20);
  strcpy(user[1].typings, "half a line");
  strcpy(user_data, "scratch");
  Packet("Mesg");
  program_state = 2;
  chat_end(1);
  EXPECT_TRUE(fakes[0].closed);
  EXPECT_TRUE(fakes[1].closed);
  EXPECT_EQ(0, client_num);
  for (const the_user &u : user) {
    EXPECT_STREQ("", u.name);
    EXPECT_STREQ("", u.typings);
  }
  EXPECT_EQ(1, my_number);
  EXPECT_EQ(1, user_num);
  EXPECT_EQ(0, client_user[0]);
  EXPECT_EQ(std::string(PACKET_CLEAR, '\0'), std::string(packetbuffer, PACKET_CLEAR));
  EXPECT_STREQ("", user_data);
  EXPECT_EQ(nullptr, chat_window.window_bitmap);
  EXPECT_EQ(1, program_state);
}

/* ---- Leaving ---- */

// A client that says "Bye!" and one that falls silent are gone at once:
// the leave is shown and told to the rest, the conn closed, and the conn
// place and the lowest user number go to the next newcomer.
TEST_F(HostRules, GoneClientsAreToldToTheRestAndTheirPlacesReused)
{
  accept_clients(3);
  join(0, "Alice", 20);
  join(1, "Bob", 21);
  join(2, "Carol", 22);
  events();
  fakes[0].sent.clear();

  host_gets(1, packet("Bye!"));
  fakes[2].silence = PEER_GONE_MS - 1;
  host_receive();
  fakes[0].silence = PEER_GONE_MS;  // sends no keep-alives: an older program, idle
  fakes[0].keepalives = 0;
  fakes[2].silence = 3000;  // its conn has given it up: dead whatever it sent before
  fakes[2].keepalives = 0;
  fakes[2].dead = 1;
  host_receive();
  EXPECT_EQ(Events({"post 0 Server: Bob left the chat", "post 0 Server: Carol left the chat"}), events());
  EXPECT_TRUE(fakes[1].closed);
  EXPECT_TRUE(fakes[2].closed);
  EXPECT_EQ(nullptr, client_conn[1]);
  EXPECT_STREQ("", user[3].name);
  EXPECT_STREQ("", user[4].name);
  EXPECT_EQ(2, users_present());
  ASSERT_EQ(2u, fakes[0].sent.size());
  EXPECT_EQ("Left", id_of(fakes[0].sent[0]));
  EXPECT_EQ(3, byte_of(fakes[0].sent[0], 0));
  EXPECT_EQ(4, byte_of(fakes[0].sent[1], 0));

  FakeConn newcomer;
  newcomer.conn.data = &newcomer;
  listen();
  listener.requests.push_back(&newcomer.conn);
  newcomer.inbox.push_back(packet("ReJo", {30}, "Dave"));  // a place comes with the first message
  ASSERT_EQ(1, Sever_listen_for_new_client());
  EXPECT_EQ(1, newest_client);
  EXPECT_EQ(3, client_num);
  host_new_client();
  host_receive();
  EXPECT_EQ("You!", id_of(newcomer.sent.back()));
  EXPECT_EQ(3, byte_of(newcomer.sent.back(), 0));
  EXPECT_STREQ("Dave", user[3].name);
  client_conn[1] = NULL;  // newcomer is local to this test
}

class ClientRules : public ChatTest {
 protected:
  void SetUp() override
  {
    ChatTest::SetUp();
    connect_client();
  }
};

/* ---- Client: joining ---- */

TEST_F(ClientRules, FirstStepAsksToJoinThenTheNumberArrives)
{
  strcpy(client_name, "Dora");
  pick_color = 200;
  chat_net_step(2);
  ASSERT_EQ(1u, host.sent.size());
  EXPECT_EQ("ReJo", id_of(host.sent[0]));
  EXPECT_EQ(-56, byte_of(host.sent[0], 0));
  EXPECT_EQ("Dora", text_of(host.sent[0], 1));
  EXPECT_TRUE(connected);

  client_gets(packet("Join", {1, 40}, "Hosty"));
  client_gets(packet("Join", {4, 200}, "DoraTheExplorer"));
  client_gets(packet("You!", {4}));
  EXPECT_EQ(Events({"post 40 Hosty: Got a join packet", "post -56 DoraTheEx: Got a join packet",
                    "post -56 DoraTheEx: my number 4"}),
            events());
  EXPECT_EQ(4, my_number);
  EXPECT_EQ(-56, user[4].text_color);
}

TEST_F(ClientRules, WhatWasTypedBeforeTheNumberArrivedStaysInTheTypingLine)
{
  // Keys typed while the conn was being made are taken in the first steps,
  // into slot 1, before "You!" can arrive.
  strcpy(user[1].typings, "early");
  client_gets(packet("You!", {3}));
  EXPECT_STREQ("early", user[3].typings);
  EXPECT_STREQ("", user[1].typings);
  client_gets(packet("You!", {3}));   // the same number again moves nothing
  EXPECT_STREQ("early", user[3].typings);
}

TEST_F(ClientRules, ImpossibleNumbersInJoinYouAndMesgAreDropped)
{
  for (int who : {10, 100, -1, -128}) {
    client_gets(packet("Join", {who, 5}, "Evil"));
    client_gets(packet("You!", {who}));
    client_gets(packet("Mesg", {who}, "boo"));
  }
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(1, my_number);
  for (int z = 0; z < MAX_USERS; z++)
    EXPECT_STREQ("", user[z].name);
}

/* ---- Client: lines and the rest ---- */

TEST_F(ClientRules, LineIsShownUnderItsAuthorAndNeverWipesTheLocalLine)
{
  strcpy(user[3].name, "Bob");
  user[3].text_color = 30;
  strcpy(user[3].typings, "stale");
  my_number = 2;
  strcpy(user[2].typings, "typing...");
  client_gets(packet("Mesg", {3}, "hi"));
  client_gets(packet("Mesg", {2}, "echo of me"));
  client_gets(packet("Mesg", {5}, "nameless"));
  EXPECT_EQ(Events({"post 30 Bob: hi", "sound 6", "post 0 : echo of me", "sound 6",
                    "post 0 : nameless", "sound 6"}),
            events());
  EXPECT_STREQ("", user[3].typings);
  EXPECT_STREQ("typing...", user[2].typings);
}

TEST_F(ClientRules, NoticesChangeAlertAndNumber)
{
  client_gets(packet("New!"));
  client_gets(packet("Chng"));
  client_gets(packet("Sund"));
  client_gets(packet("Numb", {}, "2345"));
  client_gets(packet("ReJo", {1}, "not for clients"));
  EXPECT_EQ(Events({"post 0 Server: A new user joined the chat", "sound 0",
                    "post 0 Server: Lets change it up a bit!", "sound 2",
                    "post 0 Number test: 2345"}),
            events());
  EXPECT_TRUE(host.sent.empty());
  // Many in one pass act once.
  for (int n = 0; n < 20; n++) {
    host.inbox.push_back(packet("Chng"));
    host.inbox.push_back(packet("Sund"));
  }
  client_receive();
  EXPECT_EQ(Events({"post 0 Server: Lets change it up a bit!", "sound 2"}), events());
}

TEST_F(ClientRules, TypedLineGoesToTheHostAfterReceivingWithASound)
{
  connected = true;
  my_number = 3;
  strcpy(user[3].typings, "my line");
  send_flag = true;
  host.inbox.push_back(packet("Numb", {}, "9"));
  chat_net_step(2);
  EXPECT_EQ(Events({"post 0 Number test: 9", "sound 6"}), events());
  ASSERT_EQ(1u, host.sent.size());
  EXPECT_EQ("Mesg", id_of(host.sent[0]));
  EXPECT_EQ(3, byte_of(host.sent[0], 0));
  EXPECT_EQ("my line", text_of(host.sent[0], 1));
  EXPECT_STREQ("", user[3].typings);
}

TEST_F(ClientRules, EndClosesTheConnAndStartsTheNextChatFromNumberOne)
{
  chat_net_step(2);
  client_gets(packet("You!", {6}));
  ASSERT_EQ(6, my_number);
  chat_end(2);
  EXPECT_TRUE(host.closed);
  EXPECT_EQ(nullptr, server_conn);
  EXPECT_FALSE(connected);
  EXPECT_EQ(1, my_number);
  EXPECT_EQ(1, program_state);
}

TEST_F(ClientRules, OverlongMessageIsDiscardedAndTheNextOneRead)
{
  host.inbox.push_back(std::vector<char>(5000, 'x'));
  host.inbox.push_back(packet("Numb", {}, "5"));
  client_receive();
  EXPECT_EQ(Events({"post 0 Number test: 5"}), events());
  EXPECT_TRUE(host.inbox.empty());
}

/* ---- Client: others leaving, the host going ---- */

TEST_F(ClientRules, LeavesSilenceAndTheHostsByeAreShown)
{
  client_gets(packet("You!", {3}, NULL));
  client_gets(packet("Join", {2, 20}, "Alice"));
  client_gets(packet("Join", {4, 21}, "Bob"));
  events();
  client_gets(packet("Left", {4}, NULL));
  client_gets(packet("Left", {3}, NULL));   // never our own slot
  client_gets(packet("Left", {1}, NULL));   // nor the host's
  client_gets(packet("Left", {40}, NULL));
  EXPECT_STREQ("", user[4].name);
  host.silence = PEER_GONE_MS;
  client_receive();
  client_receive();
  host.silence = 5;
  client_receive();
  EXPECT_EQ(Events({"post 0 Server: Bob left the chat", "post 0 Server: The host is not answering",
                    "post 0 Server: The host is answering again"}),
            events());

  client_gets(packet("Bye!"));
  EXPECT_TRUE(host_ended);
  EXPECT_STREQ("", user[2].name);
  EXPECT_EQ(Events({"post 0 Server: The host has ended the chat"}), events());
  host.silence = PEER_GONE_MS;
  client_receive();  // a host that said goodbye is not reported missing
  strcpy(user[3].typings, "anyone?");
  key[KEY_ENTER] = 1;
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    key[KEY_ENTER] = 0;
  });
  chat_key_step(2);
  release.join();
  EXPECT_FALSE(send_flag);
  Events ev = events();
  ASSERT_EQ(1u, ev.size());
  EXPECT_EQ(0u, ev[0].find("post 0 Server: Not sent"));
  EXPECT_STREQ("", user[3].typings);
  host.sent.clear();
  chat_end(2);
  EXPECT_TRUE(host.sent.empty()) << "no goodbye to a host that has gone";
}

/* ---- Keyed chats ---- */

// The other end of a keyed conn, made with the codec alone.
struct KeyedPeer {
  unsigned char secret[SEAL_PUBLIC], pub[SEAL_PUBLIC], keys[2 * SEAL_KEY] = {0};
  uint64_t sent = 0, received = 0;
  bool host_side;
  explicit KeyedPeer(bool host = false) : host_side(host)
  {
    randombytes_buf(secret, sizeof secret);
    crypto_scalarmult_base(pub, secret);
  }
  std::vector<char> open() const
  {
    std::vector<char> p(PACKET_SIZE);
    seal_make_open(p.data(), pub);
    return p;
  }
  // Both sides' keys from K of `key` with `salt` and the other side's public key.
  void keys_with(const char *key, const unsigned char *salt, const unsigned char *other)
  {
    unsigned char k[SEAL_KEY];
    ASSERT_EQ(0, seal_derive(key, salt, k));
    ASSERT_EQ(0, seal_conn_keys(k, secret, other, host_side ? other : pub, host_side ? pub : other, keys));
  }
  // Client side: the keys from the host's "Lock".
  void lock(const std::vector<char> &l, const char *key)
  {
    const unsigned char *salt = (const unsigned char *)l.data() + 8;
    keys_with(key, salt, salt + SEAL_SALT);
  }
  std::vector<char> seal(const std::vector<char> &inner)
  {
    std::vector<char> p(PACKET_SIZE);
    seal_packet(p.data(), inner.data(), sent++, keys + (host_side ? SEAL_KEY : 0));
    return p;
  }
  // A file's part as a taker's program seals it: the whole packet.
  std::vector<char> bulk(const std::vector<char> &inner)
  {
    std::vector<char> p(SEAL_BULK);
    seal_bulk_packet(p.data(), inner.data(), sent++, keys + (host_side ? SEAL_KEY : 0));
    return p;
  }
  // The ids of what `sent` carried from packet `from` on, each opened next
  // in line; "????" for one that does not open.
  std::vector<std::string> opened(const std::vector<std::vector<char>> &sent, size_t from,
                                  std::vector<std::vector<char>> *inner = nullptr)
  {
    std::vector<std::string> out;
    for (size_t n = from; n < sent.size(); n++) {
      std::vector<char> p(PACKET_SIZE);
      bool ok = seal_unseal(p.data(), sent[n].data(), (int)sent[n].size(), received,
                            keys + (host_side ? 0 : SEAL_KEY)) == 0;
      received += ok;
      out.push_back(ok ? id_of(p) : "????");
      if (inner && ok)
        inner->push_back(p);
    }
    return out;
  }
};

long test_now = 0;
long test_clock() { return test_now; }

class KeyedHost : public HostRules {
 protected:
  void SetUp() override
  {
    HostRules::SetUp();
    seal_clock = test_clock;
    test_now = 1000000;
    ASSERT_EQ(0, seal_host_start("four random words here"));
    listen();
  }
  void TearDown() override
  {
    HostRules::TearDown();
    seal_clock = clock_ms;
  }
  // `f` connects from `ip` and sends `first`; the ids the host has sent it.
  // `f` connects from `ip` (and `port`; by default one no conn had yet)
  // with `first` as its first packet; what the host sent it.
  std::vector<std::string> knock(FakeConn &f, const char *ip, const std::vector<char> &first, int port = 0)
  {
    f.conn.data = &f;
    snprintf(f.conn.peer_addr, sizeof f.conn.peer_addr, "%s:%d", ip, port ? port : next_port++);
    listener.requests.push_back(&f.conn);
    f.inbox.push_back(first);
    EXPECT_EQ(0, Sever_listen_for_new_client());
    return ids(f);
  }
  // `f` joins as `name` with the right key and gets its place.
  void join_keyed(FakeConn &f, KeyedPeer &peer, const char *name)
  {
    ASSERT_EQ(std::vector<std::string>({"Lock"}), knock(f, "127.0.0.1", peer.open()));
    peer.lock(f.sent[0], "four random words here");
    f.inbox.push_back(peer.seal(packet("ReJo", {20}, name)));
    ASSERT_EQ(1, Sever_listen_for_new_client());
    host_new_client();
    host_receive();
  }
  const std::vector<std::string> nope = {"Lock", "Nope"};
  int next_port = 40000;
};

TEST_F(KeyedHost, RightKeyJoinsAndChatsAndEverythingAfterLockIsSealed)
{
  KeyedPeer alice;
  join_keyed(fakes[0], alice, "Alice");
  EXPECT_EQ(std::vector<std::string>({"New!", "Join", "Join", "You!"}), alice.opened(fakes[0].sent, 1));
  EXPECT_STREQ("Alice", user[2].name);
  events();
  fakes[0].inbox.push_back(alice.seal(packet("Mesg", {2}, "psst")));
  host_receive();
  strcpy(user[1].typings, "hush");
  send_flag = true;
  chat_net_step(1);
  EXPECT_EQ(Events({"post 20 Alice: psst", "sound 6", "sound 6"}), events());
  std::vector<std::vector<char>> inner;
  EXPECT_EQ(std::vector<std::string>({"Mesg"}), alice.opened(fakes[0].sent, 5, &inner));
  EXPECT_EQ("hush", text_of(inner[0], 1));
  for (size_t n = 1; n < fakes[0].sent.size(); n++)
    EXPECT_EQ("Seal", id_of(fakes[0].sent[n]));
}

TEST_F(KeyedHost, WrongKeyGetsNopeTwoAndAClearJoinNopeOneAndNeitherAPlace)
{
  KeyedPeer mallory;
  EXPECT_EQ(std::vector<std::string>({"Lock"}), knock(fakes[0], "127.0.0.1", mallory.open()));
  mallory.lock(fakes[0].sent[0], "four random words HERE");
  fakes[0].inbox.push_back(mallory.seal(packet("ReJo", {20}, "Mallory")));
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_EQ(nope, ids(fakes[0]));
  EXPECT_EQ(NOPE_WRONG_KEY, byte_of(fakes[0].sent[1], 0));

  // A program without a key asks in clear.
  EXPECT_EQ(std::vector<std::string>({"Nope"}), knock(fakes[1], "127.0.0.1", packet("ReJo", {20}, "Plain")));
  EXPECT_EQ(NOPE_NEEDS_KEY, byte_of(fakes[1].sent[0], 0));
  EXPECT_FALSE(fakes[1].closed) << "the refusal is delivered first";
  seal_step();
  EXPECT_TRUE(fakes[0].closed && fakes[1].closed);
  EXPECT_EQ(0, client_num);
  EXPECT_TRUE(events().empty());
}

TEST_F(KeyedHost, ReplayedReorderedOrAlteredSealEndsTheConnAsGone)
{
  KeyedPeer peers[4];
  const char *names[4] = {"Watcher", "Replay", "Skip", "Alter"};
  for (int i = 0; i < 4; i++)
    join_keyed(fakes[i], peers[i], names[i]);
  long failures = seal_failures;
  std::vector<char> line = peers[1].seal(packet("Mesg", {3}, "once"));
  fakes[1].inbox.push_back(line);
  fakes[1].inbox.push_back(line);
  peers[2].sent++;  // its next counter is skipped
  fakes[2].inbox.push_back(peers[2].seal(packet("Mesg", {4}, "skipped")));
  std::vector<char> altered = peers[3].seal(packet("Mesg", {5}, "altered"));
  altered[40] ^= 1;
  fakes[3].inbox.push_back(altered);
  events();
  host_receive();
  EXPECT_EQ(Events({"post 20 Replay: once", "sound 6", "sound 6", "post 0 Server: Replay left the chat",
                    "post 0 Server: Skip left the chat", "post 0 Server: Alter left the chat"}),
            events());
  EXPECT_EQ(failures + 3, seal_failures);
  for (int i = 1; i < 4; i++)
    EXPECT_TRUE(fakes[i].closed);
  size_t seen = 0;
  std::vector<std::string> got = peers[0].opened(fakes[0].sent, 1);
  for (const std::string &id : got)
    seen += id == "Left";
  EXPECT_EQ(3u, seen);
  EXPECT_EQ(0, std::count(got.begin(), got.end(), "????"));
}

TEST_F(KeyedHost, FilePartsGoSealedWholeAndNothingTheHostSendsHoldsThePlainFile)
{
  KeyedPeer alice, bob, carol;  // Carol follows the chat's design and knows no files
  KeyedPeer *peers[3] = {&alice, &bob, &carol};
  files_host_users(client_user);
  join_keyed(fakes[0], alice, "Alice");
  join_keyed(fakes[1], bob, "Bob");
  join_keyed(fakes[2], carol, "Carol");
  size_t from[3];
  for (int i = 0; i < 3; i++)
    peers[i]->opened(fakes[i].sent, 1), from[i] = fakes[i].sent.size();
  std::string data;
  for (int n = 0; data.size() < 2500; n++)
    data += "PLAIN RUN " + std::to_string(n) + "|";
  std::vector<char> offer = packet("Offr", {2, 0});
  offer[6] = (char)data.size();
  offer[7] = (char)(data.size() >> 8);
  crypto_generichash((unsigned char *)offer.data() + 12, 32, (const unsigned char *)data.data(), data.size(), NULL, 0);
  memcpy(offer.data() + 44, "plain.txt", 9);
  fakes[0].inbox.push_back(alice.seal(offer));
  host_receive();
  fakes[1].inbox.push_back(bob.seal(packet("Take", {2, 0, 9})));
  host_receive();
  for (size_t at = 0; at < data.size(); at += PACKET_SIZE - PART_HEAD) {
    std::vector<char> p = packet("Part", {2, 0, 3});
    size_t length = std::min(data.size() - at, (size_t)(PACKET_SIZE - PART_HEAD));
    p[7] = (char)at, p[8] = (char)(at >> 8), p[13] = (char)length, p[14] = (char)(length >> 8);
    memcpy(p.data() + PART_HEAD, data.data() + at, length);
    fakes[0].inbox.push_back(alice.bulk(p));
  }
  for (int n = 0; n < 8; n++)
    host_receive(), files_step(1);

  // Bob opens every part in turn and has the file whole; Carol saw only "Seal"s.
  std::vector<std::vector<char>> inner;
  EXPECT_EQ(std::vector<std::string>({"Offr", "Part", "Part", "Part"}), bob.opened(fakes[1].sent, from[1], &inner));
  std::string got;
  for (size_t n = 1; n < inner.size(); n++)
    got.append(inner[n].data() + PART_HEAD, (unsigned char)inner[n][13] | (unsigned char)inner[n][14] << 8);
  EXPECT_EQ(data, got);
  EXPECT_EQ((size_t)SEAL_BULK, fakes[1].sent.back().size());
  EXPECT_EQ(std::vector<std::string>({"Take"}), alice.opened(fakes[0].sent, from[0]));
  EXPECT_EQ(std::vector<std::string>({"Offr"}), carol.opened(fakes[2].sent, from[2]));
  for (size_t n = 0; n < fakes[2].sent.size(); n++)
    EXPECT_EQ(n == 0 ? "Lock" : "Seal", id_of(fakes[2].sent[n]));
  // What the host sent anyone, as a capture of its port would hold it.
  const std::string run = "PLAIN RUN";
  for (int i = 0; i < 3; i++)
    for (const auto &m : fakes[i].sent)
      EXPECT_EQ(m.end(), std::search(m.begin(), m.end(), run.begin(), run.end())) << "conn " << i;
}

// Guesses at the key: each a conn from `ip` (and `port`, by default a new
// one) whose first "Seal" does not open; what the host sent it, nothing
// when it was closed at once.
class KeyGuesses : public KeyedHost {
 protected:
  std::deque<FakeConn> conns;
  std::vector<char> junk = packet("Seal", {0, 0, 0, 0, 0, 0, 0, 0}, "not sealed");
  std::vector<std::string> guess(const char *ip, bool proved, int port = 0)
  {
    conns.emplace_back();
    FakeConn &f = conns.back();
    f.proved = proved;
    KeyedPeer peer;
    std::vector<std::string> answer = knock(f, ip, peer.open(), port);
    if (answer.empty()) {
      EXPECT_TRUE(f.closed) << ip << ": closed at once";
      return answer;
    }
    f.inbox.push_back(junk);
    Sever_listen_for_new_client();
    seal_step();
    return ids(f);
  }
  void TearDown() override
  {
    Server_exit();
    KeyedHost::TearDown();
  }
};

TEST_F(KeyGuesses, FiveFromAProvedHostInAMinuteTurnItAwayForAMinute)
{
  // Five failures, the last a minute after the first, which no longer counts.
  EXPECT_EQ(nope, guess("10.0.0.9", true));
  test_now += 30000;
  for (size_t n = 1; n < 4; n++)
    EXPECT_EQ(nope, guess("10.0.0.9", true));
  test_now += SEAL_FAILURE_WINDOW_MS - 30000;
  EXPECT_EQ(nope, guess("10.0.0.9", true));
  test_now += 1000;
  EXPECT_EQ(nope, guess("10.0.0.9", true));  // the fifth within a minute
  EXPECT_EQ(std::vector<std::string>(), guess("10.0.0.9", true));
  EXPECT_EQ(std::vector<std::string>(), guess("10.0.0.9", false)) << "every conn from that host";
  EXPECT_EQ(nope, guess("10.0.0.10", true)) << "another address is still answered";
  test_now += SEAL_BLOCK_MS - 1;
  EXPECT_EQ(std::vector<std::string>(), guess("10.0.0.9", true));
  test_now += 1;
  EXPECT_EQ(nope, guess("10.0.0.9", true));

  // An IPv6 host is its /64.
  for (int n = 0; n < SEAL_FAILURE_LIMIT; n++)
    EXPECT_EQ(nope, guess(n % 2 ? "[2001:db8::1]" : "[2001:db8::2%3]", true));
  EXPECT_EQ(std::vector<std::string>(), guess("[2001:db8::ffff:1]", true));
  EXPECT_EQ(nope, guess("[2001:db8:0:1::1]", true));
}

TEST_F(KeyGuesses, UnprovedWrongKeysTurnAwayTheirAddressAndPortAndNoProvedConn)
{
  // Conns whose addresses may be forged: five from one host on ports of
  // their own shut out nobody.
  for (int n = 0; n < SEAL_FAILURE_LIMIT; n++)
    EXPECT_EQ(nope, guess("10.0.0.9", false));
  EXPECT_EQ(nope, guess("10.0.0.9", false)) << "a sixth from another port is answered";

  // Five from one address and port turn that address and port away, only.
  for (int n = 0; n < SEAL_FAILURE_LIMIT; n++)
    EXPECT_EQ(nope, guess("10.0.0.7", false, 5000));
  EXPECT_EQ(std::vector<std::string>(), guess("10.0.0.7", false, 5000));
  EXPECT_EQ(nope, guess("10.0.0.7", false, 5001));
  EXPECT_EQ(nope, guess("10.0.0.7", true, 5000)) << "a conn that proved it receives there";

  // The host's own bound for such conns: they are turned away, a proved conn is not.
  test_now += SEAL_FAILURE_WINDOW_MS;
  for (int n = 0; n < SEAL_UNPROVED_HOST_LIMIT; n++)
    EXPECT_EQ(nope, guess("10.0.0.9", false));
  EXPECT_EQ(std::vector<std::string>(), guess("10.0.0.9", false));
  EXPECT_EQ(nope, guess("10.0.0.9", true));
  test_now += SEAL_BLOCK_MS;
  EXPECT_EQ(nope, guess("10.0.0.9", false));
}

TEST_F(KeyGuesses, AKeyOfSmallOrderAndABrokenSealOfAJoinedUserAreNoGuesses)
{
  // An all-zero public key tries no chat key: "Nope" 2 each time, never a block.
  std::vector<char> zero(PACKET_SIZE);
  unsigned char none[SEAL_PUBLIC] = {0};
  seal_make_open(zero.data(), none);
  long failures = seal_failures;
  for (int n = 0; n < 2 * SEAL_UNPROVED_HOST_LIMIT; n++) {
    conns.emplace_back();
    EXPECT_EQ(std::vector<std::string>({"Nope"}), knock(conns.back(), "10.0.0.9", zero, 5000));
    seal_step();
  }
  EXPECT_EQ(failures, seal_failures);
  EXPECT_EQ(nope, guess("10.0.0.9", false, 5000));

  // A joined user whose "Seal" breaks is ended, and its address keeps its tally.
  KeyedPeer alice;
  for (int n = 0; n < SEAL_FAILURE_LIMIT; n++) {
    conns.emplace_back();
    FakeConn &f = conns.back();
    f.proved = true;
    join_keyed(f, alice, "Alice");
    f.inbox.push_back(junk);
    host_receive();
    EXPECT_TRUE(f.closed);
    alice = KeyedPeer();
  }
  EXPECT_EQ(nope, guess("127.0.0.1", true));
}

// A request in the name of a user who holds a place (its address and port)
// is closed at once, before it reads anything: in the library it would take
// the address over and take in the user's packets.
TEST_F(KeyGuesses, ANewConnFromAPlacedUsersAddressIsClosedAtOnce)
{
  KeyedPeer alice;
  FakeConn placed;
  join_keyed(placed, alice, "Alice");
  ASSERT_EQ(&placed.conn, client_conn[0]);
  FakeConn twin;
  twin.conn.data = &twin;
  memcpy(twin.conn.peer_addr, placed.conn.peer_addr, sizeof twin.conn.peer_addr);
  twin.inbox.push_back(packet("Open"));
  listener.requests.push_back(&twin.conn);
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_TRUE(twin.closed);
  EXPECT_TRUE(twin.sent.empty());
  EXPECT_EQ(1u, twin.inbox.size()) << "nothing read";
  EXPECT_FALSE(placed.closed);
  placed.inbox.push_back(alice.seal(packet("Mesg", {2}, "still here")));
  events();
  host_receive();
  EXPECT_EQ(Events({"post 20 Alice: still here", "sound 6", "sound 6"}), events());

  // Once the library counts the placed conn's peer as gone (a restarted
  // program proved the address), the new conn from it is let in.
  placed.dead = 1;
  FakeConn again;
  again.conn.data = &again;
  memcpy(again.conn.peer_addr, placed.conn.peer_addr, sizeof again.conn.peer_addr);
  listener.requests.push_back(&again.conn);
  Sever_listen_for_new_client();
  EXPECT_FALSE(again.closed);
}

class KeyedClient : public ClientRules {
 protected:
  void SetUp() override
  {
    ClientRules::SetUp();
    randombytes_buf(salt, sizeof salt);
    seal_make_lock(lock.data(), salt, host.pub);
  }
  unsigned char salt[SEAL_SALT];
  KeyedPeer host{true};
  std::vector<char> lock = std::vector<char>(PACKET_SIZE);
  // The client joins with `key` after the host's first packet `first`.
  int join(const std::vector<char> &first, const char **why)
  {
    ChatTest::host.inbox.push_back(first);
    return seal_client_join(server_conn, "four random words here", NULL, why);
  }
};

TEST_F(KeyedClient, JoinsChatsAndNeverSendsAChatPacketInClear)
{
  const char *why = "unset";
  ASSERT_EQ(0, join(lock, &why));
  EXPECT_EQ(nullptr, why);
  FakeConn &wire = ChatTest::host;
  ASSERT_EQ(std::vector<std::string>({"Open"}), ids(wire));
  host.keys_with("four random words here", salt, (const unsigned char *)wire.sent[0].data() + 8);

  strcpy(client_name, "Dora");
  chat_net_step(2);
  client_gets(host.seal(packet("You!", {3})));
  client_gets(host.seal(packet("Mesg", {1}, "welcome")));
  strcpy(user[3].typings, "thanks");
  send_flag = true;
  chat_net_step(2);
  Packet("Sund");
  send_from_key(2);
  say_bye(2);
  EXPECT_EQ(std::vector<std::string>({"ReJo", "Mesg", "Sund", "Bye!"}), host.opened(wire.sent, 1));
  Events ev = events();
  EXPECT_NE(ev.end(), std::find(ev.begin(), ev.end(), "post 0 : welcome"));

  // Anything that does not open ends the chat at this end too.
  client_gets(packet("Mesg", {1}, "in clear"));
  EXPECT_TRUE(host_ended);
  EXPECT_EQ(Events({"post 0 Server: A packet from the host did not open: the chat is over (Esc leaves)"}), events());
}

TEST_F(KeyedClient, RefusalsEndTheJoinWithTheirMessage)
{
  const char *why = NULL;
  EXPECT_EQ(1, join(packet("New!"), &why));
  EXPECT_EQ(no_key_text, why);
  ChatTest::host.sent.clear();
  std::vector<char> nope(PACKET_SIZE);
  seal_make_nope(nope.data(), NOPE_WRONG_KEY);
  EXPECT_EQ(1, join(nope, &why));
  EXPECT_EQ(wrong_key_text, why);
  EXPECT_EQ(std::vector<std::string>({"Open"}), ids(ChatTest::host));

  // Past "Lock", the host's "Nope" to the first "Seal" ends the chat; a
  // program without a key hears "Nope" 1 the same way.
  ASSERT_EQ(0, join(lock, &why));
  done = false;
  client_gets(nope);
  EXPECT_TRUE(done);
  EXPECT_EQ(wrong_key_text, join_refused);
  Client_exit();
  connect_client();
  rules_reset();
  done = false;
  seal_make_nope(nope.data(), NOPE_NEEDS_KEY);
  client_gets(nope);
  EXPECT_TRUE(done);
  EXPECT_EQ(needs_key_text, join_refused);
  done = false;
}

}  // namespace
