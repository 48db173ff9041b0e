// The payload writer: the reading thread cuts the input into blocks, worker threads code them
// (and take their CRC), and the reading thread writes them back in order. Each block is no longer
// than its input plus its header, so every length fits MAX_BLOCK_BYTES and 2 bytes.
#include "payload_writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "block_window.h"
#include "crc32.h"
#include "crc32_combine.h"
#include "file_io.h"
#include "integrity.h"
#include "mem.h"
#include "payload_reader.h"
#include "progress.h"
#include "tool_error.h"

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

bool BlockEncoder::reencodes_to(const uint8_t* data, uint32_t n, const uint8_t* stored, size_t stored_len,
                                std::vector<uint8_t>* again) {
  encode(data, n, again);
  return again->size() == stored_len && std::equal(again->begin(), again->end(), stored);
}

namespace {

// One block in flight: its input, and once coded, the block and the input's CRC.
struct EncodeSlot {
  std::vector<uint8_t> data;
  uint32_t size = 0;
  std::vector<uint8_t> block;
  uint32_t crc = 0;
};

constexpr size_t PREPASS_CHUNK_BYTES = 1 << 20;

// The length and CRC of the rest of input, which is then read again from where it stood.
IntegrityRecord measure_input(InputFile& input) {
  input.spool();
  IntegrityRecord record{0, 0};
  std::vector<uint8_t> chunk(PREPASS_CHUNK_BYTES);
  for (;;) {
    const size_t got = input.read_full(chunk.data(), chunk.size());
    if (got == 0) break;
    record.data_crc = crc32_update(record.data_crc, chunk.data(), got);
    record.decoded_length += got;
  }
  input.rewind();
  return record;
}

}  // namespace

void refuse_empty_installer(const InputFile& input) {
  throw ToolError(SFX_EXIT_USAGE, input.display_name(),
                  "is empty; a packed launcher would have no program to start");
}

PayloadStats write_payload(InputFile& input, OutputFile& output, const std::vector<uint8_t>& prefix,
                           const PayloadOptions& options, Progress* progress) {
  assert(options.block_input >= 1 && options.block_input <= MAX_BLOCK_INPUT);
  const bool record_first = options.record && !output.can_write_at();
  IntegrityRecord measured{0, 0};
  if (record_first) {
    measured = measure_input(input);
    measured.flags = options.record_flags;
    measured.run_entry = options.record_run_entry;
    if (measured.decoded_length == 0 && options.refuse_empty) refuse_empty_installer(input);
  }

  const unsigned threads = options.threads == 0 ? 1 : options.threads;
  std::vector<BlockEncoder> encoders(threads);
  BlockWindow<EncodeSlot> window(threads, [&encoders](EncodeSlot& slot, unsigned worker) {
    encoders[worker].encode(slot.data.data(), slot.size, &slot.block);
    slot.crc = crc32_update(0, slot.data.data(), slot.size);
  });

  PayloadStats stats;
  uint64_t record_at = 0;
  bool started = false;
  bool input_ended = false;
  uint64_t read_bytes = 0;
  for (;;) {
    while (!input_ended && window.has_room()) {
      EncodeSlot& slot = window.next_to_fill();
      slot.data.resize(options.block_input);
      const size_t got = input.read_full(slot.data.data(), slot.data.size());
      if (got == 0) {
        input_ended = true;
        break;
      }
      slot.size = static_cast<uint32_t>(got);
      read_bytes += got;
      window.submit();
      if (got < options.block_input) input_ended = true;
    }
    if (!started) {
      // Nothing is written before the first read, so an empty installer leaves no trace.
      if (read_bytes == 0 && options.refuse_empty) refuse_empty_installer(input);
      output.write(prefix.data(), prefix.size());
      if (options.record) {
        record_at = output.bytes_written();
        uint8_t bytes[INTEGRITY_RECORD_BYTES] = {};
        if (record_first) integrity_record_write(measured, bytes);
        output.write(bytes, sizeof bytes);  // filled in at the end unless known already
        stats.payload_bytes += INTEGRITY_RECORD_BYTES;
      }
      uint8_t marker[PAYLOAD_MARKER_BYTES];
      payload_marker(marker);
      output.write(marker, PAYLOAD_MARKER_BYTES);
      stats.payload_bytes += PAYLOAD_MARKER_BYTES;
      started = true;
    }
    if (window.empty()) break;
    const EncodeSlot& slot = window.wait_oldest();
    uint8_t length[PAYLOAD_LENGTH_BYTES];
    store_be16(length, static_cast<uint32_t>(slot.block.size()));
    output.write(length, sizeof length);
    output.write(slot.block.data(), slot.block.size());
    stats.crc = crc32_combine(stats.crc, slot.crc, slot.size);
    stats.input_bytes += slot.size;
    stats.payload_bytes += PAYLOAD_LENGTH_BYTES + slot.block.size();
    ++stats.blocks;
    if (slot.block[0] == BLOCK_FLAG_STORED) ++stats.stored_blocks;
    window.release_oldest();
    if (progress != nullptr) progress->update(stats.input_bytes);
  }
  output.write(reinterpret_cast<const uint8_t*>(PAYLOAD_END_MARK), PAYLOAD_END_MARK_BYTES);
  stats.payload_bytes += PAYLOAD_END_MARK_BYTES;

  if (options.record) {
    const IntegrityRecord record{stats.input_bytes, stats.crc, options.record_flags, options.record_run_entry};
    if (record_first) {
      if (record.decoded_length != measured.decoded_length || record.data_crc != measured.data_crc)
        throw ToolError(SFX_EXIT_USAGE, input.display_name(),
                        "changed while it was read; the record written before the payload "
                        "does not describe it");
    } else {
      uint8_t bytes[INTEGRITY_RECORD_BYTES];
      integrity_record_write(record, bytes);
      output.write_at(record_at, bytes, sizeof bytes);
    }
  }
  return stats;
}
