// fuzz.h - what the fuzz targets share: the libFuzzer entry point and a
// check that aborts with a message, so that a broken invariant is reported
// as a crash with the input that caused it.

#ifndef FUZZ_FUZZ_H
#define FUZZ_FUZZ_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

#endif  // FUZZ_FUZZ_H
