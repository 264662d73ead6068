// The peers of the hostile-participant test, against a real chat host on
// 127.0.0.1 (tests/e2e_chat/test_chat.py starts the host and this program):
// two honest clients, Alice and Bobby, each say `lines` lines to the other;
// a flooder, joined before or after them, sends "Chng", "ReJo", "Sund" and
// overlong messages as fast as its conn takes them; a stranger sends empty
// and junk datagrams to the host's conn ports and junk to its listening
// port; once the lines are through, a late client must still join. The
// peers speak the chat's packets over netlane conns.
//
//   hostile_peers <port> <flooder-first|flooder-last> [lines]
//   hostile_peers <port> strangers <host pid>
//   hostile_peers <port> talker <lines>
//
// In the second form a stranger at 127.0.0.2 sends 10 and then 2,000
// connect requests with ids of its own and never speaks; after each burst
// an honest client must get its number within 3 s, and the host's open
// descriptors (/proc/<pid>/fd) must stay within a few of what it had.
//
// In the third form one honest client, Talker, joins and says `lines` lines
// "T 000", "T 001", ... at 20 a second, prints "said <lines>", then says
// each line that standard input brings, until it ends.
//
// Prints what each did and saw; exits 0 when every honest line reached the
// other honest client exactly once and in order and the late client got
// its number. Every wait has a deadline; nothing runs past about 60 s.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "netlane.h"

namespace {

const int kPacket = 1024;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::vector<char> packet(const char *id, std::vector<int> bytes = {}, const std::string &text = "")
{
  std::vector<char> p(kPacket, 0);
  memcpy(p.data(), id, 4);
  size_t at = 4;
  for (int b : bytes) p[at++] = (char)b;
  memcpy(p.data() + at, text.data(), text.size());
  return p;
}

struct Peer {
  std::string name;
  NET_CONN *conn = nullptr;
  int number = 0;  // from "You!"
  bool up = false;
  std::vector<std::pair<int, std::string>> lines;  // every "Mesg": author, text
  std::vector<long> got_at;                        // ms since start, per line

  bool connect_to(const std::string &host)
  {
    conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    return conn && net_connect(conn, host.c_str()) == 0;
  }
  bool send(const std::vector<char> &p) { return up && net_send_rdm(conn, p.data(), (int)p.size()) == 0; }
  // Takes in what waits; on the first step after connecting, asks to join.
  void step(Clock::time_point t0)
  {
    if (!conn) return;
    if (!up) {
      if (net_poll_connect(conn) != 1) return;
      up = true;
      send(packet("ReJo", {7}, name));
    }
    char buf[kPacket];
    for (int n = 0; n < 200; n++) {
      int size = net_query_rdm(conn);
      if (size <= 0) break;
      if (size > kPacket) {
        net_ignore_rdm(conn);
        continue;
      }
      if (net_receive_rdm(conn, buf, sizeof buf) <= 0) break;
      if (memcmp(buf, "You!", 4) == 0) number = buf[4];
      if (memcmp(buf, "Mesg", 4) == 0) {
        lines.push_back({buf[4], std::string(buf + 5, strnlen(buf + 5, 50))});
        got_at.push_back(ms_since(t0));
      }
    }
  }
};

// Datagrams from a socket of its own, which no conn knows.
struct Stranger {
  int sock = -1;
  std::mt19937 rng{7};
  long listen_sent = 0, empty_sent = 0, junk_sent = 0;

  // `host`: the loopback address to send from, another machine to the chat.
  explicit Stranger(in_addr_t host = 0)
  {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(host);
    if (host) bind(sock, (sockaddr *)&at, sizeof at);
  }
  // Datagrams that came back, all taken now.
  int drain()
  {
    unsigned char buf[64];
    int n = 0;
    while (n < 100000 && recv(sock, buf, sizeof buf, MSG_DONTWAIT) >= 0) n++;
    return n;
  }
  ~Stranger() { close(sock); }
  void send_to(int port, const std::vector<unsigned char> &bytes)
  {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock, bytes.data(), bytes.size(), 0, (sockaddr *)&to, sizeof to);
  }
  std::vector<unsigned char> junk(size_t max)
  {
    std::vector<unsigned char> b(1 + rng() % max);
    for (auto &c : b) c = (unsigned char)rng();
    if (b.size() >= 8) b[0] = 'x';  // never a connect request
    return b;
  }
};

// The port of a conn's peer address, "127.0.0.1:40123".
int peer_port(NET_CONN *conn)
{
  const char *peer = net_getpeer(conn);
  const char *colon = peer ? strchr(peer, ':') : nullptr;
  return colon ? atoi(colon + 1) : 0;
}

int open_descriptors(const std::string &pid)
{
  std::string dir = "/proc/" + pid + "/fd";
  int n = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n;
}

// Strangers' conns must neither fill the chat nor the host's descriptors.
int strangers(int port, const std::string &host_pid)
{
  std::string host = "127.0.0.1:" + std::to_string(port);
  Stranger stranger(INADDR_LOOPBACK + 1);
  int before = open_descriptors(host_pid);
  unsigned int id = 1000;
  auto request = [&] {
    std::vector<unsigned char> r = {'c', 'o', 'n', 'n', 'e', 'c', 't', 0, 0, 0, (unsigned char)(id >> 8),
                                    (unsigned char)id};
    id++;
    stranger.send_to(port, r);
  };
  bool ok = before > 0;
  int most = before, replies = 0;
  std::vector<Peer> honest(2);
  int burst[2] = {10, 2000};
  for (int b = 0; b < 2; b++) {
    // The burst at 4,000 a second; the honest client sets out when half of
    // it is out, and has 3 s from then.
    auto start = Clock::now(), set_out = start;
    Peer &p = honest[b];
    p.name = b ? "Second" : "First";
    int sent = 0;
    long took = -1;
    for (int n = 0; n < 1000000 && (!p.number || sent < burst[b]) && ms_since(set_out) < 3000; n++) {
      while (sent < burst[b] && sent < 4 * ms_since(start) + 10) {
        request();
        sent++;
      }
      if (!p.conn && sent >= burst[b] / 2) {
        set_out = Clock::now();
        if (!p.connect_to(host)) return 2;
      }
      for (Peer &q : honest) q.step(start);
      if (p.number && took < 0) took = ms_since(set_out);
      replies += stranger.drain();
      most = std::max(most, open_descriptors(host_pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    printf("burst of %d requests (%d sent): %s got its number %d, %ld ms after setting out\n", burst[b], sent,
           p.name.c_str(), p.number, took);
    ok = ok && p.number > 1;
  }
  replies += stranger.drain();
  printf("host descriptors: %d before, at most %d; the stranger got %d replies\n", before, most, replies);
  // Four silent conns from the stranger, two honest ones, a little slack.
  ok = ok && most <= before + 10 && replies <= 16;
  for (Peer &p : honest) net_closeconn(p.conn);
  net_shutdown();
  return ok ? 0 : 1;
}

// One client that says what it is told: the host's log then has lines that
// nobody typed at a keyboard.
int talker(const std::string &host, int lines)
{
  Peer p;
  p.name = "Talker";
  auto t0 = Clock::now();
  if (!p.connect_to(host)) return 2;
  for (int n = 0; n < 100000 && !p.number && ms_since(t0) < 10000; n++) {
    p.step(t0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!p.number) return 1;
  auto say = [&](const std::string &text) {
    auto start = Clock::now();
    while (!p.send(packet("Mesg", {p.number}, text)) && ms_since(start) < 5000) {
      p.step(t0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  auto start = Clock::now();
  for (int k = 0; k < lines && ms_since(t0) < 60000; k++) {
    while (ms_since(start) < k * 50L) {
      p.step(t0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char text[16];
    snprintf(text, sizeof text, "T %03d", k);
    say(text);
  }
  printf("said %d\n", lines);
  fflush(stdout);
  // Standard input is polled so that the conn is stepped while it waits.
  std::string pending;
  for (int n = 0; n < 1000000 && ms_since(t0) < 180000; n++) {
    p.step(t0);
    fd_set in;
    FD_ZERO(&in);
    FD_SET(0, &in);
    timeval wait = {0, 5000};
    if (select(1, &in, nullptr, nullptr, &wait) <= 0) continue;
    char buf[256];
    ssize_t got = read(0, buf, sizeof buf);
    if (got <= 0) break;
    pending.append(buf, (size_t)got);
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
      say(pending.substr(0, std::min<size_t>(nl, 50)));
  }
  // The last lines are taken in before the conn goes.
  for (auto end = Clock::now(); ms_since(end) < 300;) {
    p.step(t0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  net_closeconn(p.conn);
  net_shutdown();
  return 0;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 3) {
    fprintf(stderr, "usage: hostile_peers <port> <flooder-first|flooder-last> [lines]\n");
    return 2;
  }
  int port = atoi(argv[1]);
  bool flooder_first = strcmp(argv[2], "flooder-first") == 0;
  int lines = argc > 3 ? atoi(argv[3]) : 100;
  std::string host = "127.0.0.1:" + std::to_string(port);
  if (net_init() != 0 || net_initdriver(NET_DRIVER_WSOCK_WIN) != 1) {
    fprintf(stderr, "netlane did not start\n");
    return 2;
  }
  if (strcmp(argv[2], "strangers") == 0)
    return argc > 3 ? strangers(port, argv[3]) : 2;
  if (strcmp(argv[2], "talker") == 0)
    return argc > 3 ? talker(host, atoi(argv[3])) : 2;

  Peer alice, bobby, flooder, late;
  alice.name = "Alice";
  bobby.name = "Bobby";
  flooder.name = "Flood";
  late.name = "Late";
  Stranger stranger;
  std::mt19937 rng(11);
  long flood_sent[4] = {0, 0, 0, 0};  // "Chng", "ReJo", "Sund", overlong
  auto t0 = Clock::now();

  // One round of everybody: the stranger keeps its rates (3000 a second at
  // the listening port, 300 empty and 300 junk a second at each conn port
  // of the host), the flooder fills its window, everybody takes in.
  auto round = [&] {
    double s = ms_since(t0) / 1000.0;
    while (stranger.listen_sent < (long)(3000 * s)) {
      stranger.send_to(port, stranger.junk(40));
      stranger.listen_sent++;
    }
    std::vector<int> conn_ports;
    for (Peer *p : {&alice, &bobby, &flooder, &late})
      if (p->up) conn_ports.push_back(peer_port(p->conn));
    while (!conn_ports.empty() && stranger.empty_sent < (long)(300 * s * conn_ports.size())) {
      for (int cp : conn_ports) {
        stranger.send_to(cp, {});
        stranger.send_to(cp, stranger.junk(100));
      }
      stranger.empty_sent += (long)conn_ports.size();
      stranger.junk_sent += (long)conn_ports.size();
    }
    if (flooder.number) {
      for (int n = 0; n < 16; n++) {
        int kind = (int)(flood_sent[0] + flood_sent[1] + flood_sent[2] + flood_sent[3]) % 4;
        std::vector<char> p;
        if (kind == 0) p = packet("Chng");
        if (kind == 1) p = packet("ReJo", {(int)(rng() % 256)}, "Flood" + std::to_string(rng() % 10));
        if (kind == 2) p = packet("Sund");
        if (kind == 3) p = std::vector<char>(5000, 'M');
        if (!flooder.send(p)) break;
        flood_sent[kind]++;
      }
    }
    for (Peer *p : {&alice, &bobby, &flooder, &late}) p->step(t0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  auto join = [&](Peer &p, int limit_ms) {
    auto start = Clock::now();
    if (!p.connect_to(host)) return -1L;
    for (int n = 0; n < 100000 && !p.number && ms_since(start) < limit_ms; n++) round();
    return p.number ? ms_since(start) : -1L;
  };
  auto settle = [&](int ms) {
    auto start = Clock::now();
    for (int n = 0; n < 100000 && ms_since(start) < ms; n++) round();
  };

  long joined[4];
  if (flooder_first) {
    joined[2] = join(flooder, 10000);
    settle(1000);
  }
  joined[0] = join(alice, 10000);
  joined[1] = join(bobby, 10000);
  if (!flooder_first) {
    joined[2] = join(flooder, 10000);
    settle(1000);
  }

  // Each honest client says its lines, 20 a second, to the other; a line
  // its conn refuses is said again in the next round.
  int said[2] = {0, 0};
  std::vector<long> said_at[2];
  Peer *honest[2] = {&alice, &bobby};
  auto talk_start = Clock::now();
  auto all_in = [&] {
    for (int h = 0; h < 2; h++) {
      int other = honest[1 - h]->number;
      long n = std::count_if(honest[h]->lines.begin(), honest[h]->lines.end(),
                             [&](const std::pair<int, std::string> &l) { return l.first == other; });
      if (n < lines) return false;
    }
    return true;
  };
  for (int n = 0; n < 100000 && ms_since(talk_start) < 30000 && !all_in(); n++) {
    for (int h = 0; h < 2; h++) {
      if (said[h] >= lines || ms_since(talk_start) < said[h] * 50L) continue;
      char text[16];
      snprintf(text, sizeof text, "%c %03d", h ? 'B' : 'A', said[h]);
      if (honest[h]->send(packet("Mesg", {honest[h]->number}, text))) {
        said_at[h].push_back(ms_since(t0));
        said[h]++;
      }
    }
    round();
  }
  settle(500);  // anything sent twice would show now
  joined[3] = join(late, 15000);

  bool ok = joined[0] >= 0 && joined[1] >= 0 && joined[2] >= 0 && joined[3] >= 0;
  long worst_delay = 0;
  for (int h = 0; h < 2; h++) {
    Peer *me = honest[h];
    int other = honest[1 - h]->number;
    std::vector<std::string> want, got;
    for (int k = 0; k < lines; k++) {
      char text[16];
      snprintf(text, sizeof text, "%c %03d", h ? 'A' : 'B', k);
      want.push_back(text);
    }
    for (size_t i = 0; i < me->lines.size(); i++) {
      if (me->lines[i].first != other) continue;
      if (got.size() < said_at[1 - h].size())
        worst_delay = std::max(worst_delay, me->got_at[i] - said_at[1 - h][got.size()]);
      got.push_back(me->lines[i].second);
    }
    bool same = got == want;
    ok = ok && same;
    printf("%s (user %d) got %zu lines of user %d (%d said): %s\n", me->name.c_str(), me->number,
           got.size(), other, said[1 - h], same ? "all, once, in order" : "NOT all once and in order");
  }
  printf("joined in ms: Alice %ld, Bobby %ld, flooder %ld (%s), late client %ld\n", joined[0], joined[1],
         joined[2], flooder_first ? "first" : "last", joined[3]);
  printf("worst line delay %ld ms\n", worst_delay);
  printf("flooder sent %ld \"Chng\", %ld \"ReJo\", %ld \"Sund\", %ld overlong\n", flood_sent[0], flood_sent[1],
         flood_sent[2], flood_sent[3]);
  printf("stranger sent %ld junk to the listening port, %ld empty and %ld junk to conn ports\n",
         stranger.listen_sent, stranger.empty_sent, stranger.junk_sent);
  for (Peer *p : {&alice, &bobby, &flooder, &late})
    if (p->conn) net_closeconn(p->conn);
  net_shutdown();
  return ok ? 0 : 1;
}
