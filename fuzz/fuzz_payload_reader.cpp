// The payload reader on any file: it never steps outside its buffers, its offsets only grow and
// stay within the file, every block it hands out fits a block buffer, and it ends, cleanly or
// with a fault that names a block at an offset inside the file.
#include <memory>

#include "fuzz_target.h"
#include "payload_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryBytes file{data, size, 0};
  static auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), memory_source(&file));
  int64_t start = 0;
  if (find_payload(reader.get(), &start)) {
    if (start < 13 || start > static_cast<int64_t>(size)) fuzz_fail("payload start outside the file");
    int64_t last = start;
    for (uint32_t blocks = 0;; ++blocks) {
      uint32_t n = 0;
      const PayloadRead r = read_payload_block(reader.get(), &n);
      if (r == PAYLOAD_READ_END) break;
      if (r == PAYLOAD_READ_DAMAGED) {
        const PayloadError& e = reader->error;
        if (e.block != blocks || e.offset != last) fuzz_fail("fault names the wrong block or offset");
        break;
      }
      const int64_t now = payload_reader_offset(reader.get());
      if (n > MAX_BLOCK_BYTES || now <= last + 2 || now > static_cast<int64_t>(size)) {
        fuzz_fail("block outside the file or larger than a block");
      }
      last = now;
    }
  }
  return 0;
}
