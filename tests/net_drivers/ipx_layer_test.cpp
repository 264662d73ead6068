// The IPX sockets layer on loopback takes in only IPX packets for its own
// socket: packets crafted with a plain UDP socket, malformed, too long, or
// meant for another socket, network or program, are dropped.
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

const int kPort = test_meeting_port();

// A packet as the layer writes it, for `node` on `net`.
std::vector<unsigned char> packet(unsigned char net, const unsigned char *node, int port, const std::string &data)
{
  std::vector<unsigned char> p(30 + data.size(), 0);
  p[0] = p[1] = 0xFF;
  p[2] = (unsigned char)(p.size() >> 8);
  p[3] = (unsigned char)p.size();
  p[6] = p[7] = p[8] = p[9] = net;
  memcpy(&p[10], node, 6);
  p[16] = (unsigned char)(port >> 8);
  p[17] = (unsigned char)port;
  memcpy(&p[30], data.data(), data.size());
  return p;
}

TEST(IpxLayer, OnlyPacketsForTheSocketArrive)
{
  keep_ipx_on_loopback();
  ipx_socket_t s = __netlane_internal__ipx_open(IPX_FAMILY, IPX_DATAGRAM, 0);
  ipx_sockaddr_t me = {IPX_FAMILY, {7, 7, 7, 7}, {0}, {(unsigned char)(kPort >> 8), (unsigned char)kPort}};
  ASSERT_EQ(__netlane_internal__ipx_set_nonblocking(s), 0);
  ASSERT_EQ(__netlane_internal__ipx_bind(s, &me), 0);
  ASSERT_EQ(__netlane_internal__ipx_local_name(s, &me), 0);
  const unsigned char all[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  unsigned char other[6];
  memcpy(other, me.nodenum, 6);
  other[5] ^= 1;  // the port of another program on this machine

  int raw = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  ASSERT_EQ(setsockopt(raw, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
  // To the node's port, or to the socket number's on the loopback broadcast
  // address.
  auto send = [&](const std::vector<unsigned char> &p, bool broadcast) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(broadcast ? 0x7FFFFFFFu : INADDR_LOOPBACK);
    to.sin_port = htons((unsigned short)(broadcast ? kPort : me.nodenum[4] << 8 | me.nodenum[5]));
    EXPECT_EQ(sendto(raw, p.data(), p.size(), 0, (sockaddr *)&to, sizeof to), (ssize_t)p.size());
  };
  auto arrives = [&](const std::vector<unsigned char> &p, bool broadcast) {
    send(p, broadcast);
    char buf[64];
    return __netlane_internal__ipx_recv_from(s, buf, sizeof buf, NULL) >= 0;
  };
  const std::vector<unsigned char> good = packet(7, me.nodenum, kPort, "good");
  std::vector<unsigned char> no_checksum = good, wrong_length = good;
  no_checksum[0] = 0;
  wrong_length[3]++;
  EXPECT_FALSE(arrives(std::vector<unsigned char>(good.begin(), good.begin() + 29), false));
  EXPECT_FALSE(arrives(no_checksum, false));
  EXPECT_FALSE(arrives(wrong_length, false));
  EXPECT_FALSE(arrives(packet(7, other, kPort, "another program's"), false));
  EXPECT_FALSE(arrives(packet(8, me.nodenum, kPort, "another network"), false));
  EXPECT_FALSE(arrives(packet(7, me.nodenum, kPort + 1, "another socket"), false));
  EXPECT_FALSE(arrives(packet(7, me.nodenum, kPort, std::string(65, 'l')), false)) << "longer than the buffer";
  EXPECT_FALSE(arrives(packet(7, me.nodenum, kPort, std::string(600, 'l')), false)) << "longer than IPX allows";
  // Where every program of the number listens, only broadcasts count.
  EXPECT_FALSE(arrives(good, true));
  EXPECT_TRUE(arrives(packet(0xFF, all, kPort, "all"), true));
  EXPECT_TRUE(arrives(packet(0, me.nodenum, kPort, "network 0: this one"), false));

  // A receive drops a bounded number of bad packets before it answers.
  for (int i = 0; i < 40; i++) send(no_checksum, false);
  EXPECT_FALSE(arrives(good, false));
  char buf[8];
  EXPECT_EQ(__netlane_internal__ipx_recv_from(s, buf, sizeof buf, NULL), 4) << "the next one goes on";
  close(raw);
  __netlane_internal__ipx_close(s);
}

}  // namespace
