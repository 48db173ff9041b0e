// Re-encode stable: for any block that decodes, encoding its data gives a block that decodes to
// the same data, and that block re-encodes to itself byte for byte.
#include <cstring>
#include <memory>
#include <vector>

#include "codec.h"
#include "fuzz_target.h"

namespace {

std::vector<uint8_t> encode(CodecWorkspace* ws, const uint8_t* data, uint32_t n) {
  std::vector<uint8_t> block(static_cast<size_t>(encode_bound(n)));
  uint32_t len = 0;
  codec_run(CODEC_ENCODE, ws, data, n, block.data(), &len, static_cast<uint32_t>(block.size()));
  block.resize(len);
  return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > MAX_BLOCK_BYTES) return 0;
  auto ws = std::make_unique<CodecWorkspace>();
  std::vector<uint8_t> decoded(MAX_BLOCK_INPUT);
  uint32_t n = 0;
  if (codec_run(CODEC_DECODE, ws.get(), data, static_cast<uint32_t>(size), decoded.data(), &n,
                MAX_BLOCK_INPUT) != CODEC_OK) {
    return 0;
  }
  const std::vector<uint8_t> block = encode(ws.get(), decoded.data(), n);
  std::vector<uint8_t> again(MAX_BLOCK_INPUT);
  uint32_t n2 = 0;
  if (codec_run(CODEC_DECODE, ws.get(), block.data(), static_cast<uint32_t>(block.size()), again.data(),
                &n2, MAX_BLOCK_INPUT) != CODEC_OK ||
      n2 != n || std::memcmp(again.data(), decoded.data(), n) != 0) {
    fuzz_fail("the re-encoded block does not decode to the same data");
  }
  if (encode(ws.get(), again.data(), n2) != block) fuzz_fail("re-encoding changed the block");
  return 0;
}
