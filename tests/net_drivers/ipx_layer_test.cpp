// The IPX sockets layer on loopback: several sockets of one socket number,
// datagrams to a node and to the broadcast node, the checks on what
// arrives (crafted with a plain UDP socket), and the rules of binding.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipx_test_util.h"
#include "wsipx.h"

namespace {

const unsigned char kNoNet[4] = {0, 0, 0, 0};

ipx_sockaddr_t address(const unsigned char *net, const unsigned char *node, int meeting_port)
{
  ipx_sockaddr_t a;
  memset(&a, 0, sizeof a);
  a.family = IPX_FAMILY;
  memcpy(a.netnum, net, 4);
  if (node) memcpy(a.nodenum, node, 6);
  a.socket[0] = (unsigned char)(meeting_port >> 8);
  a.socket[1] = (unsigned char)meeting_port;
  return a;
}

ipx_sockaddr_t broadcast(int meeting_port)
{
  static const unsigned char all[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return address(kNoNet, all, meeting_port);
}

class IpxLayer : public ::testing::Test {
 protected:
  int port = test_meeting_port();
  std::vector<ipx_socket_t> opened;

  void SetUp() override { keep_ipx_on_loopback(); }
  void TearDown() override
  {
    for (ipx_socket_t s : opened) __netlane_internal__ipx_close(s);
  }

  // A non-blocking socket bound on `net`, this machine, `meeting_port`.
  ipx_socket_t bound(const unsigned char *net, int meeting_port)
  {
    ipx_socket_t s = __netlane_internal__ipx_open(IPX_FAMILY, IPX_DATAGRAM, 0);
    EXPECT_NE(s, IPX_NO_SOCKET);
    opened.push_back(s);
    ipx_sockaddr_t a = address(net, NULL, meeting_port);
    EXPECT_EQ(__netlane_internal__ipx_set_nonblocking(s), 0);
    EXPECT_EQ(__netlane_internal__ipx_bind(s, &a), 0);
    return s;
  }

  static ipx_sockaddr_t name(ipx_socket_t s)
  {
    ipx_sockaddr_t a;
    EXPECT_EQ(__netlane_internal__ipx_local_name(s, &a), 0);
    return a;
  }

  // What waits on `s` (loopback delivers at once), "" when nothing does.
  static std::string receive(ipx_socket_t s, ipx_sockaddr_t *from = nullptr, int size = 64)
  {
    char buf[IPX_MAX_PAYLOAD];
    ipx_sockaddr_t sender;
    int len = __netlane_internal__ipx_recv_from(s, buf, size, &sender);
    if (from) *from = sender;
    return len < 0 ? "" : std::string(buf, (size_t)len);
  }
};

TEST_F(IpxLayer, SocketsOfOneNumberShareItAndDatagramsFindTheirNode)
{
  const unsigned char net_a[4] = {0, 0, 0, 0x0A};
  ipx_socket_t a = bound(net_a, port);
  ipx_socket_t b = bound(kNoNet, port);  // as a second program would
  ipx_socket_t c = bound(kNoNet, port + 1);
  ipx_sockaddr_t na = name(a), nb = name(b);
  EXPECT_EQ(0, memcmp(na.nodenum, "\x7F\x00\x00\x01", 4)) << "node: the address, then the port";
  EXPECT_NE(0, memcmp(na.nodenum + 4, nb.nodenum + 4, 2));
  EXPECT_EQ(0, memcmp(na.netnum, net_a, 4));
  EXPECT_EQ(na.socket[0], (unsigned char)(port >> 8));

  // To a node: only that socket has it, with the sender's address.
  ASSERT_EQ(__netlane_internal__ipx_send_to(a, "to b", 4, &nb), 0);
  ipx_sockaddr_t from;
  EXPECT_EQ(receive(b, &from), "to b");
  EXPECT_EQ(0, memcmp(&from, &na, sizeof from));
  EXPECT_EQ(receive(a), "");
  EXPECT_EQ(receive(c), "");
  EXPECT_EQ(__netlane_internal__ipx_readable(b), 0);

  // To the broadcast node: every socket of the number, the sender's too.
  ipx_sockaddr_t all = broadcast(port);
  ASSERT_EQ(__netlane_internal__ipx_send_to(b, "all", 3, &all), 0);
  EXPECT_EQ(__netlane_internal__ipx_readable(a), 1);
  EXPECT_EQ(receive(a, &from), "all");
  EXPECT_EQ(0, memcmp(&from, &nb, sizeof from));
  EXPECT_EQ(receive(b), "all");
  EXPECT_EQ(receive(c), "");
  ASSERT_EQ(__netlane_internal__ipx_send_to(b, "", 0, &all), 0);
  char none[1];
  EXPECT_EQ(__netlane_internal__ipx_recv_from(a, none, 0, NULL), 0) << "an empty datagram";

  std::vector<char> big(IPX_MAX_PAYLOAD + 1, 'x');
  EXPECT_EQ(__netlane_internal__ipx_send_to(a, big.data(), IPX_MAX_PAYLOAD + 1, &nb), -1);
  ASSERT_EQ(__netlane_internal__ipx_send_to(a, big.data(), IPX_MAX_PAYLOAD, &nb), 0);
  EXPECT_EQ(receive(b, nullptr, IPX_MAX_PAYLOAD).size(), (size_t)IPX_MAX_PAYLOAD);
}

// A packet as the layer writes it, addressed to `node` on `net`.
std::vector<unsigned char> packet(const unsigned char *net, const unsigned char *node, int meeting_port,
                                  const std::string &data)
{
  std::vector<unsigned char> p(30 + data.size(), 0);
  p[0] = p[1] = 0xFF;
  p[2] = (unsigned char)((30 + data.size()) >> 8);
  p[3] = (unsigned char)(30 + data.size());
  memcpy(&p[6], net, 4);
  memcpy(&p[10], node, 6);
  p[16] = (unsigned char)(meeting_port >> 8);
  p[17] = (unsigned char)meeting_port;
  for (size_t i = 0; i < data.size(); i++) p[30 + i] = (unsigned char)data[i];
  return p;
}

TEST_F(IpxLayer, OnlyPacketsForTheSocketArrive)
{
  const unsigned char net_b[4] = {0, 0, 0, 0x0B};
  ipx_socket_t b = bound(net_b, port);
  ipx_sockaddr_t nb = name(b);
  int raw = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(raw, 0);
  int on = 1;
  ASSERT_EQ(setsockopt(raw, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
  // To the node's port on 127.0.0.1, or to the number's port on the
  // loopback broadcast address.
  auto send_raw = [&](const std::vector<unsigned char> &p, int to_port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(to_port == port ? 0x7FFFFFFFu : INADDR_LOOPBACK);
    to.sin_port = htons((unsigned short)to_port);
    ASSERT_EQ(sendto(raw, p.data(), p.size(), 0, (sockaddr *)&to, sizeof to), (ssize_t)p.size());
  };
  const int node_port = nb.nodenum[4] << 8 | nb.nodenum[5];
  const std::vector<unsigned char> good = packet(net_b, nb.nodenum, port, "good");

  unsigned char other_node[6];
  memcpy(other_node, nb.nodenum, 6);
  other_node[5] ^= 1;  // the port of another program on this machine
  const unsigned char other_net[4] = {0, 0, 0, 0x0C};
  const unsigned char all_nets[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  std::vector<std::vector<unsigned char>> bad = {
      std::vector<unsigned char>(good.begin(), good.begin() + 29),  // no whole header
      packet(net_b, other_node, port, "other program"),
      packet(other_net, nb.nodenum, port, "other network"),
      packet(net_b, nb.nodenum, port + 1, "other socket"),
      packet(net_b, nb.nodenum, port, std::string(65, 'l')),  // longer than the receiver's 64
      packet(net_b, nb.nodenum, port, std::string(600, 'l')),  // longer than any IPX packet
  };
  bad.push_back(good);
  bad.back()[0] = 0;  // a checksum
  bad.push_back(good);
  bad.back()[3]++;  // a length that is not the datagram's
  for (size_t i = 0; i < bad.size(); i++) {
    send_raw(bad[i], node_port);
    EXPECT_EQ(receive(b), "") << "bad datagram " << i;
  }
  // At the number's shared port only packets for the broadcast node count:
  // anything else was meant for some node, maybe another program's.
  send_raw(good, port);
  EXPECT_EQ(receive(b), "");

  // Network 0 (this one) and all networks are accepted, as are broadcasts.
  send_raw(packet(kNoNet, nb.nodenum, port, "net 0"), node_port);
  EXPECT_EQ(receive(b), "net 0");
  send_raw(packet(all_nets, broadcast(port).nodenum, port, "all"), port);
  EXPECT_EQ(receive(b), "all");

  // A receive drops a bounded number of bad datagrams before it answers.
  for (int i = 0; i < 40; i++) send_raw(bad[1], node_port);
  send_raw(good, node_port);
  EXPECT_EQ(receive(b), "");
  EXPECT_EQ(receive(b), "good");
  close(raw);
}

TEST_F(IpxLayer, BindingRules)
{
  EXPECT_EQ(__netlane_internal__ipx_open(2, IPX_DATAGRAM, 0), IPX_NO_SOCKET);
  EXPECT_EQ(__netlane_internal__ipx_open(IPX_FAMILY, 1, 0), IPX_NO_SOCKET);
  ipx_socket_t s = __netlane_internal__ipx_open(IPX_FAMILY, IPX_DATAGRAM, 0);
  ASSERT_NE(s, IPX_NO_SOCKET);
  opened.push_back(s);
  ipx_sockaddr_t all = broadcast(port);
  EXPECT_EQ(__netlane_internal__ipx_send_to(s, "x", 1, &all), -1) << "not bound yet";
  ipx_sockaddr_t a = address(kNoNet, NULL, 0);
  EXPECT_EQ(__netlane_internal__ipx_bind(s, &a), -1) << "socket number 0";
  EXPECT_EQ(__netlane_internal__ipx_bind(s, &all), -1) << "the broadcast node";
  const unsigned char lan_node[6] = {192, 0, 2, 1, 0x70, 0x00};
  a = address(kNoNet, lan_node, port);
  EXPECT_EQ(__netlane_internal__ipx_bind(s, &a), -1) << "on loopback only a loopback node";

  // A node given in full is the port a firewall can be opened for.
  ipx_socket_t probe = bound(kNoNet, port);
  unsigned char node[6];
  memcpy(node, name(probe).nodenum, 6);
  __netlane_internal__ipx_close(probe);
  opened.pop_back();
  a = address(kNoNet, node, port);
  ASSERT_EQ(__netlane_internal__ipx_bind(s, &a), 0);
  EXPECT_EQ(0, memcmp(name(s).nodenum, node, 6));
  EXPECT_EQ(__netlane_internal__ipx_bind(s, &a), -1) << "bound already";
}

}  // namespace
