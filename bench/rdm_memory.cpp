// What conns hold once their traffic is over: one process holds a
// listener's N accepted conns and their N client ends on 127.0.0.1, sends
// BURST messages of SIZE bytes each way on every conn and reads them all,
// then keeps every conn waiting, idle, for QUIET seconds while the
// keep-alives go on. Prints the heap the process has in use (malloc's
// count: freed memory the allocator keeps for later is not in it) and its
// resident memory, before the traffic, after it and after the quiet.
//
//   bench_rdm_memory [--conns N] [--size S] [--burst B] [--quiet Q] [--cfg FILE]
//
// "ok conns=N size=S burst=B heap_kib=H0,H1,H2 rss_kib=R0,R1,R2"
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "netlane.h"

namespace {

using clock_type = std::chrono::steady_clock;

long rss_kib()
{
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  fclose(f);
  return kib;
}

long heap_kib()
{
  return (long)(mallinfo2().uordblks / 1024);
}

}  // namespace

int main(int argc, char **argv)
{
  int conns = 200, size = 1024, burst = 64;
  double quiet = 7;
  const char *cfg = NULL;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--conns")) conns = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--size")) size = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--burst")) burst = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--quiet")) quiet = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "--cfg")) cfg = argv[i + 1];
    else {
      fprintf(stderr, "usage: bench_rdm_memory [--conns N] [--size S] [--burst B] [--quiet Q] [--cfg FILE]\n");
      return 1;
    }
  }
  if (conns < 1 || size < 1 || size > NET_MAX_MESSAGE_SIZE || burst < 1) return 1;
  if (net_init() != 0 || (cfg && net_loadconfig(cfg) != 0) || !net_initdriver(NET_DRIVER_WSOCK_WIN)) return 2;
  std::string where = "127.0.0.1:" + std::to_string(free_port());
  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, where.c_str());
  if (!listener || net_listen(listener) != 0) return 2;

  // Every conn, both ends, in one set; the host's ends follow the clients'.
  std::vector<NET_CONN *> ends;
  NET_WAITSET *set = net_waitset_create();
  net_waitset_add_conn(set, listener, NULL);
  std::vector<void *> ready(512);
  auto deadline = clock_type::now() + std::chrono::seconds(60);
  for (int i = 0; i < conns; i++) {
    NET_CONN *c = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    if (!c || net_connect(c, where.c_str()) != 0) return 2;
    ends.push_back(c);
  }
  int accepted = 0, connected = 0;
  while ((accepted < conns || connected < conns) && clock_type::now() < deadline) {
    net_waitset_wait(set, ready.data(), (int)ready.size(), 5);
    for (NET_CONN *c; accepted < conns && (c = net_poll_listen(listener)) != NULL; accepted++) {
      ends.push_back(c);
      net_waitset_add_conn(set, c, c);
    }
    connected = 0;
    for (int i = 0; i < conns; i++) connected += net_poll_connect(ends[i]) == 1 || ends[i]->status == NET_CONN_CONNECTED;
  }
  if (accepted < conns || connected < conns) return 4;
  for (int i = 0; i < conns; i++) net_waitset_add_conn(set, ends[i], ends[i]);
  long heap0 = heap_kib(), rss0 = rss_kib();

  std::vector<char> msg((size_t)size, 'm'), buf((size_t)size);
  std::vector<int> sent(ends.size(), 0);
  long got = 0, want = 2L * conns * burst;
  while (got < want && clock_type::now() < deadline) {
    for (size_t i = 0; i < ends.size(); i++)
      while (sent[i] < burst && net_send_rdm(ends[i], msg.data(), size) == 0) sent[i]++;
    int n = net_waitset_wait(set, ready.data(), (int)ready.size(), 1);
    for (int i = 0; i < n; i++)
      if (ready[i])
        while (net_receive_rdm(static_cast<NET_CONN *>(ready[i]), buf.data(), size) > 0) got++;
  }
  if (got < want) return 5;
  long heap1 = heap_kib(), rss1 = rss_kib();

  auto until = clock_type::now() + std::chrono::duration<double>(quiet);
  while (clock_type::now() < until) net_waitset_wait(set, ready.data(), (int)ready.size(), 100);
  printf("ok conns=%d size=%d burst=%d heap_kib=%ld,%ld,%ld rss_kib=%ld,%ld,%ld\n", conns, size, burst, heap0, heap1,
         heap_kib(), rss0, rss1, rss_kib());
  return 0;
}
