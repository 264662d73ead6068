// Forged source addresses, as anyone on a network without source filtering
// can send them: datagrams written whole, IP header and all, through a raw
// socket, inside a private network namespace that each test makes (skipped
// where unshare or raw sockets are refused). One forged request in a
// joined client's address and port must not cut it off, whether the client
// is netlane's (proved) or follows the original protocol; a netlane client joins
// within a second while 2,000 forged requests a second arrive from
// distinct /24s.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "netlane.h"
#include "private_net.h"

namespace {

const int kSkip = 77;  // a child that found no namespace or raw socket

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t)
{
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Runs `body` in a child inside a private network namespace with its
// loopback up: its answer (0 passed), kSkip when there is no namespace.
int in_private_net(const std::function<int()> &body, int limit_s)
{
  fflush(NULL);
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0 || !loopback_up()) _exit(kSkip);
    _exit(body());
  }
  int status = 0;
  for (int waited = 0; waited <= limit_s * 1000; waited += 20) {
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  fprintf(stderr, "the test's child did not end in %d s\n", limit_s);
  return 1;
}

#define CHECK(cond)                                                         \
  do {                                                                      \
    if (!(cond)) {                                                          \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond);   \
      return 1;                                                             \
    }                                                                       \
  } while (0)

// A raw socket that sends UDP datagrams with any IPv4 source.
struct forger {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  ~forger()
  {
    if (fd >= 0) close(fd);
  }
  bool ok() const { return fd >= 0; }
  // `from` and `to` in host order.
  void send(uint32_t from, uint16_t from_port, uint32_t to, uint16_t to_port, const std::vector<unsigned char> &bytes)
  {
    std::vector<unsigned char> pkt(sizeof(iphdr) + sizeof(udphdr) + bytes.size());
    iphdr *ip = reinterpret_cast<iphdr *>(pkt.data());
    ip->version = 4;
    ip->ihl = 5;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->saddr = htonl(from);
    ip->daddr = htonl(to);
    ip->tot_len = htons((uint16_t)pkt.size());  // the kernel fills it and the checksum too
    udphdr *udp = reinterpret_cast<udphdr *>(pkt.data() + sizeof(iphdr));
    udp->source = htons(from_port);
    udp->dest = htons(to_port);
    udp->len = htons((uint16_t)(sizeof(udphdr) + bytes.size()));
    udp->check = 0;  // none, as IPv4 allows
    memcpy(pkt.data() + sizeof(iphdr) + sizeof(udphdr), bytes.data(), bytes.size());
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(to);
    sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&dest), sizeof dest);
  }
};

std::vector<unsigned char> request(uint32_t id)
{
  return {'c', 'o', 'n', 'n', 'e', 'c', 't', 0, (unsigned char)(id >> 24), (unsigned char)(id >> 16),
          (unsigned char)(id >> 8), (unsigned char)id};
}

const uint32_t kHost = 0x7F000001;  // 127.0.0.1
const uint16_t kPort = 31000;
const char *kWhere = "127.0.0.1:31000";

// The host: accepts every conn (keeping all of them open, the worst case
// for its places) and notes every message each one hands out, until told
// to stop.
struct host_loop {
  std::atomic<bool> stop{false};
  std::mutex m;
  std::map<std::string, std::vector<int>> got;  // per peer address, the messages
  std::vector<std::string> accepted;            // peer addresses, in order
  std::thread thread;
  bool listening = false;

  void start()
  {
    NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, kWhere);
    listening = listener && net_listen(listener) == 0;
    thread = std::thread([this, listener] {
      std::vector<NET_CONN *> conns;
      while (!stop) {
        for (int n = 0; n < 64; n++) {
          NET_CONN *fresh = net_poll_listen(listener);
          if (!fresh) break;
          conns.push_back(fresh);
          std::lock_guard<std::mutex> hold(m);
          accepted.push_back(net_getpeer(fresh));
        }
        for (NET_CONN *c : conns) {
          int value;
          while (net_receive_rdm(c, &value, sizeof value) == (int)sizeof value) {
            std::lock_guard<std::mutex> hold(m);
            got[net_getpeer(c)].push_back(value);
          }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
  }
  void end()
  {
    stop = true;
    if (thread.joinable()) thread.join();
  }
};

// A netlane client from `bind`, connected within `seconds`, or NULL.
NET_CONN *join(const char *bind, double seconds, double *took = nullptr)
{
  auto start = clock_type::now();
  NET_CONN *conn = net_openconn(NET_DRIVER_WSOCK_WIN, bind);
  if (!conn || net_connect(conn, kWhere) != 0) return nullptr;
  while (seconds_since(start) < seconds) {
    if (net_poll_connect(conn) == 1) {
      if (took) *took = seconds_since(start);
      return conn;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  net_closeconn(conn);
  return nullptr;
}

bool all_in_order(const std::vector<int> &v, int n)
{
  if ((int)v.size() != n) return false;
  for (int i = 0; i < n; i++)
    if (v[(size_t)i] != i) return false;
  return true;
}

void expect_passed(int answer)
{
  if (answer == kSkip) GTEST_SKIP() << "no private network namespace or raw socket here";
  EXPECT_EQ(answer, 0) << "see the child's report above";
}

const int kLines = 60;        // messages of the joined client, one per 20 ms
const int kForgedAt = 15;     // after which the forged request comes

// A netlane client joined from 127.0.0.3:40001 sends a message every 20 ms;
// after the 15th, one forged request with a new id in its address and
// port. Every message reaches the host on the client's one conn.
int netlane_client_keeps_its_address()
{
  forger f;
  if (!f.ok()) return kSkip;
  net_set_timer_func(NULL);
  CHECK(net_init() == 0 && net_initdriver(NET_DRIVER_WSOCK_WIN) == 1);
  host_loop host;
  host.start();
  CHECK(host.listening);
  NET_CONN *alice = join("127.0.0.3:40001", 2);
  CHECK(alice);
  for (int i = 0; i < kLines; i++) {
    CHECK(net_send_rdm(alice, &i, sizeof i) == 0);
    if (i == kForgedAt) f.send(0x7F000003, 40001, kHost, kPort, request(0x10000));
    for (int t = 0; t < 20; t++) {
      net_query_rdm(alice);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  auto wait = clock_type::now();
  int out_q = -1;
  while (seconds_since(wait) < 3 && out_q != 0) {
    net_conn_stats(alice, NULL, &out_q);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  host.end();
  CHECK(out_q == 0);
  CHECK(host.accepted.size() == 1);
  CHECK(all_in_order(host.got["127.0.0.3:40001"], kLines));
  NET_CONN_FIGURES fig;
  CHECK(net_conn_figures(alice, &fig) == 0 && fig.proved == 1);
  net_shutdown();
  return 0;
}

// The same with a client that follows the original protocol, of a plain socket: the
// plain request and reply, then its data, resent every 100 ms until the
// 8-byte acknowledgement comes.
int design_client_keeps_its_address()
{
  forger f;
  if (!f.ok()) return kSkip;
  net_set_timer_func(NULL);
  CHECK(net_init() == 0 && net_initdriver(NET_DRIVER_WSOCK_WIN) == 1);
  host_loop host;
  host.start();
  CHECK(host.listening);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me{}, to{};
  me.sin_family = to.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(0x7F000003);
  me.sin_port = htons(40002);
  to.sin_addr.s_addr = htonl(kHost);
  to.sin_port = htons(kPort);
  CHECK(bind(s, reinterpret_cast<sockaddr *>(&me), sizeof me) == 0);
  auto receive = [&](std::vector<unsigned char> *d, sockaddr_in *from, int ms) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    d->resize(70000);
    socklen_t len = sizeof *from;
    ssize_t n = recvfrom(s, d->data(), d->size(), 0, reinterpret_cast<sockaddr *>(from), &len);
    if (n < 0) return false;
    d->resize((size_t)n);
    return true;
  };
  // The handshake: the request once a 100 ms until 8 zero bytes come.
  std::vector<unsigned char> d;
  sockaddr_in peer{};
  bool connected = false;
  for (int tries = 0; tries < 20 && !connected; tries++) {
    auto r = request(1234);
    sendto(s, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    while (!connected && receive(&d, &peer, 100)) connected = d == std::vector<unsigned char>(8, 0);
  }
  CHECK(connected);
  std::vector<bool> acked(kLines + 1, false);
  std::vector<clock_type::time_point> last(kLines + 1);
  auto send_data = [&](uint32_t index) {
    int value = (int)index - 1;
    unsigned char pkt[8] = {(unsigned char)index, (unsigned char)(index >> 8), (unsigned char)(index >> 16),
                            (unsigned char)(index >> 24)};
    memcpy(pkt + 4, &value, 4);
    sendto(s, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    last[index] = clock_type::now();
  };
  auto take_acks = [&](int ms) {
    sockaddr_in from{};
    while (receive(&d, &from, ms)) {
      ms = 0;
      if (d.size() == 8 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0) {
        uint32_t a = d[4] | d[5] << 8 | d[6] << 16 | (uint32_t)d[7] << 24;
        if (a >= 1 && a <= (uint32_t)kLines) acked[a] = true;
      }
    }
  };
  auto resend = [&](uint32_t upto) {
    for (uint32_t i = 1; i <= upto; i++)
      if (!acked[i] && seconds_since(last[i]) > 0.1) send_data(i);
  };
  for (uint32_t i = 1; i <= (uint32_t)kLines; i++) {
    send_data(i);
    if (i == kForgedAt) f.send(0x7F000003, 40002, kHost, kPort, request(99999));
    take_acks(20);
    resend(i);
  }
  auto wait = clock_type::now();
  auto all_acked = [&] {
    for (int i = 1; i <= kLines; i++)
      if (!acked[(size_t)i]) return false;
    return true;
  };
  while (!all_acked() && seconds_since(wait) < 3) {
    take_acks(10);
    resend(kLines);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  host.end();
  close(s);
  CHECK(all_acked());
  CHECK(host.accepted.size() == 1);
  CHECK(all_in_order(host.got["127.0.0.3:40002"], kLines));
  net_shutdown();
  return 0;
}

// Forged requests at 2,000 a second, each from an address of a /24 of its
// own, most of them plain requests, some of them proofs with made-up cookies:
// three netlane clients in turn each join within a second and are heard.
int netlane_clients_join_under_a_flood()
{
  forger f;
  if (!f.ok()) return kSkip;
  net_set_timer_func(NULL);
  CHECK(net_init() == 0 && net_initdriver(NET_DRIVER_WSOCK_WIN) == 1);
  host_loop host;
  host.start();
  CHECK(host.listening);
  std::atomic<bool> flooding{true};
  std::atomic<long> forged{0};
  std::thread flood([&] {
    std::mt19937 rng(2024);
    auto start = clock_type::now();
    while (flooding) {
      // Keep to 2,000 a second from the start.
      long due = (long)(seconds_since(start) * 2000);
      for (; forged < due; forged++) {
        uint32_t from = 0x7F000000u | ((1 + rng() % 254) << 16) | ((rng() % 256) << 8) | (1 + rng() % 254);
        std::vector<unsigned char> r = request((uint32_t)rng());
        if (rng() % 4 == 0) {  // a proof that holds no cookie of the host's
          r.resize(40, 0);
          r[12] = 'N';
          r[13] = 'L';
          r[14] = 3;
          r[15] = 1;
          for (size_t i = 16; i < 40; i++) r[i] = (unsigned char)rng();
        }
        f.send(from, (uint16_t)(1024 + rng() % 60000), kHost, kPort, r);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the unproved places are full by now
  int failures = 0;
  for (int c = 0; c < 3; c++) {
    double took = -1;
    std::string bind = "127.0.0." + std::to_string(20 + c) + ":" + std::to_string(41000 + c);
    NET_CONN *client = join(bind.c_str(), 1.0, &took);
    fprintf(stderr, "netlane client %d under the flood: %s in %.0f ms\n", c, client ? "joined" : "did not join",
            took * 1000);
    if (!client) {
      failures++;
      continue;
    }
    int value = 0;
    CHECK(net_send_rdm(client, &value, sizeof value) == 0);
    auto wait = clock_type::now();
    int out_q = -1;
    while (out_q != 0 && seconds_since(wait) < 2) {
      net_conn_stats(client, NULL, &out_q);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CHECK(out_q == 0);
  }
  flooding = false;
  flood.join();
  host.end();
  fprintf(stderr, "forged requests sent: %ld; conns the host handed out: %zu\n", forged.load(),
          host.accepted.size());
  CHECK(failures == 0);
  CHECK(forged > 2000);
  net_shutdown();
  return 0;
}

TEST(ForgedSources, OneForgedRequestLeavesAJoinedNetlaneClientItsMessages)
{
  if (geteuid() != 0) GTEST_SKIP() << "not root: no private network namespace";
  expect_passed(in_private_net(netlane_client_keeps_its_address, 30));
}

TEST(ForgedSources, OneForgedRequestLeavesAJoinedDesignClientItsMessages)
{
  if (geteuid() != 0) GTEST_SKIP() << "not root: no private network namespace";
  expect_passed(in_private_net(design_client_keeps_its_address, 30));
}

TEST(ForgedSources, NetlaneClientsJoinWithinASecondUnderAFloodOfForgedRequests)
{
  if (geteuid() != 0) GTEST_SKIP() << "not root: no private network namespace";
  expect_passed(in_private_net(netlane_clients_join_under_a_flood, 40));
}

}  // namespace
