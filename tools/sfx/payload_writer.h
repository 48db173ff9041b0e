// Writes a payload (README, "The payload"): the integrity record (unless left out), the marker,
// each block of the input as a 2-byte big-endian length and the encoded block, then the end
// mark. Blocks are coded on several threads and written in order, so the bytes are the same for
// any number of threads.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec.h"

class InputFile;
class OutputFile;
class Progress;

constexpr uint32_t DEFAULT_BLOCK_INPUT = 64000;

struct PayloadOptions {
  uint32_t block_input = DEFAULT_BLOCK_INPUT;  // 1 to MAX_BLOCK_INPUT; the last block may be shorter
  unsigned threads = 1;
  bool record = true;         // the integrity record before the marker
  uint8_t record_flags = 0;   // the contract it carries (INTEGRITY_FLAG_*)
  uint32_t record_run_entry = 0;  // with INTEGRITY_FLAG_BUNDLE: the bundle's entry to start
  bool refuse_empty = false;  // an empty input is an error (an installer must hold a program)
};

struct PayloadStats {
  uint64_t input_bytes = 0;
  uint64_t payload_bytes = 0;  // record, marker, lengths, blocks and end mark
  uint32_t blocks = 0;
  uint32_t stored_blocks = 0;
  uint32_t crc = 0;            // CRC-32 of the input
};

// Encodes one block's worth of data; the block goes to out (resized to its length).
class BlockEncoder {
 public:
  BlockEncoder();
  void encode(const uint8_t* data, uint32_t n, std::vector<uint8_t>* out);
  // Whether the n bytes of data encode to exactly the block stored (stored_len bytes), as a block
  // this encoder made does; again is scratch space for the encoded block.
  bool reencodes_to(const uint8_t* data, uint32_t n, const uint8_t* stored, size_t stored_len,
                    std::vector<uint8_t>* again);

 private:
  std::unique_ptr<CodecWorkspace> workspace_;
};

// The refusal of an empty installer (exit 2): a packed launcher would have no program to start.
[[noreturn]] void refuse_empty_installer(const InputFile& input);

// Writes prefix (a launcher stub, or nothing) and then the payload of input to output, reading
// input to its end. The record needs the input's length and CRC before the marker: into a file
// of its own the output gets room for it, filled in at the end; into a stream, the input is
// read twice (a pipe is first copied aside), and must not change between the readings.
PayloadStats write_payload(InputFile& input, OutputFile& output, const std::vector<uint8_t>& prefix,
                           const PayloadOptions& options, Progress* progress);
