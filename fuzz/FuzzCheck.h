// The fuzz targets' own assertion: unlike assert() it stays on in release
// builds, and it aborts so libFuzzer keeps the input.
#ifndef LUMACOR_FUZZ_FUZZCHECK_H_
#define LUMACOR_FUZZ_FUZZCHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: verificacao falhou: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

#endif  // LUMACOR_FUZZ_FUZZCHECK_H_
