// The payload writer: one block per block_input bytes of input, each block no longer than its
// input plus its header, so every length fits MAX_BLOCK_BYTES and 2 bytes.
#include "payload_writer.h"

#include <cassert>
#include <cstring>

#include "file_io.h"
#include "payload_reader.h"
#include "progress.h"

static_assert(sizeof PAYLOAD_MARKER_UPPER - 1 == PAYLOAD_MARKER_BYTES, "marker length");
static_assert(MAX_BLOCK_BYTES <= 0xFFFF, "a block length fits its 2-byte field");

BlockEncoder::BlockEncoder() : workspace_(std::make_unique<CodecWorkspace>()) {}

void BlockEncoder::encode(const uint8_t* data, uint32_t n, std::vector<uint8_t>* out) {
  assert(n <= MAX_BLOCK_INPUT);
  out->resize(static_cast<size_t>(encode_bound(n)));
  uint32_t length = 0;
  const CodecStatus status = codec_run(CODEC_ENCODE, workspace_.get(), data, n, out->data(),
                                       &length, static_cast<uint32_t>(out->size()));
  assert(status == CODEC_OK);
  (void)status;
  assert(length <= n + BLOCK_HEADER_BYTES);
  out->resize(length);
}

PayloadStats write_payload(InputFile& input, OutputFile& output, uint32_t block_input,
                           Progress* progress) {
  assert(block_input >= 1 && block_input <= MAX_BLOCK_INPUT);
  PayloadStats stats;
  BlockEncoder encoder;
  std::vector<uint8_t> data(block_input);
  std::vector<uint8_t> block;
  block.reserve(static_cast<size_t>(encode_bound(block_input)));

  output.write(reinterpret_cast<const uint8_t*>(PAYLOAD_MARKER_UPPER), PAYLOAD_MARKER_BYTES);
  stats.payload_bytes += PAYLOAD_MARKER_BYTES;
  for (;;) {
    const size_t got = input.read_full(data.data(), data.size());
    if (got == 0) break;
    encoder.encode(data.data(), static_cast<uint32_t>(got), &block);
    const uint8_t length[PAYLOAD_LENGTH_BYTES] = {static_cast<uint8_t>(block.size() >> 8),
                                                  static_cast<uint8_t>(block.size() & 0xFF)};
    output.write(length, sizeof length);
    output.write(block.data(), block.size());
    stats.input_bytes += got;
    stats.payload_bytes += PAYLOAD_LENGTH_BYTES + block.size();
    ++stats.blocks;
    if (block[0] == BLOCK_FLAG_STORED) ++stats.stored_blocks;
    if (progress != nullptr) progress->update(stats.input_bytes);
    if (got < data.size()) break;
  }
  output.write(reinterpret_cast<const uint8_t*>(PAYLOAD_END_MARK), PAYLOAD_END_MARK_BYTES);
  stats.payload_bytes += PAYLOAD_END_MARK_BYTES;
  return stats;
}
