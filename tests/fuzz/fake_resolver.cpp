// The test programs' own getaddrinfo/freeaddrinfo (see fake_resolver.h).
// Defined in the program, they take the place of the C library's for every
// call the program and the library linked into it make.
#include "fake_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::atomic<long> lookups{0};

std::mutex slow_mutex;
std::condition_variable slow_released;
bool slow_held = false;
int slow_waiting = 0;

void wait_if_held()
{
  std::unique_lock<std::mutex> hold(slow_mutex);
  slow_waiting++;
  slow_released.wait_for(hold, std::chrono::seconds(10), [] { return !slow_held; });
  slow_waiting--;
}

// One allocation holds the whole answer: an IPv6 entry first where the name
// has one, then the IPv4 entry, as resolvers that prefer IPv6 order them.
struct answer_t {
  struct addrinfo info;
  struct addrinfo info4;
  struct sockaddr_in6 addr6;
  struct sockaddr_in addr;
};

}  // namespace

// Names with an IPv6 address: "six" has only 2001:db8::7, "dual" has
// 2001:db8::8 and 10.0.0.8.
bool fake_known6(const char *name, unsigned char *bytes, unsigned int *address)
{
  *address = 0;
  const char *text = NULL;
  if (strcmp(name, "six") == 0) text = "2001:db8::7";
  else if (strcmp(name, "dual") == 0) text = "2001:db8::8", *address = 0x0A000008u;
  return text && inet_pton(AF_INET6, text, bytes) == 1;
}

long fake_lookups()
{
  return lookups.load();
}

bool fake_known(const std::string &name, unsigned int *address)
{
  if (name == "localhost") *address = 0x7F000001u;
  else if (name == "gamma") *address = 0x0A010203u;
  else if (name == "loop7") *address = 0x7F000007u;
  else if (name == "slow") *address = 0x7F000001u;
  else if (name == "dual") *address = 0x0A000008u;  // its IPv4 answer, which readers take
  else return false;
  return true;
}

void fake_hold_slow(bool hold)
{
  std::lock_guard<std::mutex> guard(slow_mutex);
  slow_held = hold;
  slow_released.notify_all();
}

int fake_slow_waiting()
{
  std::lock_guard<std::mutex> guard(slow_mutex);
  return slow_waiting;
}

extern "C" int getaddrinfo(const char *node, const char *, const struct addrinfo *, struct addrinfo **res)
{
  lookups++;
  unsigned int address = 0;
  unsigned char six[16];
  bool has6 = node && fake_known6(node, six, &address);
  if (!node || !res || (!has6 && !fake_known(node, &address))) return EAI_NONAME;
  if (strcmp(node, "slow") == 0) wait_if_held();
  answer_t *a = static_cast<answer_t *>(calloc(1, sizeof(answer_t)));
  if (!a) return EAI_MEMORY;
  a->addr.sin_family = AF_INET;
  a->addr.sin_addr.s_addr = htonl(address);
  a->info4.ai_family = AF_INET;
  a->info4.ai_socktype = SOCK_DGRAM;
  a->info4.ai_addrlen = sizeof a->addr;
  a->info4.ai_addr = reinterpret_cast<struct sockaddr *>(&a->addr);
  if (has6) {
    a->addr6.sin6_family = AF_INET6;
    memcpy(&a->addr6.sin6_addr, six, 16);
    a->info.ai_family = AF_INET6;
    a->info.ai_socktype = SOCK_DGRAM;
    a->info.ai_addrlen = sizeof a->addr6;
    a->info.ai_addr = reinterpret_cast<struct sockaddr *>(&a->addr6);
    a->info.ai_next = address ? &a->info4 : NULL;
  } else {
    a->info = a->info4;
  }
  *res = &a->info;
  return 0;
}

extern "C" void freeaddrinfo(struct addrinfo *ai) noexcept
{
  free(ai);  // info is the first member of its answer_t
}
