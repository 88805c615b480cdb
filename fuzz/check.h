// The fuzzers' invariant check: a failed one names its line and aborts, which libFuzzer
// reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                     \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)
