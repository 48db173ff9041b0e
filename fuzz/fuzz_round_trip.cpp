// Round trip: any data of up to one block encodes to what the reference encoder writes, within
// the stated bound, and decodes back to itself.
#include <cstring>
#include <memory>
#include <vector>

#include "codec.h"
#include "fuzz_target.h"
#include "reference_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > MAX_BLOCK_INPUT) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  auto ws = std::make_unique<CodecWorkspace>();
  const auto bound = static_cast<uint32_t>(encode_bound(n));
  auto block = std::make_unique<uint8_t[]>(bound);
  uint32_t block_len = 0;
  if (codec_run(CODEC_ENCODE, ws.get(), data, n, block.get(), &block_len, bound) != CODEC_OK) {
    fuzz_fail("encode refused a buffer of the stated bound");
  }
  if (block_len > n + BLOCK_HEADER_BYTES) fuzz_fail("block longer than stored data");
  const std::vector<uint8_t> input(data, data + size);
  if (reference::encode(input) != std::vector<uint8_t>(block.get(), block.get() + block_len)) {
    fuzz_fail("encoder and reference disagree");
  }
  auto out = std::make_unique<uint8_t[]>(n + 1);
  uint32_t out_len = 0;
  if (codec_run(CODEC_DECODE, ws.get(), block.get(), block_len, out.get(), &out_len, n) != CODEC_OK ||
      out_len != n || (n != 0 && std::memcmp(out.get(), data, n) != 0)) {
    fuzz_fail("round trip lost data");
  }
  return 0;
}
