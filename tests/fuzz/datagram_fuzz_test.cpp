// Raw datagrams at the wrapper's conns, on the in-memory lossy driver and on
// UDP over 127.0.0.1: seeded junk of 0 to 16384 bytes and more, with random
// headers (connect requests, replies, acknowledgements, data of any index),
// at a listening conn, at a connecting conn and at both ends of a connected
// pair. The pair talks through a relay that plays the network: it passes
// the genuine traffic on and adds junk in the peer's own name, which the
// conns cannot tell from the peer's. Junk that the protocol could take for
// genuine traffic (data inside the window, acknowledgements of messages in
// flight) is left out while the exchange is checked; it is then sent freely,
// and afterwards a new client must still connect and talk.
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "conn_wire.h"
#include "fuzz_util.h"
#include "plain_udp.h"
#include "rdm_fixture.h"

namespace {

const size_t kMaxDatagram = 16384;

void put_le32(std::vector<unsigned char> &p, size_t at, uint32_t v)
{
  for (int i = 0; i < 4 && at + (size_t)i < p.size(); i++) p[at + (size_t)i] = (unsigned char)(v >> (8 * i));
}

size_t junk_length(Fuzz &f)
{
  static const size_t edges[] = {0, 1, 3, 4, 5, 7, 8, 9, 11, 12, 13, 16, 17, 16380, 16383, 16384, 16385};
  switch (f.below(5)) {
    case 0: return edges[f.below(sizeof edges / sizeof *edges)];
    case 1: return f.below(32);
    case 2: return f.below(2000);
    case 3: return f.below((unsigned int)kMaxDatagram + 1);
    default: return kMaxDatagram - 64 + f.below(200);  // around the receive buffer
  }
}

// What a junk datagram may look like. Peer-safe junk is what a conn must
// drop whatever its state: too short, a zero first word of any length but
// 8, acknowledgements of index 0 or far beyond anything sent, data far
// beyond any window or of exactly 4 bytes, a connect request, and bundles
// of such junk.
std::vector<unsigned char> junk(Fuzz &f, bool peer_safe, bool may_be_reply)
{
  size_t len = junk_length(f);
  std::vector<unsigned char> p = f.bytes(len);
  uint32_t far = 0x80000000u + (uint32_t)f.below(0x7FFFFFFFu);
  switch (f.below(7)) {
    case 0:  // random bytes
      if (peer_safe && len >= 4) {
        if (f.chance(50)) put_le32(p, 0, far);
        else p.resize(f.below(4));
      }
      break;
    case 1:  // a zero first word
      put_le32(p, 0, 0);
      if (p.size() == 8 && peer_safe) put_le32(p, 4, f.chance(30) ? 0 : far);
      break;
    case 2:  // an acknowledgement
      p.assign(8, 0);
      put_le32(p, 4, peer_safe ? (f.chance(30) ? 0 : far) : (uint32_t)f.below(40));
      break;
    case 3: {  // a data packet
      uint32_t index = peer_safe ? far : (uint32_t)f.below(60);
      if (!peer_safe && f.chance(20)) index = (uint32_t)f.rng();
      if (p.size() < 4) p.resize(4);
      put_le32(p, 0, index);
      if (peer_safe && f.chance(20)) p.resize(4);
      break;
    }
    case 4:  // a connect request, sometimes cut or stretched: its first
             // word reads as an index far beyond any window
      p = connect_request((uint32_t)f.rng());
      if (f.chance(30)) p.resize(f.below(24), 'x');
      break;
    case 5:  // a bundle of junk entries, its count sometimes wrong
      p = {0, 0, 0, 0, 'N', 'L', 8, (unsigned char)(f.chance(20) ? f.below(256) : 3)};
      for (int n = 0; n < 3; n++) {
        std::vector<unsigned char> e = junk(f, peer_safe, true);
        e.resize(std::min(e.size(), (size_t)64));
        p.insert(p.end(), {(unsigned char)e.size(), 0});
        p.insert(p.end(), e.begin(), e.end());
      }
      break;
    default:  // a connect reply (an acknowledgement of 0), or zeros of another length
      p.assign(f.chance(50) ? 8 : f.below(16), 0);
      break;
  }
  if (!may_be_reply && p.size() == 8 && std::all_of(p.begin(), p.end(), [](unsigned char b) { return b == 0; }))
    p[7] = 0x80;
  return p;
}

// A socket the test drives by hand: a channel of the lossy driver or a
// plain UDP socket on 127.0.0.1. Addresses are in the driver's notation.
struct Endpoint {
  virtual ~Endpoint() {}
  virtual std::string address() = 0;
  virtual void send(const std::string &to, const std::vector<unsigned char> &bytes) = 0;
  // One waiting datagram; false when none.
  virtual bool receive(std::vector<unsigned char> *bytes, std::string *from) = 0;
};

struct LossyEndpoint : Endpoint {
  raw_channel ch;
  explicit LossyEndpoint(int drv) : ch(drv) {}
  std::string address() override { return ch.address(); }
  void send(const std::string &to, const std::vector<unsigned char> &bytes) override
  {
    ch.target(to);
    ch.send(bytes);
  }
  bool receive(std::vector<unsigned char> *bytes, std::string *from) override
  {
    std::vector<unsigned char> buf(kMaxDatagram + 1024);
    char sender[NET_MAX_ADDRESS_LENGTH] = "";
    int len = net_receive(ch.chan, buf.data(), (int)buf.size(), sender);
    if (len < 0 || (len == 0 && sender[0] == 0)) return false;
    buf.resize((size_t)len);
    *bytes = buf;
    *from = sender;
    return true;
  }
};

struct UdpEndpoint : Endpoint {
  plain_udp sock;
  std::string address() override { return sock.address(); }
  void send(const std::string &to, const std::vector<unsigned char> &bytes) override
  {
    sock.send_to(atoi(to.c_str() + to.find(':') + 1), bytes);
  }
  bool receive(std::vector<unsigned char> *bytes, std::string *from) override
  {
    int port = 0;
    pollfd p{sock.fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    *bytes = sock.receive(0, &port);
    *from = "127.0.0.1:" + std::to_string(port);
    return true;
  }
};

// Message k of end e: its length and bytes follow from k and e alone.
std::vector<unsigned char> message(int e, int k)
{
  size_t len = 1 + ((uint32_t)k * 2654435761u >> 7) % (k % 10 == 0 ? 9000 : 300);
  std::vector<unsigned char> m(len);
  for (size_t i = 0; i < len; i++) m[i] = (unsigned char)(k * 31 + (int)i * 7 + e * 101);
  return m;
}

class DatagramFuzz : public LossyFixture {
 protected:
  bool udp = false;

  void use_udp()
  {
    udp = true;
    ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  }
  int driver() const { return udp ? NET_DRIVER_WSOCK_WIN : drv; }
  std::unique_ptr<Endpoint> endpoint()
  {
    if (udp) return std::unique_ptr<Endpoint>(new UdpEndpoint);
    return std::unique_ptr<Endpoint>(new LossyEndpoint(drv));
  }
  std::string listen_text()
  {
    return udp ? "127.0.0.1:" + std::to_string(free_udp_port()) : listen_port();
  }

  // A round's wait: the test clock moves; on UDP the kernel gets a moment.
  void tick(Fuzz &f)
  {
    test_clock_advance(f.below(60));
    if (udp && f.chance(10)) usleep(100);
  }

  // Within the windows: the design's 16 slots, which two netlane ends on
  // UDP agree to let grow.
  void check_stats(NET_CONN *conn)
  {
    int slots = udp ? CONN_WIDE_SLOTS : 16;
    int in_q = -1, out_q = -1;
    ASSERT_EQ(net_conn_stats(conn, &in_q, &out_q), 0);
    ASSERT_GE(in_q, 0);
    ASSERT_LE(in_q, slots);
    ASSERT_GE(out_q, 0);
    ASSERT_LE(out_q, slots - 1);
  }

  // Every genuine message from each end reaches the other once, whole and
  // in order, while `network` carries the traffic.
  void exchange(Fuzz &f, NET_CONN *ends[2], int count, const std::function<void()> &network)
  {
    int sent[2] = {0, 0}, got[2] = {0, 0};
    std::vector<unsigned char> buf(kMaxDatagram);
    Budget budget(deadline_seconds(12));
    for (int round = 0; round < 40000 && (got[0] < count || got[1] < count) && budget.left(); round++) {
      tick(f);
      for (int e = 0; e < 2; e++) {
        while (sent[e] < count) {
          std::vector<unsigned char> m = message(e, sent[e]);
          if (net_send_rdm(ends[e], m.data(), (int)m.size()) != 0) break;
          sent[e]++;
        }
      }
      network();
      for (int e = 0; e < 2; e++) {
        for (int n = 0; n < 20; n++) {
          int len = net_receive_rdm(ends[e], buf.data(), (int)buf.size());
          if (len == 0) break;
          ASSERT_GT(len, 0) << "end " << e;
          std::vector<unsigned char> want = message(1 - e, got[e]);
          ASSERT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + len), want)
              << "end " << e << " message " << got[e];
          got[e]++;
        }
        ASSERT_NO_FATAL_FAILURE(check_stats(ends[e]));
      }
    }
    ASSERT_EQ(got[0], count) << "the exchange did not finish";
    ASSERT_EQ(got[1], count) << "the exchange did not finish";
  }

  void run(unsigned int seed);
};

void DatagramFuzz::run(unsigned int seed)
{
  Fuzz f(seed);
  std::string where = listen_text();
  NET_CONN *listener = net_openconn(driver(), where.c_str());
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(net_listen(listener), 0);
  std::unique_ptr<Endpoint> relay = endpoint(), stranger = endpoint();

  // Accepts what the listener hands out: the relay's conn is kept, any
  // other (a stranger's request) is closed at once.
  NET_CONN *accepted = nullptr;
  int strays = 0;
  auto poll_listener = [&] {
    for (int n = 0; n < 8; n++) {
      NET_CONN *fresh = net_poll_listen(listener);
      if (!fresh) continue;
      if (!accepted && std::string(net_getpeer(fresh)) == relay->address()) {
        accepted = fresh;
      } else {
        ASSERT_EQ(net_closeconn(fresh), 0);
        strays++;
      }
    }
    ASSERT_LE(__netlane_internal__conn_client_count(listener), 2);
  };

  // The relay: the client's datagrams go to the listener (before the
  // reply) or to its per-client channel (after), everything else to the
  // client; `junk_per_round` junk datagrams go each way in the peer's name.
  std::string client_addr, per_client;
  bool peer_safe = true;
  int junk_per_round = 1, drop_percent = 5;
  auto network = [&] {
    std::vector<unsigned char> d;
    std::string from;
    for (int n = 0; n < 400 && relay->receive(&d, &from); n++) {
      // The client's first datagram: its cookie request, or a request.
      if (client_addr.empty() && d.size() >= 12 && memcmp(d.data(), "connect", 8) == 0) client_addr = from;
      if (f.chance(drop_percent)) continue;
      if (from == client_addr) {
        relay->send(per_client.empty() ? where : per_client, d);
      } else {
        if (per_client.empty()) per_client = from;
        if (!client_addr.empty()) relay->send(client_addr, d);
      }
    }
    for (int j = 0; j < junk_per_round; j++) {
      if (!client_addr.empty()) relay->send(client_addr, junk(f, peer_safe, false));
      if (!per_client.empty()) relay->send(per_client, junk(f, peer_safe, false));
      // A stranger at both ends and at the listener: all dropped, or
      // accepted and closed.
      if (!client_addr.empty()) stranger->send(client_addr, junk(f, false, false));
      if (!per_client.empty()) stranger->send(per_client, junk(f, false, false));
      stranger->send(where, f.chance(30) ? connect_request((uint32_t)f.rng()) : junk(f, false, true));
    }
    std::vector<unsigned char> ignored;
    for (int n = 0; n < 400 && stranger->receive(&ignored, &from); n++) {
    }
    poll_listener();
  };

  // Connecting through the relay while junk arrives from everywhere.
  NET_CONN *client = net_openconn(driver(), NULL);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(net_connect(client, relay->address().c_str()), 0);
  bool connected = false;
  Budget budget(deadline_seconds(10));
  // A connecting conn reads one datagram per poll: it polls faster than
  // the junk comes.
  for (int round = 0; round < 5000 && (!connected || !accepted) && budget.left(); round++) {
    tick(f);
    network();
    for (int n = 0; n < 4 && !connected; n++) connected = net_poll_connect(client) == 1;
  }
  ASSERT_TRUE(connected);
  ASSERT_NE(accepted, nullptr);
  ASSERT_EQ(std::string(net_getpeer(client)), relay->address());

  // A checked exchange under peer-safe junk.
  junk_per_round = 4;
  NET_CONN *ends[2] = {client, accepted};
  ASSERT_NO_FATAL_FAILURE(exchange(f, ends, 300, network));

  // Junk of every kind in the peer's name: the streams may break, nothing else.
  peer_safe = false;
  drop_percent = 0;
  std::vector<unsigned char> buf(kMaxDatagram);
  for (int round = 0; round < 300; round++) {
    tick(f);
    network();
    for (NET_CONN *end : ends) {
      net_send_rdm(end, "x", 1);
      int len = net_receive_rdm(end, buf.data(), (int)buf.size());
      ASSERT_GE(len, -1);
      ASSERT_LE(len, (int)kMaxDatagram - 4);
      if (len == -1) {
        ASSERT_EQ(net_ignore_rdm(end), 1);
      }
      ASSERT_NO_FATAL_FAILURE(check_stats(end));
    }
  }
  ASSERT_EQ(net_closeconn(client), 0);
  ASSERT_EQ(net_closeconn(accepted), 0);

  // A new client straight to the listener still connects and talks, while
  // the stranger keeps at the listener.
  client_addr.clear();
  per_client.clear();
  accepted = nullptr;
  NET_CONN *fresh = net_openconn(driver(), NULL);
  ASSERT_NE(fresh, nullptr);
  ASSERT_EQ(net_connect(fresh, where.c_str()), 0);
  connected = false;
  NET_CONN *other = nullptr;
  Budget again(deadline_seconds(10));
  for (int round = 0; round < 5000 && (!connected || !other) && again.left(); round++) {
    tick(f);
    stranger->send(where, junk(f, false, true));
    NET_CONN *c = net_poll_listen(listener);
    if (c && !other && std::string(net_getpeer(c)) != stranger->address()) {
      other = c;
    } else if (c) {
      ASSERT_EQ(net_closeconn(c), 0);
    }
    if (!connected) connected = net_poll_connect(fresh) == 1;
  }
  ASSERT_TRUE(connected);
  ASSERT_NE(other, nullptr);
  NET_CONN *pair[2] = {fresh, other};
  ASSERT_NO_FATAL_FAILURE(exchange(f, pair, 100, [&] {}));
  EXPECT_GT(strays, 0);
  ASSERT_EQ(net_closeconn(fresh), 0);
  ASSERT_EQ(net_closeconn(other), 0);
  ASSERT_EQ(net_closeconn(listener), 0);
}

TEST_F(DatagramFuzz, LossyDriverSeed1) { run(101); }
TEST_F(DatagramFuzz, LossyDriverSeed2) { run(102); }
TEST_F(DatagramFuzz, UdpLoopbackSeed1)
{
  ASSERT_NO_FATAL_FAILURE(use_udp());
  run(201);
}

}  // namespace
