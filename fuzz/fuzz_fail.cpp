#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

void fuzz_fail(const char* what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

int fuzz_memory_file(const uint8_t* data, size_t size) {
  const int fd = memfd_create("fuzz", 0);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, data + done, size - done);
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}
