// Benchmark: a file through the host on 127.0.0.1. A host and three
// clients, each a process of its own running the real chat without screen
// or keys: Alice offers a file, Bob takes it, Carl says a line every 100 ms.
// Reports the file's rate at Bob (from the take to the saved file), the
// delay of Carl's lines at Bob while the file comes (Enter at Carl to Bob's
// log), and beside them the rate of one netlane conn streaming 1 KiB
// messages on loopback with both ends polled back to back.
//
//   bench_transfer_rate [port] [MiB]     (defaults 32191, 64)
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include "bench_util.h"
#include "chat_it.h"
#include "events.h"
#include "files.h"
#include "menu.h"
#include "network.h"
#include "timers.h"

namespace {

const double OFFER_AT_S = 2.5;   // every client is in by then
const double LIMIT_S = 60;       // the run ends by then whatever happens
const double LINE_GAP_S = 0.1;

using Clock = std::chrono::steady_clock;

std::string dir;
bool offered = false;
long saved_ms = -1;

void on_offer(const char *, const char *, long long) { offered = true; }
void on_saved(const char *) { saved_ms = clock_ms(); }

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void write_number(const std::string &name, long value)
{
  if (FILE *f = fopen((dir + "/" + name).c_str(), "w")) {
    fprintf(f, "%ld\n", value);
    fclose(f);
  }
}

long read_number(const std::string &name)
{
  long value = -1;
  if (FILE *f = fopen((dir + "/" + name).c_str(), "r")) {
    if (fscanf(f, "%ld", &value) != 1)
      value = -1;
    fclose(f);
  }
  return value;
}

// 0 host, 1 Alice (offers), 2 Bob (takes), 3 Carl (talks).
[[noreturn]] void participant(int index, Clock::time_point t0, int port)
{
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(8);
  int type = index == 0 ? 1 : 2;
  const char *names[4] = {"host", "alice", "bob", "carl"};
  snprintf(host_name, sizeof host_name, "host");
  snprintf(client_name, sizeof client_name, "%s", names[index]);
  snprintf(ip_addy, sizeof ip_addy, "127.0.0.1:%d", port);
  snprintf(port_num, sizeof port_num, "%d", port);
  pick_color = 5 + index;
  std::string trace = dir + "/" + std::to_string(index) + ".trace";
  setenv("YAMMERLANE_TRACE", trace.c_str(), 1);
  setenv("XDG_DOWNLOAD_DIR", (dir + "/downloads" + std::to_string(index)).c_str(), 1);

  std::this_thread::sleep_until(t0 + std::chrono::milliseconds(index * 400));
  if (chat_start(type) != 0)
    _exit(2);
  chat_out.file_offered = on_offer;
  chat_out.file_saved = on_saved;

  auto at = [&](double s) { return t0 + std::chrono::milliseconds((int)(s * 1000)); };
  bool offer_made = false, taken = false;
  int line = 0;
  auto next_line = at(OFFER_AT_S);
  auto next_step = Clock::now();
  while (Clock::now() < at(LIMIT_S) && !exists(dir + "/done")) {
    if (index == 1 && !offer_made && Clock::now() >= at(OFFER_AT_S)) {
      offer_made = true;
      file_offer((dir + "/file.bin").c_str(), type);
    }
    if (index == 2 && offered && !taken) {
      taken = true;
      write_number("taken", clock_ms());
      file_take_newest(type);
    }
    if (index == 2 && saved_ms >= 0) {
      write_number("saved", saved_ms);
      write_number("done", 1);
    }
    if (index == 3 && Clock::now() >= next_line && !send_flag) {
      snprintf(user[my_number].typings, USER_TYPINGS, "line %d", line++);
      post_message(user[my_number].name, user[my_number].text_color, user[my_number].typings);
      send_flag = true;
      next_line += std::chrono::milliseconds((int)(LINE_GAP_S * 1000));
    }
    chat_net_step(type);
    next_step += std::chrono::microseconds(16667);
    // The wait serves the file as the program's own does.
    while (Clock::now() < next_step)
      if (!chat_files_pump(type))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  chat_end(type);
  _exit(0);
}

// When `index`'s trace first posted a line ending in `tail`, ms; -1 if never.
long posted_at(int index, const std::string &tail)
{
  FILE *f = fopen((dir + "/" + std::to_string(index) + ".trace").c_str(), "r");
  if (!f)
    return -1;
  char buf[256];
  long at = -1;
  std::string want = ": " + tail + "\n";
  while (at < 0 && fgets(buf, sizeof buf, f)) {
    long ms;
    char kind[8];
    size_t len = strlen(buf);
    if (sscanf(buf, "%ld %7s", &ms, kind) == 2 && strcmp(kind, "post") == 0 && len >= want.size() &&
        want == buf + len - want.size())
      at = ms;
  }
  fclose(f);
  return at;
}

// One conn streaming 1 KiB messages on loopback, both ends in this process
// polled back to back: MiB/s over `mib` MiB, or -1.
double conn_stream_rate(int port, int mib)
{
  net_init();
  net_initdriver(NET_DRIVER_WSOCK_WIN);
  std::string where = "127.0.0.1:" + std::to_string(port);
  NET_CONN *listener = net_openconn(NET_DRIVER_WSOCK_WIN, where.c_str());
  NET_CONN *client = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  if (!listener || net_listen(listener) != 0 || !client || net_connect(client, where.c_str()) != 0)
    return -1;
  NET_CONN *server = NULL;
  auto limit = Clock::now() + std::chrono::seconds(5);
  bool joined = false;
  while ((!server || !joined) && Clock::now() < limit) {
    joined = joined || net_poll_connect(client) == 1;
    if (!server)
      server = net_poll_listen(listener);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server)
    return -1;
  std::vector<char> msg(1024, 'm'), buf(1024);
  long want = (long)mib * 1024, got = 0;
  auto start = Clock::now();
  limit = start + std::chrono::seconds(30);
  while (got < want && Clock::now() < limit) {
    while (net_send_rdm(client, msg.data(), (int)msg.size()) == 0) {
    }
    while (net_receive_rdm(server, buf.data(), (int)buf.size()) > 0)
      got++;
  }
  double s = std::chrono::duration<double>(Clock::now() - start).count();
  net_closeconn(client);
  net_closeconn(server);
  net_closeconn(listener);
  return got / 1024.0 / s;
}

}  // namespace

int main(int argc, char **argv)
{
  int port = argc > 1 ? atoi(argv[1]) : 32191;
  int mib = argc > 2 ? atoi(argv[2]) : 64;
  char dir_template[] = "/tmp/yl_bench_files_XXXXXX";
  if (!mkdtemp(dir_template))
    return 1;
  dir = dir_template;
  if (chdir(dir.c_str()) != 0)
    return 1;
  std::vector<char> block(1 << 20);
  FILE *f = fopen("file.bin", "wb");
  for (int n = 0; f && n < mib; n++) {
    for (char &c : block)
      c = (char)rand();
    fwrite(block.data(), 1, block.size(), f);
  }
  if (!f || fclose(f) != 0)
    return 1;

  auto t0 = Clock::now() + std::chrono::milliseconds(300);
  std::vector<pid_t> pids;
  for (int i = 0; i < 4; i++) {
    pid_t pid = fork();
    if (pid == 0)
      participant(i, t0, port);
    pids.push_back(pid);
  }
  int failed = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  long taken = read_number("taken"), saved = read_number("saved");
  std::vector<long> delays;
  for (int line = 0;; line++) {
    std::string tail = "line " + std::to_string(line);
    long said = posted_at(3, tail), heard = posted_at(2, tail);
    if (said < 0)
      break;
    if (heard >= 0 && said >= taken && heard <= saved)
      delays.push_back(heard - said);
  }
  std::sort(delays.begin(), delays.end());
  printf("file through the host: %d MiB from alice to bob, 127.0.0.1, 60 steps/s\n", mib);
  if (taken >= 0 && saved > taken)
    printf("  file rate: %.1f MiB/s (%.2f s from the take to the saved file)\n", mib * 1000.0 / (saved - taken),
           (saved - taken) / 1000.0);
  else
    printf("  file rate: not saved within %.0f s\n", LIMIT_S);
  if (!delays.empty())
    printf("  carl's lines at bob during it: %zu, median %ld ms, worst %ld ms\n", delays.size(),
           delays[delays.size() / 2], delays.back());
  printf("  one conn's stream of 1 KiB messages, both ends polled back to back: %.1f MiB/s\n",
         conn_stream_rate(free_port(), mib));
  printf("  participants failed: %d\n", failed);

  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0)
    return 1;
  return failed || saved < 0 ? 1 : 0;
}
