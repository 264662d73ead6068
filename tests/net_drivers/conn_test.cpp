// Conns over the local host driver and over the IPX driver (kept on
// loopback): a pair connects, messages of up to 508 bytes arrive whole and
// in order both ways, a 509-byte one is refused; on the local driver also
// with the two ends in two threads.
#include <gtest/gtest.h>

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "netlane.h"

#include "inet_test_util.h"
#include "ipx_test_util.h"

namespace {

const int kMessages = 300;
const int kLargest = 508;  // a 512-byte packet less the conn's 4-byte header

// Message `index` of direction `dir`: 1 to 508 bytes that check themselves,
// the largest now and then.
std::vector<unsigned char> message(uint32_t dir, uint32_t index)
{
  uint32_t h = (dir * 2654435761u) ^ (index * 40503u);
  size_t size = index % 7 == 0 ? kLargest : 1 + h % kLargest;
  std::vector<unsigned char> m(size);
  for (size_t j = 0; j < size; j++) m[j] = (unsigned char)(h + j * 13);
  return m;
}

// One end of an exchange of kMessages each way.
struct end {
  NET_CONN *conn;
  uint32_t dir;
  int sent = 0;
  int received = 0;
  std::string fault;

  end(NET_CONN *c, uint32_t d) : conn(c), dir(d) {}

  // Queues what the window takes and checks what has arrived; true once
  // all is sent and received.
  bool step()
  {
    while (sent < kMessages) {
      std::vector<unsigned char> m = message(dir, (uint32_t)sent + 1);
      if (net_send_rdm(conn, m.data(), (int)m.size()) != 0) break;
      sent++;
    }
    unsigned char buf[1024];
    for (int n = 0; n < 20 && fault.empty(); n++) {
      int len = net_receive_rdm(conn, buf, sizeof buf);
      if (len == 0) break;
      std::vector<unsigned char> want = message(3 - dir, (uint32_t)received + 1);
      if (received >= kMessages || len != (int)want.size() || memcmp(buf, want.data(), want.size()) != 0)
        fault = "message " + std::to_string(received + 1) + " is wrong, length " + std::to_string(len);
      received++;
    }
    return sent == kMessages && received == kMessages;
  }
};

class DriverConns : public ::testing::TestWithParam<int> {
 protected:
  int drv = GetParam();
  NET_CONN *client = nullptr;
  NET_CONN *accepted = nullptr;

  void SetUp() override
  {
    keep_ipx_on_loopback();
    ASSERT_EQ(net_init(), 0);
    ASSERT_EQ(load_config_text(("[ipx]\nsocket = " + std::to_string(test_socket_number()) + "\n").c_str()), 0);
    ASSERT_EQ(net_initdriver(drv), 1);
  }
  void TearDown() override { net_shutdown(); }

  // A listener on port 900 and a client connected to it by its full
  // address; false when they have not met within two seconds.
  bool connect_pair()
  {
    NET_CHANNEL *probe = net_openchannel(drv, NULL);
    if (!probe) return false;
    std::string own = net_getlocaladdress(probe);
    net_closechannel(probe);
    std::string target = own.substr(0, own.find(':') == std::string::npos ? 0 : own.find(':')) + ":900";

    NET_CONN *listener = net_openconn(drv, ":900");
    client = net_openconn(drv, NULL);
    if (!listener || !client || net_listen(listener) != 0 || net_connect(client, target.c_str()) != 0) return false;
    int connected = 0;
    for (int i = 0; i < 2000 && (!connected || !accepted); i++) {
      if (!accepted) accepted = net_poll_listen(listener);
      if (!connected) connected = net_poll_connect(client) == 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return connected && accepted;
  }
};

TEST_P(DriverConns, MessagesOfUpTo508BytesArriveInOrder)
{
  ASSERT_TRUE(connect_pair());
  std::vector<unsigned char> big(kLargest + 1, 'b');
  EXPECT_EQ(net_send_rdm(client, big.data(), kLargest + 1), -1);

  end a{client, 1}, b{accepted, 2};
  bool done = false;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done && a.fault.empty() && b.fault.empty() && std::chrono::steady_clock::now() < until) {
    done = a.step() & b.step();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  EXPECT_TRUE(done) << "client sent " << a.sent << " got " << a.received << "; host sent " << b.sent << " got "
                    << b.received;
  EXPECT_EQ(a.fault, "");
  EXPECT_EQ(b.fault, "");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverConns, ::testing::Values(NET_DRIVER_LOCAL, NET_DRIVER_IPX_WIN),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return std::string(info.param == NET_DRIVER_LOCAL ? "Local" : "Ipx");
                         });

class LocalConns : public DriverConns {};

TEST_P(LocalConns, EndsInTwoThreads)
{
  ASSERT_TRUE(connect_pair());
  end a{client, 1}, b{accepted, 2};
  // An end that is done keeps stepping, so that the other still gets its
  // acknowledgements, until both are done.
  std::atomic<int> done{0};
  auto run = [&done](end *e) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool mine = false;
    while (done.load() < 2 && e->fault.empty() && std::chrono::steady_clock::now() < until) {
      if (e->step() && !mine) {
        mine = true;
        done++;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  };
  std::thread other(run, &b);
  run(&a);
  other.join();
  EXPECT_EQ(a.received, kMessages);
  EXPECT_EQ(b.received, kMessages);
  EXPECT_EQ(a.fault, "");
  EXPECT_EQ(b.fault, "");
}

INSTANTIATE_TEST_SUITE_P(Local, LocalConns, ::testing::Values(NET_DRIVER_LOCAL));

}  // namespace
