// The host and client conns over real UDP conns on 127.0.0.1, each test on
// a port claimed from 32200-32299.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <thread>
#include "chat_fixture.h"
#include "menu.h"
#include "network.h"
#include "packet.h"

namespace {

TEST(PortField, OnlyEmptyOrOneTo65535InDigits)
{
  for (const char *ok : {"", "1", "24785", "65535", "00080"})
    EXPECT_EQ(1, port_text_ok(ok)) << ok;
  for (const char *bad : {"0", "65536", "99999", "12a", " 80", "-1", "123456", "+5"})
    EXPECT_EQ(0, port_text_ok(bad)) << bad;
}

class Listening : public ChatTest {};

TEST_F(Listening, JunkIsDrainedAndOneClientIsAcceptedAStep)
{
  listen();
  for (int n = 0; n < 30; n++)
    listener.requests.push_back(nullptr);
  for (int i : {0, 1}) {
    fakes[i].conn.data = &fakes[i];
    fakes[i].inbox.push_back(packet("ReJo", {5}, "Guest"));
    listener.requests.push_back(&fakes[i].conn);
  }
  // Both requests are taken in one step; the places come one a step.
  EXPECT_EQ(1, Sever_listen_for_new_client());
  EXPECT_EQ(64, listener.polls);
  EXPECT_EQ(&fakes[0].conn, client_conn[0]);
  EXPECT_EQ(1, Sever_listen_for_new_client());
  EXPECT_EQ(2, client_num);
  EXPECT_EQ(&fakes[1].conn, client_conn[1]);
  char request[PACKET_SIZE] = {0};
  EXPECT_EQ(1, take_join_request(1, request));
  EXPECT_STREQ("Guest", request + 5);
  EXPECT_EQ(0, take_join_request(1, request));

  // A place comes only with a "ReJo": a conn that sends anything else, or
  // nothing, is closed after the join time; a place a closed conn left is
  // taken again.
  int saved = join_time_limit_ms;
  join_time_limit_ms = 30;
  for (int i : {2, 3, 4}) {
    fakes[i].conn.data = &fakes[i];
    listener.requests.push_back(&fakes[i].conn);
  }
  fakes[2].inbox.push_back(packet("Mesg", {2}, "no join"));
  fakes[2].inbox.push_back(std::vector<char>(PACKET_SIZE, 'R'));
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_EQ(2, client_num);
  fakes[3].inbox.push_back(packet("ReJo", {5}, "Late"));
  fakes[3].inbox.push_back(packet("Mesg", {2}, "after the join"));
  close_client(0);
  EXPECT_EQ(1, Sever_listen_for_new_client());
  EXPECT_EQ(&fakes[3].conn, client_conn[0]);
  EXPECT_EQ(0, newest_client);
  EXPECT_EQ(2, client_num);
  EXPECT_EQ(1u, fakes[3].inbox.size()) << "what follows the ReJo is the rules' to read";
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_TRUE(fakes[2].closed);
  EXPECT_TRUE(fakes[4].closed);
  EXPECT_FALSE(fakes[3].closed);
  join_time_limit_ms = saved;

  // A port full of junk costs a bounded number of polls a step.
  for (int n = 0; n < 1000; n++)
    listener.requests.push_back(nullptr);
  listener.polls = 0;
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_EQ(64, listener.polls);
}

// A crowd of conns from one host makes way for a newcomer from another.
TEST_F(Listening, AFullWaitingListGivesUpTheBusiestHostsOldest)
{
  listen();
  std::vector<FakeConn> crowd(65);
  for (size_t n = 0; n < crowd.size(); n++) {
    crowd[n].conn.data = &crowd[n];
    strcpy(crowd[n].conn.peer_addr, n == 1 ? "10.0.0.9:4000" : "10.0.0.5:4000");
    listener.requests.push_back(&crowd[n].conn);
  }
  EXPECT_EQ(0, Sever_listen_for_new_client());  // 64 polls: 64 conns wait
  EXPECT_FALSE(crowd[0].closed);
  EXPECT_EQ(0, Sever_listen_for_new_client());
  EXPECT_TRUE(crowd[0].closed);
  EXPECT_FALSE(crowd[1].closed);
  crowd[1].inbox.push_back(packet("ReJo", {5}, "Joiner"));
  EXPECT_EQ(1, Sever_listen_for_new_client());
  EXPECT_EQ(&crowd[1].conn, client_conn[0]);
  Server_exit();
  client_conn[0] = NULL;
}

class Conns : public testing::Test {
 protected:
  void SetUp() override
  {
    Init_network_stuff();
    saved_limit = connect_time_limit_ms;
    saved_join_limit = join_time_limit_ms;
    join_time_limit_ms = 60000;  // a loaded machine must not drop a test's joiner
    port_num[0] = 0;
    port = claim_test_port(&port_lock);
    ASSERT_GT(port, 0);
    snprintf(port_text, sizeof port_text, "%d", (unsigned short)port);
  }
  void TearDown() override
  {
    Client_exit();
    Server_exit();
    connect_time_limit_ms = saved_limit;
    join_time_limit_ms = saved_join_limit;
    port_num[0] = 0;
    if (port_lock >= 0)
      close(port_lock);
  }
  // Runs Client_init(address) on a thread while the host accepts; the
  // result of Client_init, or -1 when the host accepted nothing in time.
  int join_while_hosting(const char *address)
  {
    int result = -1;
    std::thread client([&] {
      result = Client_init(address);
      // The host gives a place only to a conn that has spoken.
      if (result == 0)
        net_send_rdm(server_conn, "ReJo", 4);
    });
    int accepted = 0;
    for (int i = 0; i < 300 && !accepted; i++) {
      accepted = Sever_listen_for_new_client();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client.join();
    return accepted ? result : -1;
  }
  int saved_limit, saved_join_limit;
  int port_lock = -1;
  int port = 0;
  char port_text[PORT_NUM_SIZE];
};

TEST_F(Conns, ClientReachesTheHostOnTheTypedPort)
{
  strcpy(port_num, port_text);
  ASSERT_EQ(0, Server_init());
  connect_time_limit_ms = 5000;
  EXPECT_EQ(0, join_while_hosting("127.0.0.1"));
  EXPECT_EQ(1, client_num);
  EXPECT_NE(nullptr, client_conn[0]);
  EXPECT_EQ(NET_CONN_CONNECTED, server_conn->status);
}

TEST_F(Conns, PortInTheAddressWinsOverThePortField)
{
  strcpy(port_num, port_text);
  ASSERT_EQ(0, Server_init());
  snprintf(port_num, sizeof port_num, "%d", (unsigned short)(port + 1));
  connect_time_limit_ms = 5000;
  char address[32];
  snprintf(address, sizeof address, "127.0.0.1:%d", port);
  EXPECT_EQ(0, join_while_hosting(address));
}

TEST_F(Conns, NobodyListeningGivesUpAfterTheLimit)
{
  strcpy(port_num, port_text);  // claimed: no host of ours listens there
  connect_time_limit_ms = 800;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(3, Client_init("127.0.0.1"));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 790);  // the library's millisecond clock may round a tick the other way
  EXPECT_LT(ms, 30000);  // gives up rather than hanging; loaded machines are slow
  EXPECT_EQ("Nobody answered at 127.0.0.1:" + std::string(port_text) + " for 1 second",
            std::string(failure_cause));
  Client_exit();
  EXPECT_EQ(nullptr, server_conn);
  EXPECT_FALSE(connected);
}

TEST_F(Conns, FailuresSayWhy)
{
  // Another program has the port; the cause names the port really tried.
  char binding[16];
  snprintf(binding, sizeof binding, ":%s", port_text);
  NET_CONN *other = net_openconn(NET_DRIVER_WSOCK_WIN, binding);
  ASSERT_NE(nullptr, other);
  strcpy(port_num, port_text);
  EXPECT_EQ(1, Server_init());
  EXPECT_EQ("UDP port " + std::string(port_text) + " is in use by another program",
            std::string(failure_cause));
  net_closeconn(other);

  // No system call refused: the text itself is no address.
  EXPECT_EQ(2, Client_init("1.2.3.4:99999"));
  EXPECT_STREQ("Not a host name or address: 1.2.3.4:99999", failure_cause);
}

TEST_F(Conns, BadPortFieldIsRefusedBeforeAnyConnOpens)
{
  strcpy(port_num, "70000");
  EXPECT_EQ(1, Server_init());
  EXPECT_EQ(nullptr, listen_conn);
  EXPECT_EQ(1, Client_init("127.0.0.1"));
  EXPECT_EQ(nullptr, server_conn);
}

TEST_F(Conns, TenPlacesThenAnEleventhWaitsForAFreedOne)
{
  strcpy(port_num, port_text);
  ASSERT_EQ(0, Server_init());
  char address[32];
  snprintf(address, sizeof address, "127.0.0.1:%d", port);
  NET_CONN *clients[11] = {};
  for (int n = 0; n < 11; n++) {
    clients[n] = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    ASSERT_NE(nullptr, clients[n]);
    ASSERT_EQ(0, net_connect(clients[n], address));
  }
  // Up to 500 rounds for all to be connected and the first ten, which
  // speak, to get the ten places.
  int up = 0;
  for (int i = 0; i < 500 && (client_num < 10 || up < 11); i++) {
    Sever_listen_for_new_client();
    up = 0;
    for (int n = 0; n < 11; n++) {
      bool was_up = clients[n]->status == NET_CONN_CONNECTED;
      up += net_poll_connect(clients[n]) > 0;
      if (!was_up && clients[n]->status == NET_CONN_CONNECTED && n < 10)
        net_send_rdm(clients[n], "ReJo", 4);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(10, client_num);
  EXPECT_EQ(11, up);
  EXPECT_NE(nullptr, listen_conn);
  net_send_rdm(clients[10], "ReJo", 4);
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(0, Sever_listen_for_new_client());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  close_client(3);
  EXPECT_EQ(1, Sever_listen_for_new_client());
  EXPECT_EQ(3, newest_client);
  EXPECT_EQ(10, client_num);
  for (NET_CONN *c : clients)
    net_closeconn(c);

  // A second chat in the same run starts with no clients.
  Server_exit();
  EXPECT_EQ(0, client_num);
  EXPECT_EQ(0, Server_init());
  EXPECT_EQ(0, client_num);
  for (NET_CONN *c : client_conn)
    EXPECT_EQ(nullptr, c);
}

// Client conns of the test's own making, speaking the chat's packets to a
// host that runs the chat's real steps.
struct Guest {
  NET_CONN *conn = nullptr;
  std::vector<std::string> got;  // ids received, "You!" with its number
  void drain()
  {
    char buf[PACKET_SIZE];
    for (int n = 0; n < 100 && net_query_rdm(conn) > 0; n++) {
      if (net_receive_rdm(conn, buf, sizeof buf) <= 0)
        break;
      std::string id(buf, 4);
      if (id == "You!")
        id += std::to_string((int)buf[4]);
      got.push_back(id);
    }
  }
  void ask_to_join(const char *name)
  {
    char buf[PACKET_SIZE] = {'R', 'e', 'J', 'o', 5};
    strcpy(buf + 5, name);
    ASSERT_EQ(0, net_send_rdm(conn, buf, sizeof buf));
  }
  bool has(const std::string &id) const
  {
    return std::find(got.begin(), got.end(), id) != got.end();
  }
};

TEST_F(Conns, JoinsThatArriveInOneStepAllGetTheirNumberInAFullChat)
{
  strcpy(port_num, port_text);
  ASSERT_EQ(0, chat_start(1));
  strcpy(user[1].name, "Hosty");
  char address[32];
  snprintf(address, sizeof address, "127.0.0.1:%d", port);
  Guest guests[8];
  for (Guest &g : guests) {
    g.conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    ASSERT_NE(nullptr, g.conn);
    ASSERT_EQ(0, net_connect(g.conn, address));
  }
  auto run = [&](int rounds) {
    for (int i = 0; i < rounds; i++) {
      chat_net_step(1);
      for (Guest &g : guests) {
        if (g.conn->status == NET_CONN_CONNECTING)
          net_poll_connect(g.conn);
        else
          g.drain();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  // Four silent conns per address at a time: the others get in as the
  // first ones speak.
  auto connected = [&](int from, int to) {
    for (int i = 0; i < 2000; i++) {
      bool all = true;
      for (int n = from; n <= to; n++)
        all = all && guests[n].conn->status == NET_CONN_CONNECTED;
      if (all)
        return true;
      run(1);
    }
    return false;
  };
  ASSERT_TRUE(connected(0, 3));
  ASSERT_EQ(0, client_num) << "no place before a conn has spoken";
  // Six join one after the other: seven named users.
  char name[16];
  for (int n = 0; n < 6; n++) {
    snprintf(name, sizeof name, "Guest%d", n + 2);
    ASSERT_TRUE(connected(n, n));
    guests[n].ask_to_join(name);
    for (int i = 0; i < 200 && !guests[n].has("You!" + std::to_string(n + 2)); i++)
      run(1);
    ASSERT_TRUE(guests[n].has("You!" + std::to_string(n + 2))) << n;
  }
  ASSERT_TRUE(connected(6, 7));
  run(50);
  // Two press START at the same moment: the host takes both requests in one step.
  guests[6].ask_to_join("Guest8");
  guests[7].ask_to_join("Guest9");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  run(300);
  EXPECT_TRUE(guests[6].has("You!8"));
  EXPECT_TRUE(guests[7].has("You!9"));
  for (Guest &g : guests)
    net_closeconn(g.conn);
  chat_end(1);
}

}  // namespace
