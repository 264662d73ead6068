// Shared set-up of the conn tests over the lossy in-memory driver: the
// library up with the test clock, the driver registered, and helpers that
// make conn pairs or play a raw peer with plain channel datagrams. With
// RDM_DRIVER set to a built-in driver's number they run over that driver.
#ifndef RDM_FIXTURE_H
#define RDM_FIXTURE_H

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connhelp.h"
#include "handshake.h"
#include "internal.h"
#include "lossy_driver.h"
#include "netlane.h"

// A test hook of the wrapper driver (connhelp.cpp), kept out of the
// library's headers: entries in the client list of a listening conn (its
// clients whose conns are open, plus those closed since the last connect
// request); 0 for any other conn.
int __netlane_internal__conn_client_count(NET_CONN *conn);

class LossyFixture : public ::testing::Test {
 protected:
  int drv = 0;  // the number the lossy driver is registered under
  NET_DRIVER *record = nullptr;  // its record
  std::string last_listen_port;  // where make_pair's listener listens

  void SetUp() override
  {
    net_set_timer_func(test_clock);
    test_clock_set(1000);
    ASSERT_EQ(net_init(), 0);
    const char *builtin = getenv("RDM_DRIVER");
    drv = builtin ? atoi(builtin) : net_register_driver(0, &lossy_driver);
    ASSERT_NE(drv, 0);
    if (builtin) {
      ASSERT_EQ(net_initdriver(drv), 1);
    }
    record = __netlane_internal__get_driver(drv);
    lossy_reset(lossy_settings{1, 0, 0, 0});
    // Keep-alives would add datagrams to the counts and captures of tests
    // about other things; the tests of keep-alives turn them on.
    conn_settings().keepalive = 0;
    configure();
  }

  // Conn settings a fixture wants before any conn is opened.
  virtual void configure() {}

  void TearDown() override
  {
    net_shutdown();
    free(record->conn_config);
    record->conn_config = NULL;
  }

  // The lossy driver's conn settings, made from the defaults on first use
  // (as a configuration file would); conns opened afterwards take them.
  conn_config &conn_settings()
  {
    if (!record->conn_config) {
      record->conn_config = static_cast<conn_config *>(malloc(sizeof(conn_config)));
      *record->conn_config = *__netlane_internal__get_conn_config(NULL);
    }
    return *record->conn_config;
  }

  void set_conn_config(int outqueue, int inqueue, int resend)
  {
    conn_config &cfg = conn_settings();
    cfg.outqueue_size = outqueue;
    cfg.inqueue_size = inqueue;
    cfg.resend_rate = resend;
  }

  // A listening conn, a client connected to it and the accepted conn,
  // advancing the clock `step_ms` per round; false when 2000 rounds did not
  // connect them.
  bool make_pair(NET_CONN **listener, NET_CONN **client, NET_CONN **accepted, unsigned int step_ms = 20)
  {
    std::string where = listen_port();
    last_listen_port = where;
    *listener = net_openconn(drv, where.c_str());
    *client = net_openconn(drv, NULL);
    *accepted = NULL;
    if (!*listener || !*client || net_listen(*listener) != 0) return false;
    if (net_connect(*client, where.c_str()) != 0) return false;
    int connected = 0;
    // The listener keeps answering until the client has its reply: a lost
    // reply is sent again for each repeated request.
    for (int round = 0; round < 2000 && (!connected || !*accepted); round++) {
      test_clock_advance(step_ms);
      NET_CONN *fresh = net_poll_listen(*listener);
      if (fresh && *accepted) return false;  // one client, one conn
      if (fresh) *accepted = fresh;
      if (!connected) connected = net_poll_connect(*client) == 1;
    }
    return connected && *accepted;
  }

  // An admitted netlane client with nothing to send proves its address
  // once it has been idle a while: that wait passes, the proof goes and
  // its accept comes back, so that counts of datagrams after it see none.
  static void settle_proof(NET_CONN *client, NET_CONN *accepted)
  {
    test_clock_advance(HS_PROOF_IDLE_MS);
    net_query_rdm(client);
    net_query_rdm(accepted);
    net_query_rdm(client);
  }

  // A port text for a listening conn, apart from the automatic numbers.
  static std::string listen_port()
  {
    static int next = 40000;
    return std::to_string(next++);
  }
};

// Plain channel datagrams, for playing the other end of the wire by hand.
struct raw_channel {
  NET_CHANNEL *chan = nullptr;

  explicit raw_channel(int drv) { chan = net_openchannel(drv, NULL); }
  const char *address() const { return chan->local_addr; }
  void target(const std::string &addr) { net_assigntarget(chan, addr.c_str()); }
  void send(const std::vector<unsigned char> &bytes) { net_send(chan, bytes.data(), (int)bytes.size()); }
  // One datagram; empty when nothing waits. `from` gets the sender.
  std::vector<unsigned char> receive(std::string *from = nullptr)
  {
    std::vector<unsigned char> buf(70000);
    char sender[NET_MAX_ADDRESS_LENGTH] = "";
    int len = net_receive(chan, buf.data(), (int)buf.size(), sender);
    if (from) *from = sender;
    buf.resize(len > 0 ? (size_t)len : 0);
    return buf;
  }
  // Every datagram waiting now.
  std::vector<std::vector<unsigned char>> drain()
  {
    std::vector<std::vector<unsigned char>> all;
    for (int n = 0; n < 1000; n++) {
      auto d = receive();
      if (d.empty()) break;
      all.push_back(d);
    }
    return all;
  }
};

// What a design-following host's listener takes from a conn that connects
// to `listen`: its 12-byte request, ignoring the datagrams of other lengths
// (a netlane client's cookie request) as such a listener does, and moving the
// test clock on until the client, having no cookie, asks the plain way
// too. Empty when none came; `from` gets the sender.
inline std::vector<unsigned char> design_request(raw_channel &listen, NET_CONN *conn, std::string *from = nullptr)
{
  for (int tries = 0; tries < 20; tries++) {
    for (auto d = listen.receive(from); !d.empty(); d = listen.receive(from))
      if (d.size() == 12) return d;
    test_clock_advance(201);
    net_poll_connect(conn);
  }
  return {};
}

// Byte builders written from the wire description, independent of the
// library's own helpers.
inline std::vector<unsigned char> data_packet(unsigned int index, const std::string &message)
{
  std::vector<unsigned char> p(4 + message.size());
  p[0] = (unsigned char)index;
  p[1] = (unsigned char)(index >> 8);
  p[2] = (unsigned char)(index >> 16);
  p[3] = (unsigned char)(index >> 24);
  for (size_t i = 0; i < message.size(); i++) p[4 + i] = (unsigned char)message[i];
  return p;
}

inline std::vector<unsigned char> ack_packet(unsigned int index)
{
  return {0, 0, 0, 0, (unsigned char)index, (unsigned char)(index >> 8), (unsigned char)(index >> 16),
          (unsigned char)(index >> 24)};
}

inline std::vector<unsigned char> connect_request(unsigned int id)
{
  return {'c', 'o', 'n', 'n', 'e', 'c', 't', 0, (unsigned char)(id >> 24), (unsigned char)(id >> 16),
          (unsigned char)(id >> 8), (unsigned char)id};
}

#endif
