// Walks the payload of a file block by block through the launcher's own payload reader, so the
// tool finds, ends and rejects a payload exactly where the launcher would, and judges the end
// against the integrity record before the marker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "payload_reader.h"

class InputFile;
class ToolError;

enum class PayloadEnd {
  END_MARK,     // "KELVRA" in the place of a length
  END_OF_FILE,  // the file ended in the place of a length: no end mark
  EMPTY_BLOCK,  // a block decoded to nothing; the launcher stops there
};

struct ScannedBlock {
  uint32_t number;        // 0 for the first block after the marker
  int64_t offset;         // file offset of the block's 2-byte length
  uint32_t length;        // the block's bytes, without its length field
  const uint8_t* stored;  // the block's bytes as the file holds them; valid until next()
  const uint8_t* decoded; // valid until the next call of next()
  uint32_t decoded_len;
};

class PayloadScan {
 public:
  // Finds the payload. Throws ToolError (SFX_EXIT_DAMAGED, "no payload found in FILE") when the
  // file holds no marker.
  explicit PayloadScan(InputFile& input);
  // The same, but a file without a payload gives *missing (the error the other would throw) and a
  // scan with nothing to walk; the program headers are known all the same.
  PayloadScan(InputFile& input, std::unique_ptr<ToolError>* missing);
  ~PayloadScan();
  PayloadScan(const PayloadScan&) = delete;
  PayloadScan& operator=(const PayloadScan&) = delete;

  // The offset of the first byte after the marker.
  int64_t start() const { return start_; }
  int64_t marker_offset() const { return start_ - PAYLOAD_MARKER_BYTES; }
  // The integrity record before the marker: its status, and when present its fields and offset.
  IntegrityStatus record_status() const { return reader_->record_status; }
  const IntegrityRecord& record() const { return reader_->record; }
  int64_t record_offset() const { return marker_offset() - INTEGRITY_RECORD_BYTES; }
  // The program headers at the start of the file.
  const PeImage& image() const { return reader_->image; }
  const PayloadReader* reader() const { return reader_.get(); }

  // Reads and decodes the next block: false at the end of the payload (end() tells which end;
  // an empty block is handed out before that). Throws ToolError (SFX_EXIT_DAMAGED) naming the
  // block, its offset and the fault when the payload is damaged.
  bool next(ScannedBlock* block);
  // The same without decoding (decoded null, decoded_len 0), for decoders on other threads
  // (PayloadDecoder): the block's data is decoded with decode_payload_block, a fault thrown as
  // block_fault, and its length counted with count_decoded. A block of its header alone is the
  // one block that decodes to nothing (a coded body holds at least one item, and every item gives
  // at least one byte), so the scan ends at it as next() ends at an empty block.
  bool next_frame(ScannedBlock* block);
  void count_decoded(uint32_t n) { decoded_bytes_ += n; }
  // The error next() throws for the block number at offset (its length given) that fails to decode.
  ToolError block_fault(PayloadFault fault, uint32_t number, int64_t offset, uint32_t length) const;
  const std::string& display_name() const;

  PayloadEnd end() const { return end_; }
  // The offset of the next byte the reader would consume: after the end, where the payload
  // stopped.
  int64_t offset() const;
  // Decoded bytes handed out so far.
  uint64_t decoded_bytes() const { return decoded_bytes_; }
  // The block that decoded to nothing, when the payload ended at one (EMPTY_BLOCK).
  uint32_t empty_block_number() const { return empty_number_; }
  int64_t empty_block_offset() const { return empty_offset_; }
  // The file's bytes after where the payload stopped, -1 when the size is not known (a pipe).
  int64_t bytes_after() const;
  // Whether the file starts with a program: a packed launcher, which must carry one to start.
  bool follows_program() const { return reader_->follows_program; }

 private:
  // Ends the scan at what the reader gave instead of a block: false at the end, a throw on a fault.
  bool accept(PayloadRead result, int64_t before);
  void end_at_empty_block(const ScannedBlock& block);

  InputFile& input_;
  std::unique_ptr<PayloadReader> reader_;
  int64_t start_ = 0;
  uint32_t blocks_ = 0;
  uint64_t decoded_bytes_ = 0;
  uint32_t empty_number_ = 0;
  int64_t empty_offset_ = 0;
  bool finished_ = false;
  PayloadEnd end_ = PayloadEnd::END_OF_FILE;
};

// The launcher's judgement of the payload scan walked to its end, whose decoded data had
// decoded_length bytes with this CRC (payload_verdict): "" when the launcher would start it, else
// the problem, for a message. A payload closed by its end mark whose data does not match its record
// holds a damaged block: the first block that does not re-encode to its own bytes is named when
// the file can be read again (again: the scan's input, or null).
std::string payload_problem(const PayloadScan& scan, uint64_t decoded_length, uint32_t crc, InputFile* again);
// The problem of a record that cannot be used at all (damaged, unsupported), found as soon as
// the payload is: "" for none or a sound one.
std::string unusable_record_problem(const PayloadScan& scan);
// A payload that follows a program (a packed launcher) and holds no data: the launcher would
// have nothing to start. "" otherwise.
std::string no_program_problem(const PayloadScan& scan);

// "block 2 at offset 22 decodes to nothing, which ends the payload for the launcher: the 15
// bytes after it are never read" (after: the bytes of the file after where the payload stopped,
// -1 when unknown).
std::string empty_block_note(uint32_t number, int64_t offset, int64_t after);

// "block 3 at offset 1234: <fault>": the damage the reader reports, for messages.
std::string describe_payload_error(const PayloadError& error);
