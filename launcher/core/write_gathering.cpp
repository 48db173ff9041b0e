#include "write_gathering.h"

#include <cstring>

namespace {

uint8_t gathered[WRITE_GATHER_BYTES];
uint32_t gathered_bytes = 0;
// The file being gathered for, plus one (0: none), so that the state starts as zeros.
int gathered_fd_plus_one = 0;
bool gather_failed = false;

bool flush(RawWrite raw) {
  const bool ok = !gather_failed && (gathered_bytes == 0 || raw(gathered_fd_plus_one - 1, gathered, gathered_bytes));
  gathered_bytes = 0;
  gather_failed = !ok;
  return ok;
}

}  // namespace

int32_t gathered_write(int fd, const void* buffer, uint32_t n, RawWrite raw) {
  if (fd + 1 != gathered_fd_plus_one) {
    if (gathered_fd_plus_one != 0 && !flush(raw)) return -1;
    gathered_fd_plus_one = fd + 1;
    gather_failed = false;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (gathered_bytes + n > WRITE_GATHER_BYTES && !flush(raw)) return -1;
  if (n >= WRITE_GATHER_BYTES) return raw(fd, bytes, n) ? static_cast<int32_t>(n) : -1;
  std::memcpy(gathered + gathered_bytes, bytes, n);
  gathered_bytes += n;
  return static_cast<int32_t>(n);
}

bool gathered_flush_before_close(int fd, RawWrite raw) {
  if (fd + 1 != gathered_fd_plus_one) return true;
  const bool written = flush(raw);
  gathered_fd_plus_one = 0;
  return written;
}
