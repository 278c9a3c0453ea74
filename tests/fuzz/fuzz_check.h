// A failed invariant in a fuzz target: say which one and abort, so that libFuzzer saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                 \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__,    \
                   #condition);                                                    \
      std::fprintf(stderr, "  " __VA_ARGS__);                                      \
      std::fprintf(stderr, "\n");                                                  \
      std::abort();                                                                \
    }                                                                              \
  } while (false)
