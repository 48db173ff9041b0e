// Decode anything: no input makes the decoder touch memory outside its buffers, and whatever it
// accepts, the plain reference decoder reads the same way.
#include <cstring>
#include <memory>
#include <vector>

#include "codec.h"
#include "fuzz_target.h"
#include "reference_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > MAX_BLOCK_BYTES + 2) return 0;
  // The first two bytes choose the capacity of dst; the rest is the block.
  const uint32_t capacity = (uint32_t{data[0]} << 8 | data[1]) % (MAX_BLOCK_BYTES + 1);
  const std::vector<uint8_t> block(data + 2, data + size);
  auto ws = std::make_unique<CodecWorkspace>();
  // Exactly sized heap buffers, so that the sanitizer sees any step past either end.
  auto src = std::make_unique<uint8_t[]>(block.size() + 1);
  if (!block.empty()) std::memcpy(src.get(), block.data(), block.size());
  auto dst = std::make_unique<uint8_t[]>(capacity + 1);
  uint32_t len = 0;
  const CodecStatus st = codec_run(CODEC_DECODE, ws.get(), src.get(), static_cast<uint32_t>(block.size()),
                                   dst.get(), &len, capacity);
  const auto ref = reference::decode(block);
  if (st == CODEC_OK) {
    if (!ref || ref->size() != len || (len != 0 && std::memcmp(ref->data(), dst.get(), len) != 0)) {
      fuzz_fail("decoder and reference disagree");
    }
  } else if (st == CODEC_DST_TOO_SMALL) {
    // A block that is both too large and cut short may be reported as either.
    if (ref && ref->size() <= capacity) fuzz_fail("too small, yet the reference fits");
  } else if (ref) {
    fuzz_fail("malformed, yet the reference decodes it");
  }
  return 0;
}
