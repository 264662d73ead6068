// The cost of a keyed chat on this machine: how long Argon2id takes to make
// K (the host once per chat, a client once per join), and the CPU the host
// spends on one sealed line from a client in a chat of 9 users: it opens the
// line's "Seal" and seals the relayed "Mesg" once for each of the other 7
// clients. Usage: bench_seal_cost [lines]
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <algorithm>
#include <vector>
#include "packet.h"
#include "seal.h"

static double cpu_seconds()
{
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static double wall_seconds()
{
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
  int lines = argc > 1 ? atoi(argv[1]) : 100000;
  if (sodium_init() < 0 || lines <= 0)
    return 1;
  unsigned char salt[SEAL_SALT], k[SEAL_KEY];
  randombytes_buf(salt, sizeof salt);

  std::vector<double> wall, cpu;
  for (int n = 0; n < 7; n++) {
    double w = wall_seconds(), c = cpu_seconds();
    if (seal_derive("plum orbit canvas tide", salt, k) != 0)
      return 1;
    wall.push_back(wall_seconds() - w);
    cpu.push_back(cpu_seconds() - c);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  printf("Argon2id (64 MiB, 2 passes), 7 runs: median %.1f ms wall (%.1f-%.1f), %.1f ms CPU\n",
         wall[3] * 1e3, wall[0] * 1e3, wall[6] * 1e3, cpu[3] * 1e3);

  unsigned char keys[2 * SEAL_KEY];
  randombytes_buf(keys, sizeof keys);
  char inner[PACKET_SIZE] = "Mesg\002a line of fifty characters, as long as one gets";
  char sealed[PACKET_SIZE], opened[PACKET_SIZE], relayed[PACKET_SIZE];
  const int others = 7;
  double c = cpu_seconds();
  uint64_t counter = 0;
  for (int n = 0; n < lines; n++, counter++) {
    seal_packet(sealed, inner, counter, keys);  // what the client sent; not the host's work
    if (seal_unseal(opened, sealed, PACKET_SIZE, counter, keys) != 0)
      return 2;
    for (int o = 0; o < others; o++)
      seal_packet(relayed, opened, counter, keys + SEAL_KEY);
  }
  double total = cpu_seconds() - c;
  // The client's own sealing above is one seal of the same size: take it out.
  double per_line = total / lines * (1 + others) / (2 + others);
  printf("host CPU per sealed line (open 1, seal %d): %.2f us; per seal or open of a packet: %.2f us\n",
         others, per_line * 1e6, total / lines / (2 + others) * 1e6);
  return 0;
}
