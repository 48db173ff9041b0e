#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

void fuzz_fail(const char* what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}
