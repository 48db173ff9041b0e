// Writes a bare payload: the marker, each block of the input as a 2-byte big-endian length and
// the encoded block, then the end mark. Empty input gives the marker and the end mark alone.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec.h"

class InputFile;
class OutputFile;
class Progress;

constexpr char PAYLOAD_MARKER_UPPER[] = "WOMBIXINSTALL";
constexpr uint32_t DEFAULT_BLOCK_INPUT = 64000;

struct PayloadStats {
  uint64_t input_bytes = 0;
  uint64_t payload_bytes = 0;  // marker, lengths, blocks and end mark
  uint32_t blocks = 0;
  uint32_t stored_blocks = 0;
};

// Encodes one block's worth of data; the block goes to out (resized to its length).
class BlockEncoder {
 public:
  BlockEncoder();
  void encode(const uint8_t* data, uint32_t n, std::vector<uint8_t>* out);

 private:
  std::unique_ptr<CodecWorkspace> workspace_;
};

// Reads input to its end, cutting it into blocks of block_input bytes (1 to MAX_BLOCK_INPUT;
// the last may be shorter), and writes the payload to output.
PayloadStats write_payload(InputFile& input, OutputFile& output, uint32_t block_input,
                           Progress* progress);
