#pragma once
// Shared by the fuzz targets: a failed property stops the run with a message libFuzzer keeps
// beside the crashing input.

#include <cstdio>
#include <cstdlib>

#define QUORVIN_FUZZ_CHECK(condition)                                                      \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (false)
