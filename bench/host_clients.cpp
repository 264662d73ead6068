// Benchmark helper: 8 clients that speak the chat's packets over netlane
// conns, joined to a host on 127.0.0.1, driven by host_load.sh over
// standard input:
//   (start)    prints "joined" once every client has its number
//   talk N     the clients take turns saying N lines, 50 a second; prints
//              "talked <ms> <copies>" once every other client has each line
//              (copies: the lines received, N x 7 when none is missing)
//   quit       leaves
// Between commands the clients keep taking in what comes.
//
//   bench_host_clients <port>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include "netlane.h"

namespace {

const int CLIENTS = 8;
const int PACKET = 1024;
using Clock = std::chrono::steady_clock;

struct Client {
  NET_CONN *conn = nullptr;
  int number = 0;
  long lines = 0;  // "Mesg" received
  bool up = false;
};

long ms_since(Clock::time_point t)
{
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void send_packet(Client &c, const char *id, int byte, const char *text)
{
  char p[PACKET] = {0};
  memcpy(p, id, 4);
  p[4] = (char)byte;
  snprintf(p + 5, 51, "%s", text);
  net_send_rdm(c.conn, p, PACKET);
}

void pump(Client &c, int n)
{
  if (!c.up) {
    if (net_poll_connect(c.conn) != 1)
      return;
    c.up = true;
    char name[10];
    snprintf(name, sizeof name, "bench%d", n);
    send_packet(c, "ReJo", 7, name);
  }
  char buf[PACKET];
  for (int i = 0; i < 64 && net_query_rdm(c.conn) > 0; i++) {
    if (net_receive_rdm(c.conn, buf, sizeof buf) <= 0)
      break;
    if (memcmp(buf, "You!", 4) == 0)
      c.number = buf[4];
    if (memcmp(buf, "Mesg", 4) == 0)
      c.lines++;
  }
}

void pump_all(std::vector<Client> &cs)
{
  for (int i = 0; i < CLIENTS; i++)
    pump(cs[i], i);
}

}  // namespace

int main(int argc, char **argv)
{
  char address[32];
  snprintf(address, sizeof address, "127.0.0.1:%s", argc > 1 ? argv[1] : "32196");
  net_init();
  net_loadconfig(NULL);
  net_initdriver(NET_DRIVER_WSOCK_WIN);
  std::vector<Client> cs(CLIENTS);
  for (int i = 0; i < CLIENTS; i++) {
    cs[i].conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    if (!cs[i].conn || net_connect(cs[i].conn, address) != 0)
      return 1;
    // One at a time, as people join: the host gives one place a step.
    auto t0 = Clock::now();
    while (cs[i].number == 0 && ms_since(t0) < 10000) {
      pump_all(cs);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (cs[i].number == 0)
      return 1;
  }
  printf("joined\n");
  fflush(stdout);

  char command[64];
  size_t have = 0;
  for (;;) {
    struct pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      ssize_t got = read(0, command + have, sizeof command - 1 - have);
      if (got <= 0)
        break;
      have += (size_t)got;
      command[have] = 0;
      if (!strchr(command, '\n'))
        continue;
      have = 0;
      int lines = 0;
      if (strncmp(command, "quit", 4) == 0)
        break;
      if (sscanf(command, "talk %d", &lines) == 1) {
        long before = 0;
        for (Client &c : cs)
          before += c.lines;
        auto t0 = Clock::now();
        long total = 0;
        for (int n = 0; n < lines || (total < before + 7L * lines && ms_since(t0) < 20L * lines + 10000);) {
          if (n < lines && ms_since(t0) >= 20L * n) {
            char text[24];
            snprintf(text, sizeof text, "line %d", n);
            send_packet(cs[n % CLIENTS], "Mesg", cs[n % CLIENTS].number, text);
            n++;
          }
          pump_all(cs);
          total = 0;
          for (Client &c : cs)
            total += c.lines;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        printf("talked %ld %ld\n", ms_since(t0), total - before);
        fflush(stdout);
      }
    }
    pump_all(cs);
  }
  for (Client &c : cs)
    net_closeconn(c.conn);
  return 0;
}
