// One measurement of reliable messages between two processes, as a game
// would use them: netlane conns over the UDP driver, ENet reliable packets
// on one channel, or plain UDP datagrams, on 127.0.0.1. The parent is the
// client (sender), a forked child the server (receiver or echo).
//
//   bench_rdm_loopback TRANSPORT MEASURE [options]
//     TRANSPORT  netlane | enet | udp
//     MEASURE    rtt          round trips of one message and its echo
//                stream       one-way messages, sent as fast as accepted
//                connect      time to connect to an idle listener
//                connect_busy the same while the listener is busy 50 ms at a time
//                idle         netlane: CPU the server uses while its one client
//                             stays silent for --idle S seconds
//     --size N --count N --timeout S
//     --wait                both sides sleep (net_wait, ENet's service with a
//                           time-out, poll for plain UDP) instead of
//                           spinning; a stream's sender still spins
//     --one-core            both processes on one processor (the first this
//                           one may use), as on a machine of one core
//     --two-cores           the server on the first processor this one may
//                           use, the client on the second: each wake-up
//                           then crosses processors
//     --cfg FILE            netlane: conn settings in the configuration format
//     --host H              netlane: the loopback address, 127.0.0.1 or ::1
//
// Prints one line "ok key=value ..." (times in microseconds, rates per
// second); with --snmp also the UDP datagrams sent and dropped for want of
// buffer room, which are meaningful only inside a private network namespace.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef BENCH_WITH_ENET
#include <enet/enet.h>
#endif

#include "bench_util.h"
#include "netlane.h"

namespace {

struct options {
  std::string transport, measure, cfg, host = "127.0.0.1";
  int size = 16;
  long count = 20000;
  double timeout = 20;
  bool snmp = false;
  bool wait = false;
  bool one_core = false;
  bool two_cores = false;
  double idle = 5;
};

options opt;
int port = 0;

// Holds this process to the `nth` processor (from 0) of those it may use,
// if it may use that many.
void hold_to_processor(int nth)
{
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return;
  for (int c = 0; c < CPU_SETSIZE; c++) {
    if (!CPU_ISSET(c, &cpus) || nth-- > 0) continue;
    CPU_ZERO(&cpus);
    CPU_SET(c, &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);
    return;
  }
}
const long kWarmUp = 5;  // round trips before the measured ones
int ready_pipe[2];  // child -> parent: one byte once it is listening
int done_pipe[2];   // child -> parent: its result as text
int stop_pipe[2];   // parent -> child: closed when the child may end

double now_s()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// The namespace's UDP counters: datagrams sent, and received datagrams
// dropped because a socket's buffer was full.
void udp_counters(long *out, long *rcvbuf_errors)
{
  *out = *rcvbuf_errors = 0;
  FILE *f = fopen("/proc/net/snmp", "r");
  if (!f) return;
  char names[1024], values[1024];
  while (fgets(names, sizeof names, f) && fgets(values, sizeof values, f)) {
    if (strncmp(names, "Udp:", 4) != 0) continue;
    long v[16] = {0};
    sscanf(values, "Udp: %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    *out = v[3];            // OutDatagrams
    *rcvbuf_errors = v[4];  // RcvbufErrors
    break;
  }
  fclose(f);
}

bool stop_requested()
{
  pollfd p{stop_pipe[0], POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// The child's wait for the parent, checked every few ms of its loop.
struct stop_check {
  double next = 0;
  bool operator()()
  {
    double t = now_s();
    if (t < next) return false;
    next = t + 0.002;
    return stop_requested();
  }
};

void child_ready() { (void)!write(ready_pipe[1], "r", 1); }

void child_result(const std::string &text) { (void)!write(done_pipe[1], text.data(), text.size()); }

// Waits up to `seconds` for the child's result text.
std::string parent_result(double seconds)
{
  std::string text;
  double until = now_s() + seconds;
  char buf[256];
  for (;;) {
    int left = (int)((until - now_s()) * 1000);
    if (left <= 0) break;
    pollfd p{done_pipe[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    ssize_t n = read(done_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, (size_t)n);
    if (!text.empty() && text.back() == '\n') break;
  }
  return text;
}

// The child's result, or, when none came by `until`, what it had when told
// to stop.
std::string parent_result_or_partial(double until)
{
  std::string text = parent_result(std::max(0.0, until - now_s()) + 0.1);
  if (!text.empty()) return text;
  close(stop_pipe[1]);
  stop_pipe[1] = -1;
  return parent_result(2);
}

// "rate=... secs=... delivered=..." from a stream result "SECS COUNT ...":
// the messages that arrived over the time they took, all or not.
std::string stream_rate(const std::string &text)
{
  double secs = 0;
  long got = 0;
  if (sscanf(text.c_str(), "%lf %ld", &secs, &got) != 2 || secs <= 0) return "rate=0 delivered=0";
  char buf[128];
  snprintf(buf, sizeof buf, "rate=%.0f secs=%.4f delivered=%ld", (double)got / secs, secs, got);
  return buf;
}

bool parent_wait_ready(double seconds)
{
  pollfd p{ready_pipe[0], POLLIN, 0};
  char c;
  return poll(&p, 1, (int)(seconds * 1000)) > 0 && read(ready_pipe[0], &c, 1) == 1;
}

// Busy for 50 ms without touching the network, as a program in a long
// frame would be.
void busy_50ms()
{
  double until = now_s() + 0.05;
  while (now_s() < until) {
  }
}

// The server's calls per message when the call counter is preloaded
// (bench/count_calls.c): taken at its first measured message and at its
// last, so that start-up and the wait for the stop are not counted.
struct call_counter {
  long first = 0, last = 0;
  long at_first[5] = {0}, at_last[5] = {0};
  bool taken = false;
  void (*read)(long *) = nullptr;
  void start(long first_msg, long last_msg)
  {
    first = first_msg;
    last = last_msg;
    read = (void (*)(long *))dlsym(RTLD_DEFAULT, "bench_counts");
  }
  void message(long n)
  {
    if (!read) return;
    if (n == first) read(at_first);
    if (n == last) {
      read(at_last);
      taken = true;
    }
  }
  // Written where BENCH_COUNTS names, for the parent to add to its line.
  void report()
  {
    const char *path = getenv("BENCH_COUNTS");
    if (!path || !taken || last <= first) return;
    FILE *f = fopen(path, "w");
    if (!f) return;
    double n = (double)(last - first);
    fprintf(f, " srv_syscalls=%.2f srv_allocs=%.2f srv_frees=%.2f srv_locks=%.2f srv_clocks=%.2f",
            (at_last[0] - at_first[0]) / n, (at_last[1] - at_first[1]) / n, (at_last[2] - at_first[2]) / n,
            (at_last[3] - at_first[3]) / n, (at_last[4] - at_first[4]) / n);
    fclose(f);
  }
};

call_counter server_counts;

// The messages a server counts: a stream's all but the first; a round
// trip's measured ones (after the warm-up).
void server_counts_start()
{
  if (opt.measure == "rtt") server_counts.start(kWarmUp + 1, kWarmUp + opt.count);
  else server_counts.start(1, opt.count);
}

// Round-trip times, in microseconds, summarised.
std::string rtt_summary(std::vector<double> us, long wanted)
{
  if (us.empty()) return "n=0 wanted=" + std::to_string(wanted);
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[std::min(us.size() - 1, (size_t)(q * (double)us.size()))]; };
  char buf[256];
  snprintf(buf, sizeof buf, "n=%zu wanted=%ld p50=%.1f p90=%.1f p99=%.1f max=%.1f", us.size(), wanted, at(0.5),
           at(0.9), at(0.99), us.back());
  return buf;
}

// ---------------------------------------------------------------- netlane

NET_CONN *nl_listener;

bool nl_start()
{
  if (net_init() != 0) return false;
  if (!opt.cfg.empty() && net_loadconfig(opt.cfg.c_str()) != 0) return false;
  return net_initdriver(NET_DRIVER_WSOCK_WIN) != 0;
}

std::string nl_where()
{
  bool six = opt.host.find(':') != std::string::npos;
  return (six ? "[" + opt.host + "]" : opt.host) + ":" + std::to_string(port);
}

NET_CONN *nl_connect(double seconds)
{
  NET_CONN *conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  if (!conn || net_connect(conn, nl_where().c_str()) != 0) return NULL;
  double until = now_s() + seconds;
  while (now_s() < until) {
    if (net_poll_connect(conn) == 1) return conn;
  }
  return NULL;
}

std::string nl_figures(NET_CONN *conn)
{
#ifdef BENCH_NO_FIGURES
  (void)conn;
  return "";
#else
  NET_CONN_FIGURES f;
  if (!conn || net_conn_figures(conn, &f) != 0) return "";
  char buf[256];
  snprintf(buf, sizeof buf, " nl_sent=%ld nl_resent=%ld nl_rtt_ms=%d nl_wait_ms=%d nl_beyond=%ld", f.messages_sent,
           f.messages_resent, f.round_trip, f.resend_wait, f.dropped_window);
  return buf;
#endif
}

// The server: accepts every client, echoes (rtt) or counts (stream).
void nl_server()
{
  if (!nl_start()) _exit(2);
  nl_listener = net_openconn(NET_DRIVER_WSOCK_WIN, nl_where().c_str());
  if (!nl_listener || net_listen(nl_listener) != 0) _exit(2);
  child_ready();
  server_counts_start();
  std::vector<NET_CONN *> conns;
  std::vector<char> buf(16384);
  long received = 0, messages = 0;
  double start = 0;
  bool reported = false;
  stop_check stop;
  std::vector<NET_CONN *> all;  // kept: the loop allocates nothing once warm
  while (!stop()) {
    if (opt.wait) {
      // The time-out only bounds how late the parent's stop is noticed.
      all.assign(conns.begin(), conns.end());
      all.push_back(nl_listener);
      net_wait(all.data(), (int)all.size(), NULL, 0, 50);
    }
    if (NET_CONN *fresh = net_poll_listen(nl_listener)) conns.push_back(fresh);
    for (NET_CONN *c : conns) {
      for (int n = 0; n < 64; n++) {
        int len = net_receive_rdm(c, buf.data(), (int)buf.size());
        if (len <= 0) break;
        server_counts.message(++messages);
        if (opt.measure == "rtt") {
          while (net_send_rdm(c, buf.data(), len) != 0 && !stop()) {
          }
        } else if (opt.measure == "stream") {
          memcpy(&start, buf.data(), sizeof start);
          if (++received == opt.count && !reported) {
            char text[128];
            snprintf(text, sizeof text, "%.9f %ld\n", now_s() - start, received);
            child_result(text);
            reported = true;
          }
        }
      }
    }
    if (opt.measure == "connect_busy") busy_50ms();
  }
  if (opt.measure == "idle") {
    struct rusage use;
    getrusage(RUSAGE_SELF, &use);
    double cpu = (double)(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    child_result(std::to_string(cpu) + "\n");
  }
  if (opt.measure == "stream" && !reported) child_result(std::to_string(now_s() - start) + " " + std::to_string(received) + "\n");
  server_counts.report();
}

std::string nl_client()
{
  if (!nl_start()) return "";
  if (opt.measure == "connect" || opt.measure == "connect_busy") {
    NET_CONN *first = NULL;
    if (opt.measure == "connect_busy" && !(first = nl_connect(opt.timeout))) return "";
    double t0 = now_s();
    NET_CONN *conn = nl_connect(opt.timeout);
    if (!conn) return "";
    char buf[64];
    snprintf(buf, sizeof buf, "us=%.1f", (now_s() - t0) * 1e6);
    return buf;
  }
  NET_CONN *conn = nl_connect(opt.timeout);
  if (!conn) return "";
  if (opt.measure == "idle") {
    // The server's CPU over its whole life, start-up included, against the
    // silent time: an upper bound on its share of a core while idle.
    usleep((useconds_t)(opt.idle * 1e6));
    close(stop_pipe[1]);
    stop_pipe[1] = -1;
    double cpu = atof(parent_result(5).c_str());
    char buf[64];
    snprintf(buf, sizeof buf, "server_cpu_percent=%.2f", cpu / opt.idle * 100);
    return buf;
  }
  std::vector<char> msg((size_t)opt.size, 'm'), buf((size_t)opt.size + 16);
  double until = now_s() + opt.timeout;
  if (opt.measure == "rtt") {
    std::vector<double> us;
    for (long i = -kWarmUp; i < opt.count && now_s() < until; i++) {
      double t0 = now_s();
      while (net_send_rdm(conn, msg.data(), opt.size) != 0 && now_s() < until) {
      }
      while (net_receive_rdm(conn, buf.data(), (int)buf.size()) <= 0 && now_s() < until) {
        if (opt.wait) net_wait(&conn, 1, NULL, 0, 100);
      }
      // A trip cut off by the time limit still counts, as the shortest it
      // could have taken.
      if (i >= 0) us.push_back((now_s() - t0) * 1e6);
    }
    return rtt_summary(us, opt.count) + nl_figures(conn);
  }
  // stream: every message carries the start time, so the receiver can
  // tell how long the whole took.
  double start = now_s();
  memcpy(msg.data(), &start, std::min(sizeof start, msg.size()));
  long sent = 0;
  pollfd p{done_pipe[0], POLLIN, 0};
  while (now_s() < until) {
    if (sent < opt.count) {
      if (net_send_rdm(conn, msg.data(), opt.size) == 0) sent++;
    } else {
      int out_q = 0;
      net_conn_stats(conn, NULL, &out_q);
      if (poll(&p, 1, 0) > 0) break;
    }
  }
  return stream_rate(parent_result_or_partial(until)) + nl_figures(conn);
}

// ------------------------------------------------------------------- ENet

#ifdef BENCH_WITH_ENET
ENetAddress enet_where()
{
  ENetAddress a;
  enet_address_set_host(&a, "127.0.0.1");
  a.port = (enet_uint16)port;
  return a;
}

void enet_server()
{
  if (enet_initialize() != 0) _exit(2);
  ENetAddress a = enet_where();
  ENetHost *host = enet_host_create(&a, 8, 1, 0, 0);
  if (!host) _exit(2);
  child_ready();
  server_counts_start();
  long received = 0, messages = 0;
  bool reported = false;
  double start = 0;
  stop_check stop;
  while (!stop()) {
    ENetEvent ev;
    for (int n = 0; n < 64 && enet_host_service(host, &ev, n == 0 && opt.wait ? 50 : 0) > 0; n++) {
      if (ev.type != ENET_EVENT_TYPE_RECEIVE) continue;
      server_counts.message(++messages);
      if (opt.measure == "rtt") {
        ENetPacket *echo = enet_packet_create(ev.packet->data, ev.packet->dataLength, ENET_PACKET_FLAG_RELIABLE);
        enet_peer_send(ev.peer, 0, echo);
        enet_host_flush(host);
      } else if (opt.measure == "stream") {
        memcpy(&start, ev.packet->data, sizeof start);
        if (++received == opt.count && !reported) {
          child_result(std::to_string(now_s() - start) + " " + std::to_string(received) + "\n");
          reported = true;
        }
      }
      enet_packet_destroy(ev.packet);
    }
    if (opt.measure == "connect_busy") busy_50ms();
  }
  if (opt.measure == "stream" && !reported) child_result(std::to_string(now_s() - start) + " " + std::to_string(received) + "\n");
  server_counts.report();
  enet_host_destroy(host);
}

ENetPeer *enet_connect(ENetHost *host, double seconds)
{
  ENetAddress a = enet_where();
  ENetPeer *peer = enet_host_connect(host, &a, 1, 0);
  double until = now_s() + seconds;
  ENetEvent ev;
  while (peer && now_s() < until) {
    if (enet_host_service(host, &ev, 0) <= 0) continue;
    if (ev.type == ENET_EVENT_TYPE_CONNECT && ev.peer == peer) return peer;
    // Under heavy loss ENet may give a connect up: try again.
    if (ev.type == ENET_EVENT_TYPE_DISCONNECT && ev.peer == peer) peer = enet_host_connect(host, &a, 1, 0);
  }
  return NULL;
}

// Services the host until a packet arrives; false at `until`.
bool enet_await(ENetHost *host, double until)
{
  ENetEvent ev;
  while (now_s() < until) {
    if (enet_host_service(host, &ev, opt.wait ? 100 : 0) > 0 && ev.type == ENET_EVENT_TYPE_RECEIVE) {
      enet_packet_destroy(ev.packet);
      return true;
    }
  }
  return false;
}

std::string enet_client()
{
  if (enet_initialize() != 0) return "";
  ENetHost *host = enet_host_create(NULL, 2, 1, 0, 0);
  if (!host) return "";
  if (opt.measure == "connect" || opt.measure == "connect_busy") {
    ENetHost *second = enet_host_create(NULL, 1, 1, 0, 0);
    if (opt.measure == "connect_busy" && !enet_connect(host, opt.timeout)) return "";
    double t0 = now_s();
    if (!second || !enet_connect(second, opt.timeout)) return "";
    char buf[64];
    snprintf(buf, sizeof buf, "us=%.1f", (now_s() - t0) * 1e6);
    return buf;
  }
  ENetPeer *peer = enet_connect(host, opt.timeout);
  if (!peer) return "";
  std::vector<char> msg((size_t)opt.size, 'm');
  double until = now_s() + opt.timeout;
  if (opt.measure == "rtt") {
    std::vector<double> us;
    for (long i = -kWarmUp; i < opt.count && now_s() < until; i++) {
      double t0 = now_s();
      enet_peer_send(peer, 0, enet_packet_create(msg.data(), msg.size(), ENET_PACKET_FLAG_RELIABLE));
      enet_host_flush(host);
      bool got = enet_await(host, until);
      if (i >= 0) us.push_back((now_s() - t0) * 1e6);
      if (!got) break;
    }
    return rtt_summary(us, opt.count);
  }
  // ENet queues without limit; as fast as it accepts means here: while
  // fewer than 64 commands wait to go out.
  double start = now_s();
  memcpy(msg.data(), &start, std::min(sizeof start, msg.size()));
  long sent = 0;
  pollfd p{done_pipe[0], POLLIN, 0};
  ENetEvent ev;
  while (now_s() < until) {
    if (sent < opt.count && enet_list_size(&peer->outgoingCommands) < 64) {
      enet_peer_send(peer, 0, enet_packet_create(msg.data(), msg.size(), ENET_PACKET_FLAG_RELIABLE));
      sent++;
    }
    while (enet_host_service(host, &ev, 0) > 0) {
      if (ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
    }
    if (sent >= opt.count && poll(&p, 1, 0) > 0) break;
  }
  return stream_rate(parent_result_or_partial(until));
}
#endif

// -------------------------------------------------------------- plain UDP

// With --wait, sleeps until `fd` is readable or `ms` pass.
void udp_wait(int fd, int ms)
{
  if (!opt.wait) return;
  pollfd p{fd, POLLIN, 0};
  poll(&p, 1, ms);
}

int udp_socket(int bind_port)
{
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((unsigned short)bind_port);
  if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof a) != 0) return -1;
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

void udp_server()
{
  int fd = udp_socket(port);
  if (fd < 0) _exit(2);
  child_ready();
  std::vector<char> buf(65536);
  long received = 0;
  double start = 0, last = 0;
  bool reported = false;
  stop_check stop;
  while (!stop()) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, (sockaddr *)&from, &len);
    if (n < 0) {
      udp_wait(fd, 50);
      // The stream is over when nothing came for 100 ms after the last.
      if (opt.measure == "stream" && received > 0 && !reported && now_s() - last > 0.1) {
        child_result(std::to_string(last - start) + " " + std::to_string(received) + "\n");
        reported = true;
      }
      continue;
    }
    if (opt.measure == "rtt") {
      sendto(fd, buf.data(), (size_t)n, 0, (sockaddr *)&from, len);
    } else if (opt.measure == "stream" && n >= (ssize_t)sizeof start) {
      memcpy(&start, buf.data(), sizeof start);
      received++;
      last = now_s();
      if (received == opt.count && !reported) {
        child_result(std::to_string(last - start) + " " + std::to_string(received) + "\n");
        reported = true;
      }
    }
  }
  if (opt.measure == "stream" && !reported) child_result(std::to_string(last - start) + " " + std::to_string(received) + "\n");
}

std::string udp_client()
{
  if (opt.measure != "rtt" && opt.measure != "stream") return "n/a";
  int fd = udp_socket(0);
  if (fd < 0) return "";
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons((unsigned short)port);
  std::vector<char> msg((size_t)opt.size, 'm'), buf(65536);
  double until = now_s() + opt.timeout;
  if (opt.measure == "rtt") {
    std::vector<double> us;
    for (long i = -kWarmUp; i < opt.count && now_s() < until; i++) {
      double t0 = now_s();
      sendto(fd, msg.data(), msg.size(), 0, (sockaddr *)&to, sizeof to);
      // A lost datagram is not sent again: give up on it after 100 ms.
      bool got = false;
      while (!got && now_s() - t0 < 0.1) {
        got = recv(fd, buf.data(), buf.size(), 0) >= 0;
        if (!got) udp_wait(fd, 100);
      }
      if (got && i >= 0) us.push_back((now_s() - t0) * 1e6);
    }
    return rtt_summary(us, opt.count);
  }
  double start = now_s();
  memcpy(msg.data(), &start, std::min(sizeof start, msg.size()));
  for (long i = 0; i < opt.count && now_s() < until;) {
    if (sendto(fd, msg.data(), msg.size(), 0, (sockaddr *)&to, sizeof to) >= 0) i++;
  }
  return stream_rate(parent_result_or_partial(until + 0.2));
}

// ------------------------------------------------------------------- main

void usage()
{
  fprintf(stderr,
          "usage: bench_rdm_loopback netlane|enet|udp rtt|stream|connect|connect_busy|idle "
          "[--size N] [--count N] [--timeout S] [--cfg FILE] [--snmp] [--wait] [--one-core] [--two-cores] [--idle S] [--host H]\n");
  exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 3) usage();
  opt.transport = argv[1];
  opt.measure = argv[2];
  for (int i = 3; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--snmp" || a == "--wait" || a == "--one-core" || a == "--two-cores") {
      (a == "--snmp" ? opt.snmp : a == "--wait" ? opt.wait : a == "--one-core" ? opt.one_core : opt.two_cores) = true;
      continue;
    }
    if (i + 1 >= argc) usage();
    if (a == "--size") opt.size = atoi(argv[++i]);
    else if (a == "--count") opt.count = atol(argv[++i]);
    else if (a == "--timeout") opt.timeout = atof(argv[++i]);
    else if (a == "--cfg") opt.cfg = argv[++i];
    else if (a == "--idle") opt.idle = atof(argv[++i]);
    else if (a == "--host") opt.host = argv[++i];
    else usage();
  }
  if (opt.size < (int)sizeof(double) && opt.measure == "stream") opt.size = (int)sizeof(double);
  // The child forked later inherits the parent's processors, then takes
  // its own one for --two-cores.
  if (opt.one_core) hold_to_processor(0);
#ifndef BENCH_WITH_ENET
  if (opt.transport == "enet") {
    printf("skipped: built without ENet\n");
    return 0;
  }
#endif
  port = free_port();
  if (pipe(ready_pipe) || pipe(done_pipe) || pipe(stop_pipe)) return 2;
  long out0, drops0;
  udp_counters(&out0, &drops0);

  pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    alarm((unsigned)opt.timeout + 10);  // never outlive a lost parent for long
    close(stop_pipe[1]);  // else the parent's close would never read as the end
    close(ready_pipe[0]);
    close(done_pipe[0]);
    if (opt.two_cores) hold_to_processor(0);
    if (opt.transport == "netlane") nl_server();
#ifdef BENCH_WITH_ENET
    else if (opt.transport == "enet") enet_server();
#endif
    else udp_server();
    _exit(0);
  }

  if (opt.two_cores) hold_to_processor(1);
  close(stop_pipe[0]);
  close(ready_pipe[1]);
  close(done_pipe[1]);
  std::string result;
  if (parent_wait_ready(5)) {
    if (opt.transport == "netlane") result = nl_client();
#ifdef BENCH_WITH_ENET
    else if (opt.transport == "enet") result = enet_client();
#endif
    else result = udp_client();
  }
  if (stop_pipe[1] >= 0) close(stop_pipe[1]);
  int status = 0;
  double until = now_s() + 2;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (now_s() > until) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    usleep(1000);
  }
  if (result.empty()) {
    fprintf(stderr, "%s %s: no result\n", opt.transport.c_str(), opt.measure.c_str());
    return 1;
  }
  if (opt.snmp) {
    long out1, drops1;
    udp_counters(&out1, &drops1);
    result += " udp_out=" + std::to_string(out1 - out0) + " rcvbuf_drops=" + std::to_string(drops1 - drops0);
  }
  if (const char *path = getenv("BENCH_COUNTS")) {
    if (FILE *f = fopen(path, "r")) {
      char counted[256] = "";
      if (fgets(counted, sizeof counted, f)) result += counted;
      fclose(f);
    }
  }
  printf("ok %s\n", result.c_str());
  return 0;
}
