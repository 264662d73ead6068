// Benchmark: a host and 8 clients on 127.0.0.1, each a process of its own
// running the real chat (rules, conns, UDP) at 60 logic steps a second
// without screen or keys. Clients take turns pressing Enter; reports the time
// from Enter at the author to the line reaching every other participant
// (median and worst, in ms and logic steps) and the host's peak memory.
//
//   bench_chat_latency [port] [lines]     (defaults 32190, 40)
#include <allegro.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include "chat_it.h"
#include "menu.h"
#include "network.h"

namespace {

const int CLIENTS = 8;
const double STEP_MS = 1000.0 / 60;
const double JOIN_AT_S = 0.5;        // first client joins; then one every JOIN_GAP_S
const double JOIN_GAP_S = 0.4;
const double TALK_AT_S = 5.0;        // every client is in by then
const double LINE_GAP_S = 0.25;

using Clock = std::chrono::steady_clock;

// One participant: index 0 is the host, 1..8 the clients.
[[noreturn]] void participant(int index, Clock::time_point t0, int port, int lines,
                              const std::string &dir)
{
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(8);
  int type = index == 0 ? 1 : 2;
  snprintf(host_name, sizeof host_name, "host");
  snprintf(client_name, sizeof client_name, "client%d", index);
  snprintf(ip_addy, sizeof ip_addy, "127.0.0.1:%d", port);
  snprintf(port_num, sizeof port_num, "%d", port);
  pick_color = 5 + index;

  std::string trace = dir + "/" + std::to_string(index) + ".trace";
  setenv("YAMMERLANE_TRACE", trace.c_str(), 1);

  // Each process steps on its own 60 Hz phase, as separate machines would.
  auto phase = std::chrono::microseconds((index * 7919) % 16667);
  auto begin = t0 + phase;
  if (type == 2)
    begin += std::chrono::milliseconds((int)((JOIN_AT_S + JOIN_GAP_S * (index - 1)) * 1000));
  std::this_thread::sleep_until(begin);
  if (chat_start(type) != 0)
    _exit(2);

  auto end = t0 + std::chrono::milliseconds((int)((TALK_AT_S + LINE_GAP_S * lines + 2) * 1000));
  int next_line = index - 1;  // client k says lines k-1, k-1+8, ...
  auto next_step = Clock::now();
  while (Clock::now() < end) {
    if (type == 2 && next_line < lines &&
        Clock::now() >= t0 + std::chrono::milliseconds(
                                 (int)((TALK_AT_S + LINE_GAP_S * next_line) * 1000))) {
      snprintf(user[my_number].typings, USER_TYPINGS, "line %d", next_line);
      post_message(user[my_number].name, user[my_number].text_color, user[my_number].typings);
      send_flag = true;
      next_line += CLIENTS;
    }
    chat_net_step(type);
    next_step += std::chrono::microseconds(16667);
    std::this_thread::sleep_until(next_step);
  }
  chat_end(type);

  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  FILE *f = fopen((dir + "/" + std::to_string(index) + ".rss").c_str(), "w");
  if (f) {
    fprintf(f, "%ld\n", ru.ru_maxrss);
    fclose(f);
  }
  _exit(0);
}

// Time at which `index`'s trace first posted "...: line N", or -1.
long posted_at(const std::string &dir, int index, int line, bool echo)
{
  FILE *f = fopen((dir + "/" + std::to_string(index) + ".trace").c_str(), "r");
  if (!f)
    return -1;
  char want[32];
  snprintf(want, sizeof want, ": line %d\n", line);
  char buf[256];
  long at = -1;
  while (fgets(buf, sizeof buf, f)) {
    long ms;
    char kind[8];
    if (sscanf(buf, "%ld %7s", &ms, kind) != 2 || strcmp(kind, "post") != 0)
      continue;
    size_t len = strlen(buf), wl = strlen(want);
    if (len >= wl && strcmp(buf + len - wl, want) == 0) {
      at = ms;
      if (!echo)
        break;
    }
  }
  fclose(f);
  return at;
}

}  // namespace

int main(int argc, char **argv)
{
  int port = argc > 1 ? atoi(argv[1]) : 32190;
  int lines = argc > 2 ? atoi(argv[2]) : 40;
  char dir_template[] = "/tmp/yl_bench_XXXXXX";
  if (!mkdtemp(dir_template))
    return 1;
  std::string dir = dir_template;
  if (chdir(dir.c_str()) != 0)
    return 1;

  auto t0 = Clock::now() + std::chrono::milliseconds(300);
  std::vector<pid_t> pids;
  for (int i = 0; i <= CLIENTS; i++) {
    pid_t pid = fork();
    if (pid == 0)
      participant(i, t0, port, lines, dir);
    pids.push_back(pid);
  }
  int failed = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::vector<long> worst_per_line;
  int missing = 0;
  for (int line = 0; line < lines; line++) {
    int author = 1 + line % CLIENTS;
    long sent = posted_at(dir, author, line, true);
    long worst = -1;
    for (int i = 0; i <= CLIENTS; i++) {
      if (i == author)
        continue;
      long got = posted_at(dir, i, line, false);
      if (sent < 0 || got < 0) {
        missing++;
        continue;
      }
      worst = std::max(worst, got - sent);
    }
    if (worst >= 0)
      worst_per_line.push_back(worst);
  }
  long host_rss = 0;
  if (FILE *f = fopen((dir + "/0.rss").c_str(), "r")) {
    if (fscanf(f, "%ld", &host_rss) != 1)
      host_rss = 0;
    fclose(f);
  }

  std::sort(worst_per_line.begin(), worst_per_line.end());
  printf("chat latency: host + %d clients on 127.0.0.1, %d lines, 60 steps/s\n", CLIENTS, lines);
  if (!worst_per_line.empty()) {
    long median = worst_per_line[worst_per_line.size() / 2];
    long worst = worst_per_line.back();
    printf("  Enter to every other participant: median %ld ms (%.1f steps), worst %ld ms (%.1f steps)\n",
           median, median / STEP_MS, worst, worst / STEP_MS);
  }
  printf("  deliveries missing: %d of %d; participants failed: %d\n", missing, lines * CLIENTS,
         failed);
  printf("  host peak memory (max RSS): %ld KiB\n", host_rss);

  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0)
    return 1;
  return missing || failed ? 1 : 0;
}
