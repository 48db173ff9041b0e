#include <cstdio>
#include <cstdlib>

#include "crc32.h"
#include "fuzz_target.h"

void fuzz_fail(const char* what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  crc32_prepare();
  return 0;
}
