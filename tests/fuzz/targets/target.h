// Shared pieces of the coverage-guided fuzz targets: the entry points that
// libFuzzer (or replay.cpp) calls, a check that stops the run with the
// failed condition, and a reader that takes the input apart.
#ifndef FUZZ_TARGET_H
#define FUZZ_TARGET_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A broken rule is a finding: libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);        \
      abort();                                                                        \
    }                                                                                 \
  } while (0)

// The input read front to back; past its end every read gives zeros.
struct Input {
  const uint8_t *at;
  const uint8_t *end;
  Input(const uint8_t *data, size_t size) : at(data), end(data + size) {}
  bool left() const { return at < end; }
  uint8_t byte() { return at < end ? *at++ : 0; }
  // A length: one byte, or 255 then two more for lengths up to 65535.
  size_t length()
  {
    size_t n = byte();
    if (n == 255) n = (size_t)byte() << 8 | byte();
    return n;
  }
  std::vector<unsigned char> bytes(size_t n)
  {
    std::vector<unsigned char> out;
    while (n-- > 0 && at < end) out.push_back(*at++);
    return out;
  }
};

#endif
