// The handshake's proof that a peer receives where it speaks from, over the
// in-memory driver with the test playing either end by hand: the cookie and
// what keeps nothing, proofs that hold and those that do not, the accept,
// a proof after a plain request, and what an unproved request may no longer
// do (take over an address in use or a proved conn's, take the proved
// conns' places, have data acknowledged that belonged to another conn).
// The keyed hash against the reference vectors of SipHash-2-4.
#include <stdio.h>

#include "cookie.h"
#include "rdm_fixture.h"

namespace {

// What this library's ends offer here: the test drivers' channels are no
// UDP ports, whose buffers wide windows need, and the fixture sets the
// keep-alive wait (to none), which the host's beat would not keep.
unsigned offered()
{
  return __netlane_internal__conn_features & ~(WIRE_FEATURE_WIDE_WINDOWS | WIRE_FEATURE_HOST_BEAT);
}

// Byte builders written from the wire description in conn_wire.h.
void put_le(std::vector<unsigned char> &p, size_t at, uint64_t v, int bytes)
{
  for (int i = 0; i < bytes; i++) p[at + (size_t)i] = (unsigned char)(v >> (8 * i));
}

uint64_t get_le(const std::vector<unsigned char> &p, size_t at, int bytes)
{
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[at + (size_t)i];
  return v;
}

std::vector<unsigned char> cookie_request(uint32_t id, uint64_t nonce, uint32_t features = 0, int version = 1)
{
  std::vector<unsigned char> p = connect_request(id);
  p.resize(32, 0);
  p[12] = 'N';
  p[13] = 'L';
  p[14] = 1;
  p[15] = (unsigned char)version;
  put_le(p, 16, nonce, 8);
  put_le(p, 24, features, 4);
  return p;
}

struct cookie_t {
  uint32_t id = 0;
  uint64_t nonce = 0;
  uint32_t time = 0;
  uint64_t cookie = 0;
};

// The cookie datagram's fields (kind 6: the admit's); id 0 when it is none.
cookie_t read_cookie(const std::vector<unsigned char> &d, int kind = 2)
{
  cookie_t c;
  if (d.size() != 32 || get_le(d, 0, 4) != 0 || d[4] != 'N' || d[5] != 'L' || d[6] != kind || d[7] != 1) return c;
  c.id = (uint32_t)d[8] << 24 | d[9] << 16 | d[10] << 8 | d[11];
  c.nonce = get_le(d, 12, 8);
  c.time = (uint32_t)get_le(d, 20, 4);
  c.cookie = get_le(d, 24, 8);
  return c;
}

std::vector<unsigned char> proof(const cookie_t &c, uint32_t features = 0)
{
  std::vector<unsigned char> p = cookie_request(c.id, c.nonce, features);
  p[14] = 3;
  p.resize(40, 0);
  put_le(p, 28, c.time, 4);
  put_le(p, 32, c.cookie, 8);
  return p;
}

std::vector<unsigned char> accept_of(uint32_t id, uint64_t nonce, uint32_t features)
{
  std::vector<unsigned char> p(24, 0);
  p[4] = 'N';
  p[5] = 'L';
  p[6] = 4;
  p[7] = 1;
  p[8] = (unsigned char)(id >> 24);
  p[9] = (unsigned char)(id >> 16);
  p[10] = (unsigned char)(id >> 8);
  p[11] = (unsigned char)id;
  put_le(p, 12, nonce, 8);
  put_le(p, 20, features, 4);
  return p;
}

class Handshake : public LossyFixture {
 protected:
  NET_CONN *listener = nullptr;
  std::string where;

  void listen()
  {
    where = listen_port();
    listener = net_openconn(drv, where.c_str());
    ASSERT_NE(listener, nullptr);
    ASSERT_EQ(net_listen(listener), 0);
  }

  // Asks for a cookie from `client` and returns it.
  cookie_t cookie_for(raw_channel &client, uint32_t id, uint64_t nonce)
  {
    client.target(where);
    client.send(cookie_request(id, nonce));
    EXPECT_EQ(net_poll_listen(listener), nullptr);
    std::string from;
    cookie_t c = read_cookie(client.receive(&from));
    EXPECT_EQ(from, where) << "the cookie comes from the listening port";
    return c;
  }

  static int proved(NET_CONN *conn)
  {
    NET_CONN_FIGURES f;
    EXPECT_EQ(net_conn_figures(conn, &f), 0);
    return f.proved;
  }

  // A library client connected to the listener by the whole netlane
  // handshake, its proof delivered with nothing sent (`settle`); its
  // accepted conn in `*accepted`, the listener's polls it took in `*polls`.
  NET_CONN *netlane_client(const char *bind, NET_CONN **accepted, bool settle = true, int *polls = nullptr)
  {
    NET_CONN *client = net_openconn(drv, bind);
    *accepted = nullptr;
    if (!client || net_connect(client, where.c_str()) != 0) return nullptr;
    int connected = 0, n = 0;
    for (; n < 4 && (!*accepted || !connected); n++) {
      if (!*accepted) *accepted = net_poll_listen(listener);
      if (!connected) connected = net_poll_connect(client);
    }
    if (polls) *polls = n;
    if (connected != 1 || !*accepted) return nullptr;
    if (settle) settle_proof(client, *accepted);
    return client;
  }
};

// Computed once with libsodium's crypto_shorthash_siphash24: key 00 01 ...
// 0f, message 00 01 ... of 0 to 63 bytes (the reference vectors).
const char *const kSipHashVectors[64] = {
  "310e0edd47db6f72", "fd67dc93c539f874", "5a4fa9d909806c0d", "2d7efbd796666785", "b7877127e09427cf",
  "8da699cd64557618", "cee3fe586e46c9cb", "37d1018bf50002ab", "6224939a79f5f593", "b0e4a90bdf82009e",
  "f3b9dd94c5bb5d7a", "a7ad6b22462fb3f4", "fbe50e86bc8f1e75", "903d84c02756ea14", "eef27a8e90ca23f7",
  "e545be4961ca29a1", "db9bc2577fcc2a3f", "9447be2cf5e99a69", "9cd38d96f0b3c14b", "bd6179a71dc96dbb",
  "98eea21af25cd6be", "c7673b2eb0cbf2d0", "883ea3e395675393", "c8ce5ccd8c030ca8", "94af49f6c650adb8",
  "eab8858ade92e1bc", "f315bb5bb835d817", "adcf6b0763612e2f", "a5c91da7acaa4dde", "716595876650a2a6",
  "28ef495c53a387ad", "42c341d8fa92d832", "ce7cf2722f512771", "e37859f94623f3a7", "381205bb1ab0e012",
  "ae97a10fd434e015", "b4a31508beff4d31", "81396229f0907902", "4d0cf49ee5d4dcca", "5c73336a76d8bf9a",
  "d0a704536ba93e0e", "925958fcd6420cad", "a915c29bc8067318", "952b79f3bc0aa6d4", "f21df2e41d4535f9",
  "87577519048f53a9", "10a56cf5dfcd9adb", "eb75095ccd986cd0", "51a9cb9ecba312e6", "96afadfc2ce666c7",
  "72fe52975a4364ee", "5a1645b276d592a1", "b274cb8ebf87870a", "6f9bb4203de7b381", "eaecb2a30b22a87f",
  "9924a43cc1315724", "bd838d3aafbf8db7", "0b1a2a3265d51aea", "135079a3231ce660", "932b2846e4d70666",
  "e1915f5cb1eca46c", "f325965ca16d629f", "575ff28e60381be5", "724506eb4c328a95",
};

TEST(SipHash, MatchesTheReferenceVectors)
{
  unsigned char key[16], msg[64];
  for (int i = 0; i < 16; i++) key[i] = (unsigned char)i;
  for (int i = 0; i < 64; i++) msg[i] = (unsigned char)i;
  for (int n = 0; n < 64; n++) {
    uint64_t h = __netlane_internal__siphash24(key, msg, (size_t)n);
    char text[17];
    for (int b = 0; b < 8; b++) snprintf(text + 2 * b, 3, "%02x", (unsigned)(h >> (8 * b)) & 0xFF);
    EXPECT_STREQ(text, kSipHashVectors[n]) << n << " bytes";
  }
}

// The port's answers, by request and by what it knows of the pair and the
// address: no admit where anybody has the address, no plain reply to a
// client that proves, nothing new once the listener has closed.
TEST(HandshakeRules, PortAnswersByRequestPairAndAddress)
{
  struct row {
    wire_kind kind;
    int version;
    hs_pair pair;
    int used, listening;
    hs_reply want;
  } rows[] = {
    {WIRE_REQUEST, 0, HS_PAIR_NONE, 1, 1, HS_REPLY_LISTENER},
    {WIRE_REQUEST, 0, HS_PAIR_NONE, 0, 0, HS_REPLY_NONE},
    {WIRE_REQUEST, 0, HS_PAIR_PLAIN, 1, 0, HS_REPLY_ZEROS},
    {WIRE_REQUEST, 0, HS_PAIR_ADMITTED, 1, 1, HS_REPLY_NONE},
    {WIRE_REQUEST, 0, HS_PAIR_PROVED, 1, 1, HS_REPLY_NONE},
    {WIRE_COOKIE_REQUEST, 2, HS_PAIR_NONE, 0, 1, HS_REPLY_LISTENER},
    {WIRE_COOKIE_REQUEST, 3, HS_PAIR_NONE, 0, 1, HS_REPLY_LISTENER},
    {WIRE_COOKIE_REQUEST, 2, HS_PAIR_NONE, 1, 1, HS_REPLY_COOKIE},
    {WIRE_COOKIE_REQUEST, 1, HS_PAIR_NONE, 0, 1, HS_REPLY_COOKIE},
    {WIRE_COOKIE_REQUEST, 2, HS_PAIR_NONE, 0, 0, HS_REPLY_NONE},
    {WIRE_COOKIE_REQUEST, 2, HS_PAIR_ADMITTED, 1, 0, HS_REPLY_ADMIT},
    {WIRE_COOKIE_REQUEST, 2, HS_PAIR_PLAIN, 1, 1, HS_REPLY_COOKIE},
    {WIRE_COOKIE_REQUEST, 2, HS_PAIR_PROVED, 1, 1, HS_REPLY_COOKIE},
    {WIRE_PROOF, 1, HS_PAIR_NONE, 1, 1, HS_REPLY_LISTENER},
    {WIRE_PROOF, 1, HS_PAIR_NONE, 1, 0, HS_REPLY_NONE},
    {WIRE_PROOF, 1, HS_PAIR_PLAIN, 1, 0, HS_REPLY_PROVE},
    {WIRE_PROOF, 1, HS_PAIR_ADMITTED, 1, 1, HS_REPLY_PROVE},
    {WIRE_PROOF, 1, HS_PAIR_PROVED, 1, 1, HS_REPLY_ACCEPT},
    {WIRE_JUNK, 0, HS_PAIR_NONE, 0, 1, HS_REPLY_NONE},
  };
  for (const row &r : rows)
    EXPECT_EQ(__netlane_internal__hs_port_rule(r.kind, r.version, r.pair, r.used, r.listening), r.want)
        << "kind " << r.kind << " version " << r.version << " pair " << r.pair << " used " << r.used
        << " listening " << r.listening;
  EXPECT_EQ(__netlane_internal__hs_listen_refused(WIRE_COOKIE_REQUEST), HS_REPLY_COOKIE);
  EXPECT_EQ(__netlane_internal__hs_listen_refused(WIRE_REQUEST), HS_REPLY_NONE);
}

TEST_F(Handshake, CookieRequestIsAnsweredWithACookieAndKeepsNothing)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  raw_channel client(drv);
  for (uint32_t id = 1; id <= 100; id++) {
    cookie_t c = cookie_for(client, id, 0x1122334455667788ull + id);
    ASSERT_EQ(c.id, id);
    EXPECT_EQ(c.nonce, 0x1122334455667788ull + id) << "the nonce comes back";
    EXPECT_EQ(c.time, test_clock());
  }
  EXPECT_EQ(__netlane_internal__conn_client_count(listener), 0);

  // The proof: a conn, proved, and the accept from the listening port.
  cookie_t c = cookie_for(client, 500, 42);
  client.send(proof(c, 0xFFFF));
  NET_CONN *accepted = net_poll_listen(listener);
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(proved(accepted), 1);
  EXPECT_STREQ(net_getpeer(accepted), client.address());
  std::string from;
  EXPECT_EQ(client.receive(&from), accept_of(500, 42, 0xFFFF & offered()));
  EXPECT_EQ(from, where);

  // The proof again: the accept again and no second conn; the plain
  // request of the same pair: nothing (its accept goes to its proof).
  client.send(proof(c, 0xFFFF));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_EQ(client.receive(), accept_of(500, 42, 0xFFFF & offered()));
  client.send(connect_request(500));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_TRUE(client.drain().empty());
  EXPECT_EQ(__netlane_internal__conn_client_count(listener), 1);

  // It talks as any conn.
  client.send(data_packet(1, "proved"));
  char buf[16];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 6);
}

TEST_F(Handshake, ProofsThatDoNotHoldAreRefused)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  raw_channel client(drv), other(drv);
  other.target(where);
  cookie_t c = cookie_for(client, 7, 99);
  auto refused = [&](raw_channel &from, const std::vector<unsigned char> &p) {
    from.send(p);
    bool none = net_poll_listen(listener) == nullptr;
    return none && client.drain().empty() && other.drain().empty();
  };
  cookie_t altered = c;
  altered.cookie ^= 1;
  EXPECT_TRUE(refused(client, proof(altered)));
  cookie_t nonce = c;
  nonce.nonce++;
  EXPECT_TRUE(refused(client, proof(nonce)));
  cookie_t id = c;
  id.id++;
  EXPECT_TRUE(refused(client, proof(id)));
  cookie_t time = c;
  time.time++;
  EXPECT_TRUE(refused(client, proof(time)));
  EXPECT_TRUE(refused(other, proof(c))) << "a cookie is good only from the address it went to";
  EXPECT_EQ(__netlane_internal__conn_client_count(listener), 0);

  // A cookie lives 30 s, across a change of secret.
  test_clock_advance(COOKIE_LIFE_MS + 1);
  EXPECT_TRUE(refused(client, proof(c))) << "too old";
  cookie_t fresh = cookie_for(client, 8, 100);
  test_clock_advance(COOKIE_LIFE_MS);
  client.send(proof(fresh));
  EXPECT_NE(net_poll_listen(listener), nullptr);
}

TEST_F(Handshake, NetlanePeersAreProvedOnBothEnds)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  NET_CONN *accepted;
  NET_CONN *client = netlane_client(NULL, &accepted);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(proved(client), 1);
  EXPECT_EQ(proved(accepted), 1);
  ASSERT_EQ(net_send_rdm(client, "a", 1), 0);
  ASSERT_EQ(net_send_rdm(accepted, "bc", 2), 0);
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 1);
  EXPECT_EQ(net_receive_rdm(client, buf, sizeof buf), 2);

  // A design-following client's conn is not.
  raw_channel plain(drv);
  plain.target(where);
  plain.send(connect_request(3));
  NET_CONN *unproved = net_poll_listen(listener);
  ASSERT_NE(unproved, nullptr);
  EXPECT_EQ(proved(unproved), 0);
  EXPECT_EQ(plain.receive(), std::vector<unsigned char>(8, 0));
}

// A client that asked both ways (its cookie came late) is proved once its
// proof comes, though its conn was made for its plain request.
TEST_F(Handshake, ProofAfterAPlainRequestMakesTheConnProved)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  raw_channel client(drv);
  cookie_t c = cookie_for(client, 21, 5);
  client.send(connect_request(21));
  NET_CONN *accepted = net_poll_listen(listener);
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(client.receive(), std::vector<unsigned char>(8, 0));
  EXPECT_EQ(proved(accepted), 0);
  client.send(proof(c));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_EQ(client.receive(), accept_of(21, 5, 0));
  EXPECT_EQ(proved(accepted), 1);
  client.send(connect_request(21));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_TRUE(client.drain().empty()) << "proved: its plain requests get nothing";
}

// The client's side: a cookie or accept that does not answer its own
// request (another id or nonce) is nobody's; the right ones connect it.
TEST_F(Handshake, ClientTakesOnlyItsOwnCookieAndAccept)
{
  raw_channel host(drv);
  NET_CONN *conn = net_openconn(drv, NULL);
  ASSERT_EQ(net_connect(conn, host.address()), 0);
  std::string conn_addr;
  auto request = host.receive(&conn_addr);
  ASSERT_EQ(request.size(), 32u);
  cookie_t c;
  c.id = (uint32_t)request[8] << 24 | request[9] << 16 | request[10] << 8 | request[11];
  c.nonce = get_le(request, 16, 8);
  c.time = 1234;
  c.cookie = 0xABCDEF;
  auto cookie_bytes = [&](const cookie_t &k) {
    std::vector<unsigned char> p(32, 0);
    p[4] = 'N';
    p[5] = 'L';
    p[6] = 2;
    p[7] = 1;
    p[8] = (unsigned char)(k.id >> 24);
    p[9] = (unsigned char)(k.id >> 16);
    p[10] = (unsigned char)(k.id >> 8);
    p[11] = (unsigned char)k.id;
    put_le(p, 12, k.nonce, 8);
    put_le(p, 20, k.time, 4);
    put_le(p, 24, k.cookie, 8);
    return p;
  };
  host.target(conn_addr);
  cookie_t wrong = c;
  wrong.nonce ^= 1;
  host.send(cookie_bytes(wrong));
  host.send(accept_of(c.id, c.nonce, 0));  // no proof was sent yet
  EXPECT_EQ(net_poll_connect(conn), 0);
  EXPECT_TRUE(host.drain().empty());
  host.send(cookie_bytes(c));
  EXPECT_EQ(net_poll_connect(conn), 0);
  auto sent = host.receive();
  EXPECT_EQ(sent, proof(c, offered()));
  // The plain reply now is no answer: only the accept is.
  host.send(std::vector<unsigned char>(8, 0));
  host.send(accept_of(c.id + 1, c.nonce, 0));
  EXPECT_EQ(net_poll_connect(conn), 0);
  host.send(accept_of(c.id, c.nonce, 0xFFFF));
  EXPECT_EQ(net_poll_connect(conn), 1);
  EXPECT_STREQ(net_getpeer(conn), host.address());
  EXPECT_EQ(proved(conn), 1);
}

// One forged plain request in a proved client's address cuts nothing off,
// nor does one in the address of a design-following client that is heard.
TEST_F(Handshake, UnprovedRequestsTakeNoAddressInUse)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  NET_CONN *accepted;
  NET_CONN *client = netlane_client("30001", &accepted);
  ASSERT_NE(client, nullptr);
  lossy_forge(30001, atoi(where.c_str()), connect_request(0x5555));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  test_clock_advance(60000);  // however long it has been quiet
  lossy_forge(30001, atoi(where.c_str()), connect_request(0x5556));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  ASSERT_EQ(net_send_rdm(client, "still", 5), 0);
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5);

  raw_channel plain(drv);
  plain.target(where);
  plain.send(connect_request(1));
  NET_CONN *design = net_poll_listen(listener);
  ASSERT_NE(design, nullptr);
  plain.drain();
  plain.send(data_packet(1, "one"));
  EXPECT_EQ(net_query_rdm(design), 3);
  test_clock_advance(4999);
  lossy_forge(atoi(plain.address()), atoi(where.c_str()), connect_request(2));
  EXPECT_EQ(net_poll_listen(listener), nullptr) << "heard 4999 ms ago";
  plain.send(data_packet(2, "two"));
  net_ignore_rdm(design);
  EXPECT_EQ(net_query_rdm(design), 3);
}

// Once an address has been quiet long enough a plain request may take it
// (a design-following client started again on the same port), but what
// the old conn's peer still sends is not acknowledged into the new conn:
// it acknowledges nothing before the first message of a stream.
TEST_F(Handshake, ConnThatTookAnAddressAcknowledgesOnlyANewStream)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  raw_channel plain(drv);
  plain.target(where);
  plain.send(connect_request(1));
  NET_CONN *old_conn = net_poll_listen(listener);
  ASSERT_NE(old_conn, nullptr);
  for (unsigned int i = 1; i <= 16; i++) plain.send(data_packet(i, "old"));
  char buf[8];
  for (int i = 0; i < 16; i++) ASSERT_EQ(net_receive_rdm(old_conn, buf, sizeof buf), 3);
  plain.drain();
  test_clock_advance(5000);
  lossy_forge(atoi(plain.address()), atoi(where.c_str()), connect_request(2));
  NET_CONN *taker = net_poll_listen(listener);
  ASSERT_NE(taker, nullptr);
  plain.drain();
  // The old stream's next messages, inside the new conn's window.
  for (unsigned int i = 2; i <= 16; i++) plain.send(data_packet(i, "lost"));
  EXPECT_EQ(net_query_rdm(taker), 0);
  EXPECT_TRUE(plain.drain().empty()) << "none acknowledged";
  NET_CONN_FIGURES f;
  ASSERT_EQ(net_conn_figures(taker, &f), 0);
  EXPECT_EQ(f.dropped_window, 15);
  // A new stream begins at 1.
  plain.send(data_packet(2, "b"));
  plain.send(data_packet(1, "a"));
  plain.send(data_packet(2, "b"));
  EXPECT_EQ(net_receive_rdm(taker, buf, sizeof buf), 1);
  EXPECT_EQ(net_receive_rdm(taker, buf, sizeof buf), 1);
  EXPECT_EQ(plain.drain().size(), 2u);
}

// Forged requests from any number of addresses fill only the unproved
// conns' places: a netlane client still gets in.
TEST_F(Handshake, UnprovedFloodLeavesTheProvedPlaces)
{
  conn_settings().max_silent = 8;
  ASSERT_NO_FATAL_FAILURE(listen());
  for (int from = 20000; from < 20100; from++) lossy_forge(from, atoi(where.c_str()), connect_request(1));
  int made = 0;
  for (int n = 0; n < 200; n++) made += net_poll_listen(listener) != nullptr;
  EXPECT_EQ(made, 8);
  raw_channel plain(drv);
  plain.target(where);
  plain.send(connect_request(2));
  EXPECT_EQ(net_poll_listen(listener), nullptr) << "a design-following client is kept out";
  NET_CONN *accepted;
  NET_CONN *client = netlane_client(NULL, &accepted);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(proved(accepted), 1);
  // The proved places have bounds of their own.
  int proved_made = 1;
  for (int n = 0; n < 20; n++) {
    NET_CONN *more;
    proved_made += netlane_client(NULL, &more) != nullptr;
  }
  EXPECT_EQ(proved_made, 8);
}

// A netlane client of this round: one listener poll makes its conn and
// answers with the admit, on which the client is connected (2 datagrams).
// Both are unproved until the client's first message, which its proof goes
// ahead of; the accept then proves the client.
TEST_F(Handshake, AdmittedClientConnectsInOneListenerPollAndProvesWithItsFirstMessage)
{
  if (getenv("RDM_DRIVER")) GTEST_SKIP() << "counts datagrams on the lossy driver";
  ASSERT_NO_FATAL_FAILURE(listen());
  long sent = lossy_stats().sent;
  NET_CONN *accepted;
  int polls = 0;
  NET_CONN *client = netlane_client(NULL, &accepted, false, &polls);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(polls, 1) << "one listener poll";
  EXPECT_EQ(lossy_stats().sent - sent, 2) << "the cookie request and the admit";
  EXPECT_EQ(proved(client), 0);
  EXPECT_EQ(proved(accepted), 0);
  ASSERT_EQ(net_send_rdm(client, "first", 5), 0);
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5);
  EXPECT_EQ(proved(accepted), 1);
  EXPECT_EQ(net_query_rdm(client), 0);
  EXPECT_EQ(proved(client), 1);
  EXPECT_EQ(lossy_stats().sent - sent, 6) << "the proof, the message, its acknowledgement, the accept";

  // With nothing to send, it proves once idle a while (and stops once the
  // accept comes); a wait knows when, so a program that only waits proves.
  auto due = [](NET_CONN *c) {
    int fds[8], nfds, ms;
    __netlane_internal__wrapper_wait_info(c, fds, 8, &nfds, &ms);
    return ms;
  };
  NET_CONN *idle_accepted;
  NET_CONN *idle = netlane_client(NULL, &idle_accepted, false);
  ASSERT_NE(idle, nullptr);
  EXPECT_EQ(due(idle), HS_PROOF_IDLE_MS);
  test_clock_advance(HS_PROOF_IDLE_MS - 1);
  sent = lossy_stats().sent;
  net_query_rdm(idle);
  EXPECT_EQ(lossy_stats().sent, sent);
  EXPECT_EQ(due(idle), 1);
  test_clock_advance(1);
  net_query_rdm(idle);
  EXPECT_EQ(due(idle), 500) << "sent again after the resend wait until the accept comes";
  settle_proof(idle, idle_accepted);
  EXPECT_EQ(proved(idle), 1);
  EXPECT_EQ(proved(idle_accepted), 1);
  EXPECT_EQ(due(idle), -1);
  sent = lossy_stats().sent;
  test_clock_advance(5000);
  net_query_rdm(idle);
  EXPECT_EQ(lossy_stats().sent, sent);
}

// The listener's side by hand: a version-2 cookie request of a free address
// makes an unproved conn and gets the admit, again when repeated (the admit
// lost), while its plain request gets nothing. A message before the proof
// is taken as on any unproved conn; the proof from the admit's cookie then
// proves it and is accepted.
TEST_F(Handshake, AdmitThenDataBeforeTheProof)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  raw_channel client(drv);
  client.target(where);
  client.send(cookie_request(40, 77, 0, 2));
  NET_CONN *accepted = net_poll_listen(listener);
  ASSERT_NE(accepted, nullptr);
  std::string from;
  cookie_t admit = read_cookie(client.receive(&from), 6);
  EXPECT_EQ(from, where);
  ASSERT_EQ(admit.id, 40u);
  EXPECT_EQ(admit.nonce, 77u);
  EXPECT_EQ(proved(accepted), 0);
  client.send(cookie_request(40, 77, 0, 2));
  client.send(connect_request(40));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  auto again = client.drain();
  ASSERT_EQ(again.size(), 1u) << "the admit again, and nothing for the plain request";
  EXPECT_EQ(read_cookie(again[0], 6).id, 40u);

  client.send(data_packet(1, "early"));
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5);
  EXPECT_EQ(client.receive(), ack_packet(1));
  EXPECT_EQ(proved(accepted), 0);
  client.send(proof(admit));
  EXPECT_EQ(net_query_rdm(accepted), 0);
  EXPECT_EQ(proved(accepted), 1);
  EXPECT_EQ(client.receive(), accept_of(40, 77, 0));
  EXPECT_EQ(__netlane_internal__conn_client_count(listener), 1);
}

// A forged cookie request of either version in the address of a proved
// conn makes no conn and changes nothing: the cookie it gets goes to the
// real client, whose conn counts it as a handshake repeat. Under a full set
// of unproved places an admittable request gets the plain cookie, and its
// proof still makes a proved conn.
TEST_F(Handshake, ForgedCookieRequestsInAProvedAddressChangeNothing)
{
  conn_settings().max_silent = 2;
  ASSERT_NO_FATAL_FAILURE(listen());
  NET_CONN *accepted;
  NET_CONN *client = netlane_client("30002", &accepted);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(proved(accepted), 1);
  lossy_forge(30002, atoi(where.c_str()), cookie_request(0x7777, 1, 0, 2));
  lossy_forge(30002, atoi(where.c_str()), cookie_request(0x7778, 2, 0, 1));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  EXPECT_EQ(__netlane_internal__conn_client_count(listener), 1);
  ASSERT_EQ(net_send_rdm(client, "still", 5), 0);
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 5);
  net_query_rdm(client);  // a send in the same ms as the last read reads nothing
  NET_CONN_FIGURES f;
  ASSERT_EQ(net_conn_figures(client, &f), 0);
  EXPECT_EQ(f.handshake_repeats, 2);
  EXPECT_EQ(f.proved, 1);

  for (int port = 20000; port < 20004; port++)
    lossy_forge(port, atoi(where.c_str()), cookie_request(1, (uint64_t)port, 0, 2));
  int made = 0;
  for (int n = 0; n < 8; n++) made += net_poll_listen(listener) != nullptr;
  EXPECT_EQ(made, 2) << "forged admits fill the unproved places only";
  raw_channel late(drv);
  late.target(where);
  late.send(cookie_request(9, 9, 0, 2));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  cookie_t c = read_cookie(late.receive());
  ASSERT_EQ(c.id, 9u) << "the plain cookie, keeping nothing";
  late.send(proof(c));
  NET_CONN *proved_conn = net_poll_listen(listener);
  ASSERT_NE(proved_conn, nullptr);
  EXPECT_EQ(proved(proved_conn), 1);
}

// A netlane client started again on the same port proves the address with
// a new id: its conn replaces the old proved one at once, which counts as
// gone and never gets the address back, even when the new conn closes. A
// plain request still takes nothing from the new proved conn.
TEST_F(Handshake, RestartWithAProofReplacesTheOldConn)
{
  ASSERT_NO_FATAL_FAILURE(listen());
  NET_CONN *old_accepted;
  NET_CONN *old_client = netlane_client("30004", &old_accepted);
  ASSERT_NE(old_client, nullptr);
  ASSERT_EQ(net_send_rdm(old_accepted, "unread", 6), 0);
  net_closeconn(old_client);
  NET_CONN *accepted;
  NET_CONN *client = netlane_client("30004", &accepted);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(proved(accepted), 1);
  NET_CONN_FIGURES f;
  ASSERT_EQ(net_conn_figures(old_accepted, &f), 0);
  EXPECT_EQ(f.dead, 1) << "gone at once, not after conn_dead_after";
  lossy_forge(30004, atoi(where.c_str()), connect_request(0x9999));
  EXPECT_EQ(net_poll_listen(listener), nullptr);
  ASSERT_EQ(net_send_rdm(client, "new", 3), 0);
  char buf[8];
  EXPECT_EQ(net_receive_rdm(accepted, buf, sizeof buf), 3);
  net_closeconn(accepted);
  ASSERT_EQ(net_send_rdm(client, "gone", 4), 0);
  EXPECT_EQ(net_query_rdm(old_accepted), 0) << "the address does not come back to the old conn";
  ASSERT_EQ(net_conn_figures(old_accepted, &f), 0);
  EXPECT_EQ(f.dead, 1);
}

}  // namespace
