// Two processes exchange 2,000 messages each way over conns on the UDP
// driver, and again on the IPX driver (whose layer rides on UDP), through a
// loopback that really loses datagrams: a private network namespace whose
// nftables rule drops 20% of incoming UDP. Then a client behind a
// masquerading router, and one behind a stateful firewall, each joins a host
// in another namespace and exchanges as many. Needs root, ip and nft;
// skipped with a message elsewhere.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "netlane.h"
#include "private_net.h"

namespace {

const int kMessages = 2000;
const int kSkip = 77;           // exit status of a child that found no namespace or nft

// What differs between the drivers the exchange runs on.
struct transport {
  int driver;
  const char *listen;  // the host's binding text
  const char *target;  // where the client connects
  uint32_t largest;    // the largest message sent
};
// Port 31000 is free in any fresh namespace. The IPX client finds the host
// by a broadcast, kept on loopback.
const transport kUdp = {NET_DRIVER_WSOCK_WIN, ":31000", "127.0.0.1:31000", 1400};
const transport kIpx = {NET_DRIVER_IPX_WIN, ":31000", "*:31000", 508};
const int kSideSeconds = 60;    // a side that has not finished by then fails

const char *kRules =
    "table inet rdmloss {\n"
    "  chain in {\n"
    "    type filter hook input priority 0; policy accept;\n"
    "    iifname \"lo\" meta l4proto udp numgen random mod 100 < 20 counter drop\n"
    "  }\n"
    "}\n";

uint32_t mix(uint32_t x)
{
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Message `index` of direction `dir`: 1 to `largest` bytes that check
// themselves.
std::vector<unsigned char> message(uint32_t dir, uint32_t index, uint32_t largest)
{
  uint32_t h = mix(dir * 0x9e3779b9U + index);
  std::vector<unsigned char> m(1 + h % largest);
  for (size_t j = 0; j < m.size(); j++) m[j] = (unsigned char)(h >> 8) + (unsigned char)(j * 31);
  return m;
}

bool install_loss()
{
  FILE *nft = popen("nft -f - 2>&1", "w");
  if (!nft) return false;
  fputs(kRules, nft);
  return pclose(nft) == 0;
}

// The drop counter of the rule, or -1 when it cannot be read.
long dropped_so_far()
{
  FILE *nft = popen("nft list chain inet rdmloss in 2>/dev/null", "r");
  if (!nft) return -1;
  char line[512];
  long packets = -1;
  while (fgets(line, sizeof line, nft)) {
    const char *p = strstr(line, "counter packets ");
    if (p) packets = atol(p + strlen("counter packets "));
  }
  pclose(nft);
  return packets;
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// One side of the exchange; answers 0 on success, 1 on failure (with the
// reason on standard error).
int run_side(bool host, const char *config, const transport &t)
{
  const char *who = host ? "host" : "client";
  auto start = std::chrono::steady_clock::now();
  if (net_init() != 0 || net_loadconfig(config) != 0 || !net_initdriver(t.driver)) {
    fprintf(stderr, "%s: the library did not start\n", who);
    return 1;
  }
  NET_CONN *conn = nullptr;
  NET_CONN *listener = nullptr;
  if (host) {
    listener = net_openconn(t.driver, t.listen);
    if (!listener || net_listen(listener) != 0) {
      fprintf(stderr, "host: cannot listen\n");
      return 1;
    }
    while (!conn && seconds_since(start) < kSideSeconds) {
      conn = net_poll_listen(listener);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  } else {
    conn = net_openconn(t.driver, NULL);
    if (!conn || net_connect(conn, t.target) != 0) {
      fprintf(stderr, "client: cannot connect\n");
      return 1;
    }
    while (net_poll_connect(conn) == 0 && seconds_since(start) < kSideSeconds) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (net_poll_connect(conn) != 1) conn = nullptr;
  }
  if (!conn) {
    fprintf(stderr, "%s: no connection\n", who);
    return 1;
  }

  uint32_t mine = host ? 1 : 2, theirs = host ? 2 : 1;
  int sent = 0, received = 0, out_q = -1;
  std::vector<unsigned char> next = message(mine, 1, t.largest), buf(2048);
  bool done = false;
  while (!done && seconds_since(start) < kSideSeconds) {
    // The client's reply may have been lost: keep answering its requests.
    if (listener && net_poll_listen(listener)) {
      fprintf(stderr, "host: a second conn from one client\n");
      return 1;
    }
    while (sent < kMessages && net_send_rdm(conn, next.data(), (int)next.size()) == 0) {
      sent++;
      next = message(mine, (uint32_t)sent + 1, t.largest);
    }
    for (int n = 0; n < 50; n++) {
      int len = net_receive_rdm(conn, buf.data(), (int)buf.size());
      if (len == 0) break;
      std::vector<unsigned char> want = message(theirs, (uint32_t)received + 1, t.largest);
      if (received >= kMessages || len != (int)want.size() || memcmp(buf.data(), want.data(), want.size()) != 0) {
        fprintf(stderr, "%s: message %d is wrong (length %d)\n", who, received + 1, len);
        return 1;
      }
      received++;
    }
    net_conn_stats(conn, NULL, &out_q);
    done = received == kMessages && sent == kMessages && out_q == 0;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (!done) {
    fprintf(stderr, "%s: sent %d, received %d, %d unacknowledged after %d s\n", who, sent, received, out_q,
            kSideSeconds);
    return 1;
  }
  // Keep acknowledging a while: the peer may still miss an acknowledgement.
  auto linger = std::chrono::steady_clock::now();
  while (seconds_since(linger) < 1.5) {
    net_query_rdm(conn);
    if (listener) net_poll_listen(listener);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  net_shutdown();
  return 0;
}

// The namespace, its lossy loopback and both sides. 0 passed; kSkip no
// namespace or nft; anything else failed.
int run_pair(const transport &t)
{
  if (unshare(CLONE_NEWNET) != 0) {
    fprintf(stderr, "cannot make a private network namespace\n");
    return kSkip;
  }
  if (!loopback_up() || !install_loss()) {
    fprintf(stderr, "cannot bring up a lossy loopback with nft\n");
    return kSkip;
  }
  char config[] = "/tmp/rdm_netns_cfgXXXXXX";
  int fd = mkstemp(config);
  const char text[] = "[conns]\nconn_resend_rate = 20\n";
  if (fd < 0 || write(fd, text, sizeof text - 1) != (ssize_t)(sizeof text - 1)) return 1;
  close(fd);

  fflush(NULL);
  pid_t client = fork();
  if (client == 0) _exit(run_side(false, config, t));
  int host_result = run_side(true, config, t);
  int status = 0;
  for (int i = 0; i < (kSideSeconds + 10) * 10; i++) {
    if (waitpid(client, &status, WNOHANG) == client) break;
    if (i == (kSideSeconds + 10) * 10 - 1) {
      kill(client, SIGKILL);
      waitpid(client, &status, 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  unlink(config);
  long dropped = dropped_so_far();
  fprintf(stderr, "datagrams dropped by the loopback: %ld\n", dropped);
  bool client_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (dropped <= 0) return 1;
  return host_result == 0 && client_ok ? 0 : 1;
}

void exchange(const transport &t)
{
  if (geteuid() != 0) GTEST_SKIP() << "not root: no private network namespace for the lossy loopback";
  if (system("command -v nft >/dev/null 2>&1") != 0) GTEST_SKIP() << "nft not installed: no lossy loopback";

  fflush(NULL);
  pid_t pair = fork();
  ASSERT_GE(pair, 0);
  if (pair == 0) {
    setpgid(0, 0);
    // The namespace has only a loopback: the IPX layer must keep to it.
    setenv("NETLANE_IPX_LOOPBACK", "1", 1);
    _exit(run_pair(t));
  }
  int status = 0;
  const int limit_ms = (2 * kSideSeconds + 30) * 1000;
  for (int waited = 0; waited <= limit_ms; waited += 50) {
    if (waitpid(pair, &status, WNOHANG) == pair) break;
    if (waited == limit_ms) {
      kill(-pair, SIGKILL);
      waitpid(pair, &status, 0);
      FAIL() << "the exchange did not end";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << "no private network namespace or nftables here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the sides' reports above";
}

TEST(LossyLoopback, TwoProcessesExchange2000MessagesEachWay) { exchange(kUdp); }

// Three named namespaces: the client's, a router's and the host's, joined by
// two veth pairs. Names are global on the machine, so they carry our pid.
struct three_nets {
  std::string client, router, host;
  bool made = false;
  explicit three_nets(const char *tag)
  {
    std::string base = "yl" + std::string(tag) + std::to_string(getpid());
    client = base + "c";
    router = base + "r";
    host = base + "h";
  }
  ~three_nets()
  {
    if (made) run("ip netns del " + client + "; ip netns del " + router + "; ip netns del " + host);
  }
  static bool run(const std::string &script)
  {
    return system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
  }
  bool make(const std::string &extra)
  {
    made = true;
    const std::string C = client, R = router, H = host;
    return run("set -e; ip netns add " + C + "; ip netns add " + R + "; ip netns add " + H +
               "; ip -n " + R + " link add rc type veth peer name cr netns " + C +
               "; ip -n " + R + " link add rh type veth peer name hr netns " + H +
               "; ip -n " + C + " addr add 10.77.1.2/24 dev cr; ip -n " + C + " link set cr up" +
               "; ip -n " + C + " link set lo up; ip -n " + C + " route add default via 10.77.1.1" +
               "; ip -n " + R + " addr add 10.77.1.1/24 dev rc; ip -n " + R + " link set rc up" +
               "; ip -n " + R + " addr add 10.77.2.1/24 dev rh; ip -n " + R + " link set rh up" +
               "; ip -n " + H + " addr add 10.77.2.2/24 dev hr; ip -n " + H + " link set hr up" +
               "; ip -n " + H + " link set lo up" +
               "; ip netns exec " + R + " sysctl -qw net.ipv4.ip_forward=1; " + extra);
  }
};

// Runs one side in the named namespace in a child: its exit status.
pid_t side_in(const std::string &ns, bool host, const char *config, const transport &t)
{
  fflush(NULL);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(kSkip);
  close(fd);
  _exit(run_side(host, config, t));
}

void join_through(const char *tag, const std::string &(*extra)(const three_nets &))
{
  if (geteuid() != 0) GTEST_SKIP() << "not root: no private network namespaces";
  if (system("command -v nft >/dev/null 2>&1 && command -v ip >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "ip or nft not installed";
  three_nets nets(tag);
  if (!nets.make(extra(nets))) GTEST_SKIP() << "cannot make the namespaces, veth pairs and nftables rules";
  char config[] = "/tmp/rdm_nat_cfgXXXXXX";
  int fd = mkstemp(config);
  const char text[] = "[conns]\nconn_resend_rate = 50\n";
  ASSERT_EQ(write(fd, text, sizeof text - 1), (ssize_t)(sizeof text - 1));
  close(fd);
  const transport t = {NET_DRIVER_WSOCK_WIN, "10.77.2.2:31000", "10.77.2.2:31000", 1400};
  pid_t host = side_in(nets.host, true, config, t);
  pid_t client = side_in(nets.client, false, config, t);
  int statuses[2] = {-1, -1};
  pid_t pids[2] = {host, client};
  for (int i = 0; i < 2; i++) {
    for (int waited = 0; waited <= (kSideSeconds + 10) * 1000; waited += 50) {
      if (waitpid(pids[i], &statuses[i], WNOHANG) == pids[i]) break;
      if (waited >= (kSideSeconds + 10) * 1000) {
        kill(pids[i], SIGKILL);
        waitpid(pids[i], &statuses[i], 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  unlink(config);
  EXPECT_TRUE(WIFEXITED(statuses[0]) && WEXITSTATUS(statuses[0]) == 0) << "host: see its report above";
  EXPECT_TRUE(WIFEXITED(statuses[1]) && WEXITSTATUS(statuses[1]) == 0) << "client: see its report above";
}

// What nearly every home router does: the client's datagrams leave with
// the router's address and a port of its choosing, and only answers from
// where they went come back in.
TEST(BehindRouters, ClientBehindMasqueradeJoinsAndExchanges)
{
  join_through("m", [](const three_nets &n) -> const std::string & {
    static std::string rules;
    rules = "ip netns exec " + n.router + " sh -c \"nft add table ip nat && nft add chain ip nat post "
            "'{ type nat hook postrouting priority 100; }' && nft add rule ip nat post oifname rh masquerade\"";
    return rules;
  });
}

// A desktop's default: no address translation, but incoming datagrams are
// dropped unless they belong to a flow the client started.
TEST(BehindRouters, ClientBehindStatefulFirewallJoinsAndExchanges)
{
  join_through("f", [](const three_nets &n) -> const std::string & {
    static std::string rules;
    rules = "ip -n " + n.host + " route add 10.77.1.0/24 via 10.77.2.1; ip netns exec " + n.client +
            " sh -c \"nft add table inet fw && nft add chain inet fw in '{ type filter hook input priority 0; "
            "policy drop; }' && nft add rule inet fw in ct state established,related accept && "
            "nft add rule inet fw in iifname lo accept\"";
    return rules;
  });
}
TEST(LossyLoopback, TwoIpxProcessesExchange2000MessagesEachWay) { exchange(kIpx); }

}  // namespace
