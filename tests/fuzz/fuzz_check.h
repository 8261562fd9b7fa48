// The check of the fuzz targets: a broken promise stops the run (abort is a
// crash to libFuzzer and to the corpus replay alike), with the reason.
#pragma once

#include <cstdio>
#include <cstdlib>

#define KX_FUZZ_CHECK(cond)                                                       \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)
