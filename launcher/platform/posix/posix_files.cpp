// File access for the POSIX platform layer: plain descriptors (POSIX has no text mode).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

int platform_open_read(const char* path) {
  int fd;
  do fd = ::open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? PLATFORM_NO_FILE : fd;
}

int platform_open_write(const char* path) {
  // 0700: the file is the program the launcher will start.
  int fd;
  do fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0700);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return PLATFORM_NO_FILE;
  // Truncated only when it holds something: the file is new and empty as a rule, and some file
  // systems (ext4) take a truncation to nothing as the sign of a file being replaced, and then
  // write the whole file out to disk when it is closed, which would cost the run a tenth of its
  // time for nothing.
  struct stat st;
  if (::fstat(fd, &st) != 0 || (st.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return PLATFORM_NO_FILE;
  }
  return fd;
}

int32_t platform_read(int fd, void* buffer, uint32_t n) {
  ssize_t got;
  do got = ::read(fd, buffer, n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n);
  while (got < 0 && errno == EINTR);
  return static_cast<int32_t>(got);
}

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  // Loops over partial writes: a result below n means no more could be written (disk full).
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  uint32_t done = 0;
  while (done < n) {
    const ssize_t put = ::write(fd, bytes + done, n - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return done == 0 ? -1 : static_cast<int32_t>(done);
    if (put == 0) break;
    done += static_cast<uint32_t>(put);
  }
  return static_cast<int32_t>(done);
}

int64_t platform_file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool platform_close(int fd) { return ::close(fd) == 0; }

bool platform_unlink(const char* path) { return ::unlink(path) == 0; }
