// A server's cost as its conns grow: a forked child serves N conns on one
// UDP port of 127.0.0.1 (netlane: a wait set over the accepted conns; ENet:
// enet_host_service with a time-out), while the parent holds the N client
// ends and sends 16-byte reliable messages round robin at RATE a second in
// all, or nothing (--rate 0: the idle server). Measures the server's CPU
// over the sending time.
//
//   bench_rdm_scale TRANSPORT N [--rate R] [--seconds S] [--cfg FILE] [--idle-first 1]
//                   [--settle S]
//     TRANSPORT  netlane | enet   (ENet holds at most 4095 peers)
//     --settle   seconds the conns are held idle once up, before measuring
//                (default 0.5): the keep-alives of conns connected in
//                batches take a while to spread over the host's ticks
//
// Prints "ok conns=N messages=M server_cpu_ms=C us_per_message=U cpu_percent=P",
// and the server's calls per message (per second when idle) when the call
// counter is preloaded. With --idle-first the same conns are held idle for
// S seconds before the messages start, and the line adds that phase's
// share of a core and what a message cost beyond it ("idle_cpu_percent=I
// us_per_message_less_idle=L"): the keep-alives of many idle conns are a
// cost per second, not per message, and two runs of their own moved apart
// with the machine by more than the difference sought. It overstates what
// is taken off where a message spares a keep-alive: a host that heard from
// a conn sends it no beat, and at 10,000 conns and 1,000 messages a second
// half of them are heard from within each beat's wait. So netlane's
// server also counts the datagrams its conns took in, less the messages:
// the answers to its beats, one per beat; the line then adds those of both
// phases and a message's cost beyond the idle phase's cost per beat
// ("beats_idle=B beats_loaded=B us_per_message_less_beats=L").
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "netlane.h"
#include "../tests/net_rdm/plain_udp.h"

#ifdef BENCH_WITH_ENET
#include <enet/enet.h>
#endif

namespace {

using clock_type = std::chrono::steady_clock;

int conns = 10, rate = 1000, seconds = 5, port = 0, idle_first = 0;
double settle = 0.5;
const char *cfg = NULL;

double cpu_ms()
{
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

void raise_descriptor_limit(int want)
{
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  if (lim.rlim_cur >= (rlim_t)want) return;
  lim.rlim_cur = lim.rlim_max < (rlim_t)want ? lim.rlim_max : (rlim_t)want;
  setrlimit(RLIMIT_NOFILE, &lim);
}

// The pipes between the sides: the server's port bound (or not), "ready"
// once all conns are up, "stop" at the end, then the server's figures.
int to_server[2], to_client[2];

void say(int fd, const void *what, size_t n)
{
  if (write(fd, what, n) != (ssize_t)n) _exit(3);
}

bool told(int fd, void *what, size_t n)
{
  return read(fd, what, n) == (ssize_t)n;
}

// The server tells whether it holds its port before any client socket is
// opened: a client bound meanwhile could take the probed port, which a
// process elsewhere on the machine may take too, and the clients would
// then wait out their connect loop on a server that never started.
void server_bound(bool ok)
{
  say(to_client[1], ok ? "b" : "x", 1);
  if (!ok) _exit(2);
}

// The server's calls, when the counter is preloaded
// (LD_PRELOAD=libbench_count_calls.so): system calls, allocations, frees,
// mutex locks and clock readings, taken over the measured time.
struct figures_t {
  double cpu;
  long messages;
  long datagrams;  // netlane: taken in by the conns
  long calls[5];
  bool counted;
};

void take_calls(long out[5], bool *counted)
{
  static void (*read)(long *) = (void (*)(long *))dlsym(RTLD_DEFAULT, "bench_counts");
  *counted = read != nullptr;
  if (read) read(out);
}

// The datagrams the server's conns have taken in, read between the
// phases (outside their CPU figures): -1 where there is no such count.
long (*count_datagrams)() = [] { return -1L; };

// When measuring starts and when it ends.
void measuring_starts(figures_t &f)
{
  f.datagrams = count_datagrams();
  f.cpu = cpu_ms();
  f.messages = 0;
  take_calls(f.calls, &f.counted);
}

void measuring_ends(figures_t &f)
{
  f.cpu = cpu_ms() - f.cpu;
  if (f.datagrams >= 0) f.datagrams = count_datagrams() - f.datagrams;
  long now[5] = {0};
  take_calls(now, &f.counted);
  for (int i = 0; i < 5; i++) f.calls[i] = now[i] - f.calls[i];
}

// The result line; the calls per message, or per second when idle.
void print_figures(const figures_t &f, const figures_t *idle)
{
  printf("ok conns=%d messages=%ld server_cpu_ms=%.0f us_per_message=%.1f cpu_percent=%.1f", conns, f.messages, f.cpu,
         f.messages ? f.cpu * 1000.0 / f.messages : 0.0, f.cpu / (seconds * 10.0));
  if (f.counted) {
    double per = f.messages ? (double)f.messages : (double)seconds;
    printf(" srv_per_%s syscalls=%.2f allocs=%.2f frees=%.2f locks=%.2f clocks=%.2f", f.messages ? "message" : "second",
           f.calls[0] / per, f.calls[1] / per, f.calls[2] / per, f.calls[3] / per, f.calls[4] / per);
  }
  if (idle)
    printf(" idle_cpu_percent=%.1f us_per_message_less_idle=%.1f", idle->cpu / (seconds * 10.0),
           f.messages ? (f.cpu - idle->cpu) * 1000.0 / f.messages : 0.0);
  if (idle && idle->datagrams > 0 && f.datagrams >= 0 && f.messages) {
    long beats_loaded = f.datagrams - f.messages;
    double per_beat = idle->cpu / idle->datagrams;
    printf(" beats_idle=%ld beats_loaded=%ld us_per_message_less_beats=%.1f", idle->datagrams, beats_loaded,
           (f.cpu - per_beat * beats_loaded) * 1000.0 / f.messages);
  }
  printf("\n");
}

bool stop_requested(int fd)
{
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// The server's side of the pipe, once all conns are up: "g" starts the
// measuring, "m" ends the idle phase and starts the loaded one, "s" ends
// it. True once the server is to stop; its figures then go to the client.
bool measuring_told(figures_t &idle, figures_t &f)
{
  if (!stop_requested(to_server[0])) return false;
  char what = 0;
  if (!told(to_server[0], &what, 1)) _exit(3);
  if (what == 'g') {
    measuring_starts(f);
    return false;
  }
  if (what == 'm') {
    measuring_ends(f);
    idle = f;
    measuring_starts(f);
    return false;
  }
  measuring_ends(f);
  say(to_client[1], &idle, sizeof idle);
  say(to_client[1], &f, sizeof f);
  return true;
}

// The client's side: the idle phase, when asked for, then the loaded one;
// `step(sending, due)` sends what the rate has made due (`due` messages in
// all so far) and waits a little. Then the server's figures, printed.
template <typename Step>
int measure(Step step)
{
  say(to_server[1], "g", 1);
  if (idle_first) {
    auto idle_until = clock_type::now() + std::chrono::seconds(seconds);
    while (clock_type::now() < idle_until) step(false, 0);
    say(to_server[1], "m", 1);
  }
  auto start = clock_type::now();
  while (clock_type::now() - start < std::chrono::seconds(seconds))
    step(rate > 0, (long)(std::chrono::duration<double>(clock_type::now() - start).count() * rate));
  say(to_server[1], "s", 1);
  figures_t idle, f;
  if (!told(to_client[0], &idle, sizeof idle) || !told(to_client[0], &f, sizeof f)) return 3;
  print_figures(f, idle_first ? &idle : nullptr);
  return 0;
}

void netlane_server()
{
  if (net_init() != 0 || (cfg && net_loadconfig(cfg) != 0) || !net_initdriver(NET_DRIVER_WSOCK_WIN)) _exit(2);
  std::string where = "127.0.0.1:" + std::to_string(port);
  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, where.c_str());
  server_bound(listener && net_listen(listener) == 0);
  NET_WAITSET *set = net_waitset_create();
  net_waitset_add_conn(set, listener, NULL);
  std::vector<void *> ready(256);
  static std::vector<NET_CONN *> accepted;
  count_datagrams = [] {
    long n = 0;
    NET_CONN_FIGURES fig;
    for (NET_CONN *c : accepted)
      if (net_conn_figures(c, &fig) == 0) n += fig.datagrams_received;
    return n;
  };
  char buf[64];
  figures_t f{}, idle{};
  for (;;) {
    int n = net_waitset_wait(set, ready.data(), (int)ready.size(), 100);
    for (int i = 0; i < n; i++) {
      if (!ready[i]) {
        for (int k = 0; k < 64; k++) {
          NET_CONN *c = net_poll_listen(listener);
          if (!c) break;
          accepted.push_back(c);
          net_waitset_add_conn(set, c, c);
        }
        continue;
      }
      NET_CONN *c = static_cast<NET_CONN *>(ready[i]);
      while (net_receive_rdm(c, buf, sizeof buf) > 0) f.messages++;
    }
    if ((int)accepted.size() == conns && measuring_told(idle, f)) break;
  }
  _exit(0);
}

int netlane_client()
{
  if (net_init() != 0 || (cfg && net_loadconfig(cfg) != 0) || !net_initdriver(NET_DRIVER_WSOCK_WIN)) return 2;
  std::string where = "127.0.0.1:" + std::to_string(port);
  std::vector<NET_CONN *> c(conns);
  NET_WAITSET *set = net_waitset_create();
  std::vector<void *> ready(256);
  // In batches, so that the requests fit the listening port's buffer.
  for (int first = 0; first < conns; first += 200) {
    int last = first + 200 < conns ? first + 200 : conns;
    for (int i = first; i < last; i++) {
      c[i] = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
      if (!c[i] || net_connect(c[i], where.c_str()) != 0) return 2;
    }
    auto until = clock_type::now() + std::chrono::seconds(30);
    for (int i = first; i < last; i++) {
      while (net_poll_connect(c[i]) == 0 && clock_type::now() < until) net_wait(&c[i], 1, NULL, 0, 5);
      if (c[i]->status != NET_CONN_CONNECTED) return 4;
      net_waitset_add_conn(set, c[i], c[i]);
    }
  }
  // Idle, but waiting: the beats are answered meanwhile.
  auto settled = clock_type::now() + std::chrono::duration<double>(settle);
  while (clock_type::now() < settled) net_waitset_wait(set, ready.data(), (int)ready.size(), 100);
  long sent = 0;
  char msg[16] = "sixteen bytes..";
  return measure([&](bool sending, long due) {
    while (sending && sent < due) {
      if (net_send_rdm(c[sent % conns], msg, 16) == 0) sent++;
      else break;
    }
    net_waitset_wait(set, ready.data(), (int)ready.size(), sending ? 1 : 100);
  });
}

#ifdef BENCH_WITH_ENET
void enet_server()
{
  if (enet_initialize() != 0) _exit(2);
  ENetAddress a;
  enet_address_set_host(&a, "127.0.0.1");
  a.port = (enet_uint16)port;
  ENetHost *host = enet_host_create(&a, (size_t)conns, 1, 0, 0);
  server_bound(host != NULL);
  int connected = 0;
  figures_t f{}, idle{};
  for (;;) {
    ENetEvent ev;
    for (int n = 0; n < 256 && enet_host_service(host, &ev, n == 0 ? 100 : 0) > 0; n++) {
      if (ev.type == ENET_EVENT_TYPE_CONNECT) connected++;
      if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
        f.messages++;
        enet_packet_destroy(ev.packet);
      }
    }
    if (connected == conns && measuring_told(idle, f)) break;
  }
  _exit(0);
}

int enet_client()
{
  if (enet_initialize() != 0) return 2;
  ENetHost *host = enet_host_create(NULL, (size_t)conns, 1, 0, 0);
  if (!host) return 2;
  ENetAddress a;
  enet_address_set_host(&a, "127.0.0.1");
  a.port = (enet_uint16)port;
  std::vector<ENetPeer *> peers;
  int connected = 0;
  auto until = clock_type::now() + std::chrono::seconds(60);
  for (int i = 0; i < conns; i++) peers.push_back(enet_host_connect(host, &a, 1, 0));
  ENetEvent ev;
  while (connected < conns && clock_type::now() < until)
    while (enet_host_service(host, &ev, 5) > 0)
      if (ev.type == ENET_EVENT_TYPE_CONNECT) connected++;
  if (connected < conns) return 4;
  auto settled = clock_type::now() + std::chrono::duration<double>(settle);
  while (clock_type::now() < settled)
    if (enet_host_service(host, &ev, 100) > 0 && ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
  long sent = 0;
  char msg[16] = "sixteen bytes..";
  return measure([&](bool sending, long due) {
    for (; sending && sent < due; sent++)
      enet_peer_send(peers[sent % conns], 0, enet_packet_create(msg, 16, ENET_PACKET_FLAG_RELIABLE));
    while (enet_host_service(host, &ev, sending ? 1 : 100) > 0)
      if (ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
  });
}
#endif

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 3) {
    fprintf(stderr, "usage: bench_rdm_scale netlane|enet N [--rate R] [--seconds S] [--cfg FILE] [--idle-first 1] [--settle S]\n");
    return 1;
  }
  std::string transport = argv[1];
  conns = atoi(argv[2]);
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--rate")) rate = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--seconds")) seconds = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--cfg")) cfg = argv[i + 1];
    else if (!strcmp(argv[i], "--idle-first")) idle_first = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--settle")) settle = atof(argv[i + 1]);
  }
  raise_descriptor_limit(2 * conns + 200);
  if (pipe(to_server) != 0 || pipe(to_client) != 0) return 2;
  bool enet = transport == "enet";
#ifndef BENCH_WITH_ENET
  if (enet) {
    printf("skip enet: not built with ENet\n");
    return 0;
  }
#endif
  // A port taken between the probe and the server's bind is probed again.
  pid_t server = -1;
  char bound = 0;
  for (int tries = 0; tries < 5 && bound != 'b'; tries++) {
    port = free_udp_port();
    fflush(NULL);
    server = fork();
    if (server == 0) {
#ifdef BENCH_WITH_ENET
      if (enet) enet_server();
#endif
      netlane_server();
    }
    pollfd p{to_client[0], POLLIN, 0};
    if (server < 0 || poll(&p, 1, 10000) <= 0 || !told(to_client[0], &bound, 1)) bound = 0;
    if (bound != 'b' && server > 0) {
      kill(server, SIGKILL);
      waitpid(server, NULL, 0);
    }
  }
  if (bound != 'b') {
    printf("failed conns=%d code=5 (the server did not bind a port)\n", conns);
    return 5;
  }
  int result = 2;
#ifdef BENCH_WITH_ENET
  if (enet) result = enet_client();
#endif
  if (!enet) result = netlane_client();
  if (result != 0) {
    printf("failed conns=%d code=%d\n", conns, result);
    kill(server, SIGKILL);
  }
  waitpid(server, NULL, 0);
  return result;
}
