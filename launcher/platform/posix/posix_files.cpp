// File access for the POSIX platform layer: plain descriptors (POSIX has no text mode).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"
#include "write_gathering.h"

int platform_open_read(const char* path) {
  int fd;
  do fd = ::open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? PLATFORM_NO_FILE : fd;
}

int platform_open_locked(const char* path) {
  // POSIX has no lock that keeps other processes of the same user from writing: the write
  // permission is taken away first, so that only a process that gives it back can write. The
  // folder the file lies in is the user's alone (0700), so no other user can reach it at all.
  int fd;
  do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return PLATFORM_NO_FILE;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd, st.st_mode & 0500) != 0) {
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

namespace {

// Writes all n bytes unless the disk fills or an error stops it: false then.
bool write_all(int fd, const uint8_t* bytes, uint32_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, bytes, n);
    if (put < 0 && errno == EINTR) continue;
    // A write that takes nothing has found the disk full.
    if (put == 0) errno = ENOSPC;
    if (put <= 0) return false;
    bytes += put;
    n -= static_cast<uint32_t>(put);
  }
  return true;
}

}  // namespace

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  return gathered_write(fd, buffer, n, write_all);
}

int64_t platform_file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool platform_close(int fd) {
  const bool written = gathered_flush_before_close(fd, write_all);
  return ::close(fd) == 0 && written;
}

