// Shared pieces of the randomised robustness tests: a seeded generator with
// the few draws they all make, and a time bound that every loop checks
// beside its fixed count.
#ifndef FUZZ_UTIL_H
#define FUZZ_UTIL_H

#include <stdlib.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

// The seeds are fixed; YAMMER_FUZZ_SEED=n shifts every one of them by n,
// for exploring by hand beyond the runs that CTest makes.
inline unsigned int fuzz_seed(unsigned int seed)
{
  const char *shift = getenv("YAMMER_FUZZ_SEED");
  return seed + (shift ? (unsigned int)strtoul(shift, NULL, 10) : 0u);
}

struct Fuzz {
  std::mt19937 rng;
  explicit Fuzz(unsigned int seed) : rng(fuzz_seed(seed)) {}

  // 0 .. n-1 (n > 0).
  unsigned int below(unsigned int n) { return (unsigned int)(rng() % n); }
  // lo .. hi inclusive.
  int between(int lo, int hi) { return lo + (int)below((unsigned int)(hi - lo + 1)); }
  bool chance(int percent) { return (int)below(100) < percent; }
  unsigned char byte() { return (unsigned char)rng(); }
  // A byte that is never 0.
  unsigned char nonzero() { return (unsigned char)(1 + below(255)); }
  std::vector<unsigned char> bytes(size_t n)
  {
    std::vector<unsigned char> out(n);
    for (auto &b : out) b = byte();
    return out;
  }
  // One character of `alphabet`.
  char of(const std::string &alphabet) { return alphabet[below((unsigned int)alphabet.size())]; }
};

// The wall-clock budget of one loop: its fixed count ends it normally, the
// budget only when a sanitizer build on a busy machine runs slow.
class Budget {
 public:
  explicit Budget(int seconds)
      : until_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {}
  bool left() const { return std::chrono::steady_clock::now() < until_; }

 private:
  std::chrono::steady_clock::time_point until_;
};

// A bound on waiting for something that must happen (a handshake, a whole
// exchange), as against one that only cuts a loop short: the sanitizers run
// the same work several times slower, so under them it stretches.
inline int deadline_seconds(int seconds)
{
#if defined(__SANITIZE_THREAD__)
  return seconds * 5;
#elif defined(__SANITIZE_ADDRESS__)
  return seconds * 3;
#else
  return seconds;
#endif
}

#endif
