// File access for the POSIX platform layer: plain descriptors (POSIX has no text mode).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

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
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd, 0500) != 0) {
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
bool write_all(int fd, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, bytes, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// The run's writes (4,096 bytes each) reach the system in runs of this size: a system call per
// 4,096 bytes was a third of the launcher's run (`bench/launcher-bench.sh`: 0.156 s against
// 0.113 s for a 94 MB installer). One file is written at a time.
constexpr size_t GATHER_BYTES = 256 * 1024;
uint8_t gathered[GATHER_BYTES];
size_t gathered_bytes = 0;
int gathered_fd = -1;
bool gather_failed = false;

bool flush_gathered() {
  const bool ok = !gather_failed && write_all(gathered_fd, gathered, gathered_bytes);
  gathered_bytes = 0;
  gather_failed = !ok;
  return ok;
}

}  // namespace

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  if (fd != gathered_fd) {
    if (gathered_fd >= 0 && !flush_gathered()) return -1;
    gathered_fd = fd;
    gather_failed = false;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (gathered_bytes + n > GATHER_BYTES && !flush_gathered()) return -1;
  if (n >= GATHER_BYTES) return write_all(fd, bytes, n) ? static_cast<int32_t>(n) : -1;
  std::memcpy(gathered + gathered_bytes, bytes, n);
  gathered_bytes += n;
  return static_cast<int32_t>(n);
}

int64_t platform_file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool platform_close(int fd) {
  // What is gathered for the file goes out first; a failure there fails the close.
  bool written = true;
  if (fd == gathered_fd) {
    written = flush_gathered();
    gathered_fd = -1;
  }
  return ::close(fd) == 0 && written;
}

