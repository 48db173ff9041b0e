// Walks the payload of a file block by block through the launcher's own payload reader, so the
// tool finds, ends and rejects a payload exactly where the launcher would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "payload_reader.h"

class InputFile;

enum class PayloadEnd {
  END_MARK,     // "KELVRA" in the place of a length
  END_OF_FILE,  // the file ended in the place of a length: no end mark
  EMPTY_BLOCK,  // a block decoded to nothing; the launcher stops there
};

struct ScannedBlock {
  uint32_t number;        // 0 for the first block after the marker
  int64_t offset;         // file offset of the block's 2-byte length
  uint32_t length;        // the block's bytes, without its length field
  const uint8_t* decoded; // valid until the next call of next()
  uint32_t decoded_len;
};

class PayloadScan {
 public:
  // Finds the payload. Throws ToolError (SFX_EXIT_DAMAGED, "no payload found in FILE") when the
  // file holds no marker.
  explicit PayloadScan(InputFile& input);
  ~PayloadScan();
  PayloadScan(const PayloadScan&) = delete;
  PayloadScan& operator=(const PayloadScan&) = delete;

  // The offset of the first byte after the marker.
  int64_t start() const { return start_; }

  // Reads and decodes the next block: false at the end of the payload (end() tells which end;
  // an empty block is handed out before that). Throws ToolError (SFX_EXIT_DAMAGED) naming the
  // block, its offset and the fault when the payload is damaged.
  bool next(ScannedBlock* block);

  PayloadEnd end() const { return end_; }
  // The offset of the next byte the reader would consume: after the end, where the payload
  // stopped.
  int64_t offset() const;
  // Decoded bytes handed out so far.
  uint64_t decoded_bytes() const { return decoded_bytes_; }

 private:
  InputFile& input_;
  std::unique_ptr<PayloadReader> reader_;
  int64_t start_ = 0;
  uint32_t blocks_ = 0;
  uint64_t decoded_bytes_ = 0;
  bool finished_ = false;
  PayloadEnd end_ = PayloadEnd::END_OF_FILE;
};

// "block 3 at offset 1234: <fault>": the damage the reader reports, for messages.
std::string describe_payload_error(const PayloadError& error);
