// Datagrams between two processes on 127.0.0.1 and on [::1], each with its
// own channel, and conns of both families to one dual-stack listener.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "netlane.h"

#include "inet_test_util.h"

TEST(InetProcesses, DatagramsBothWaysWithTheSendersText)
{
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(b, nullptr);
  ping_pong_with_peer(b, std::string("127.0.0.1") + net_getlocaladdress(b), "127.0.0.1");
  net_closechannel(b);
}

// The same over IPv6's loopback, and conns from both families to one
// listener on all interfaces: an IPv4 peer is named in dotted form.
TEST(InetProcesses, ChannelsAndConnsOverIPv6)
{
  ASSERT_EQ(net_init(), 0);
  ASSERT_EQ(net_initdriver(NET_DRIVER_WSOCK_WIN), 1);
  NET_CHANNEL *b = net_openchannel(NET_DRIVER_WSOCK_WIN, "[::1]:0");
  NET_CHANNEL *probe = b ? b : net_openchannel(NET_DRIVER_WSOCK_WIN, NULL);
  ASSERT_NE(probe, nullptr);
  std::string port = std::to_string(port_of(net_getlocaladdress(probe)));
  if (!b) {
    net_closechannel(probe);
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  EXPECT_EQ(std::string(net_getlocaladdress(b)), "[::1]:" + port);
  ping_pong_with_peer(b, "[::1]:" + port, "[::1]");
  net_closechannel(b);

  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, (":" + port).c_str());
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(net_listen(listener), 0);
  for (std::string host : {"[::1]", "127.0.0.1"}) {
    FILE *peer = popen((std::string(INET_PEER_PATH) + " " + host + ":" + port + " conn").c_str(), "r");
    ASSERT_NE(peer, nullptr);
    NET_CONN *accepted = nullptr;
    char buf[64];
    int got = 0;
    for (int i = 0; i < 5000 && got <= 0; i++) {
      if (!accepted)
        accepted = net_poll_listen(listener);
      if (accepted)
        got = net_receive_rdm(accepted, buf, sizeof buf);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(got, 4) << host;
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(std::string(accepted->peer_addr).rfind(host + ":", 0), 0u) << accepted->peer_addr;
    ASSERT_EQ(net_send_rdm(accepted, "pong", 4), 0);
    // The peer ends within ten seconds whatever happens: the read is bounded.
    char line[256] = "";
    EXPECT_NE(fgets(line, sizeof line, peer), nullptr);
    EXPECT_EQ(std::string(line), "reply pong from " + host + ":" + port + "\n");
    int status = pclose(peer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    net_closeconn(accepted);
  }
  net_closeconn(listener);
}
