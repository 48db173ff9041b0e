// The payload walk over the shared reader.
#include "payload_scan.h"

#include <vector>

#include "file_io.h"
#include "number_texts.h"
#include "payload_writer.h"
#include "tool_error.h"

PayloadScan::PayloadScan(InputFile& input) : PayloadScan(input, nullptr) {}

PayloadScan::PayloadScan(InputFile& input, std::unique_ptr<ToolError>* missing)
    : input_(input), reader_(std::make_unique<PayloadReader>()) {
  payload_reader_init(reader_.get(), input.byte_source());
  if (find_payload(reader_.get(), &start_)) return;
  finished_ = true;
  ToolError error = reader_->read_failed
                        ? ToolError(SFX_EXIT_USAGE, input.display_name(), "read error: " + os_error_text(os_last_error()))
                        : ToolError(SFX_EXIT_DAMAGED, "", "no payload found in " + input.display_name());
  if (missing == nullptr) throw error;
  *missing = std::make_unique<ToolError>(error);
}

PayloadScan::~PayloadScan() = default;

int64_t PayloadScan::offset() const { return payload_reader_offset(reader_.get()); }

int64_t PayloadScan::bytes_after() const { return input_.size() < 0 ? -1 : input_.size() - offset(); }

bool PayloadScan::accept(PayloadRead result, int64_t before) {
  if (result == PAYLOAD_READ_BLOCK) return true;
  finished_ = true;
  if (result == PAYLOAD_READ_DAMAGED) {
    const int status =
        reader_->error.fault == PAYLOAD_FAULT_READ_ERROR ? SFX_EXIT_USAGE : SFX_EXIT_DAMAGED;
    throw ToolError(status, input_.display_name(), describe_payload_error(reader_->error));
  }
  // The end mark is consumed; the end of the file consumes nothing.
  end_ = offset() > before ? PayloadEnd::END_MARK : PayloadEnd::END_OF_FILE;
  return false;
}

void PayloadScan::end_at_empty_block(const ScannedBlock& block) {
  finished_ = true;
  end_ = PayloadEnd::EMPTY_BLOCK;
  empty_number_ = block.number;
  empty_offset_ = block.offset;
}

bool PayloadScan::next(ScannedBlock* block) {
  if (finished_) return false;
  const int64_t before = offset();
  uint32_t decoded_len = 0;
  if (!accept(read_payload_block(reader_.get(), &decoded_len), before)) return false;
  block->number = blocks_++;
  block->offset = before;
  block->length = static_cast<uint32_t>(offset() - before - PAYLOAD_LENGTH_BYTES);
  block->stored = reader_->block;
  block->decoded = reader_->decoded;
  block->decoded_len = decoded_len;
  decoded_bytes_ += decoded_len;
  if (decoded_len == 0) end_at_empty_block(*block);
  return true;
}

bool PayloadScan::next_frame(ScannedBlock* block) {
  if (finished_) return false;
  const int64_t before = offset();
  uint32_t length = 0;
  if (!accept(read_payload_frame(reader_.get(), &length), before)) return false;
  block->number = blocks_++;
  block->offset = before;
  block->length = length;
  block->stored = reader_->block;
  block->decoded = nullptr;
  block->decoded_len = 0;
  if (length == BLOCK_HEADER_BYTES) end_at_empty_block(*block);
  return true;
}

ToolError PayloadScan::block_fault(PayloadFault fault, uint32_t number, int64_t offset, uint32_t length) const {
  return ToolError(SFX_EXIT_DAMAGED, input_.display_name(),
                   describe_payload_error(PayloadError{fault, number, offset, length}));
}

const std::string& PayloadScan::display_name() const { return input_.display_name(); }

std::string unusable_record_problem(const PayloadScan& scan) {
  const std::string at = " (at offset " + std::to_string(scan.record_offset()) + ")";
  switch (scan.record_status()) {
    case INTEGRITY_DAMAGED:
      return "the integrity record before the marker" + at + " is damaged: its own check fails";
    case INTEGRITY_UNSUPPORTED:
      return "the integrity record before the marker" + at +
             " is of a size or version this sfx does not know";
    case INTEGRITY_ABSENT:
    case INTEGRITY_PRESENT:
      break;
  }
  return "";
}

namespace {

// The first block of the payload in input whose data does not re-encode to its bytes, read again
// from the start: "" when none does, or the file cannot be read again.
std::string first_damaged_block(InputFile& input) {
  if (!input.can_rewind()) return "";
  try {
    input.rewind();
    PayloadScan scan(input);
    BlockEncoder encoder;
    std::vector<uint8_t> again;
    ScannedBlock block;
    while (scan.next(&block)) {
      if (block.decoded_len > MAX_BLOCK_INPUT) break;
      if (!encoder.reencodes_to(block.decoded, block.decoded_len, block.stored, block.length, &again))
        return "block " + std::to_string(block.number) + " at offset " + std::to_string(block.offset) +
               " is damaged (its data does not re-encode to its bytes)";
    }
  } catch (const ToolError&) {
  }
  return "";
}

}  // namespace

std::string no_program_problem(const PayloadScan& scan) {
  if (!scan.follows_program() || scan.decoded_bytes() != 0) return "";
  return "the payload holds no data, so the launcher before it has no program to start and refuses it";
}

std::string payload_problem(const PayloadScan& scan, uint64_t decoded_length, uint32_t crc, InputFile* again) {
  const IntegrityRecord& record = scan.record();
  std::string problem;
  switch (payload_verdict(scan.reader(), decoded_length, crc)) {
    case PAYLOAD_WHOLE:
      return "";
    case PAYLOAD_RECORD_DAMAGED:
    case PAYLOAD_RECORD_UNSUPPORTED:
      return unusable_record_problem(scan);
    case PAYLOAD_NO_END_MARK:
      if (scan.end() == PayloadEnd::EMPTY_BLOCK)
        return empty_block_note(scan.empty_block_number(), scan.empty_block_offset(), scan.bytes_after()) +
               ", before its end mark: the launcher refuses it";
      if (scan.record_status() == INTEGRITY_PRESENT && decoded_length < record.decoded_length)
        return "the payload ends after " + std::to_string(decoded_length) + " of the " +
               std::to_string(record.decoded_length) + " bytes its integrity record gives: the file was cut short";
      if (scan.record_status() == INTEGRITY_PRESENT)
        return "no end mark after the last block at offset " + std::to_string(scan.offset()) +
               ": the file was cut short";
      return "no end mark and no integrity record: the payload may have been cut short at offset " +
             std::to_string(scan.offset()) + ", and the launcher refuses it";
    case PAYLOAD_SHORTER_THAN_RECORD:
      problem = "the payload decodes to " + std::to_string(decoded_length) + " of the " +
                std::to_string(record.decoded_length) +
                " bytes its integrity record gives, though its end mark is in place";
      break;
    case PAYLOAD_LONGER_THAN_RECORD:
      problem = "the payload decodes to " + std::to_string(decoded_length) + " bytes, more than the " +
                std::to_string(record.decoded_length) + " its integrity record gives";
      break;
    case PAYLOAD_CRC_DIFFERS:
      problem = "the decoded data's CRC-32 is " + crc_text(crc) + ", its integrity record gives " +
                crc_text(record.data_crc);
      break;
  }
  const std::string block = again != nullptr ? first_damaged_block(*again) : "";
  return problem + (block.empty() ? ": the payload is damaged" : ": " + block);
}

std::string empty_block_note(uint32_t number, int64_t offset, int64_t after) {
  std::string text = "block " + std::to_string(number) + " at offset " + std::to_string(offset) +
                     " decodes to nothing, which ends the payload for the launcher";
  if (after > 0)
    text += ": the " + plural(static_cast<uint64_t>(after), "byte", "bytes") + " after it are never read";
  return text;
}

std::string describe_payload_error(const PayloadError& error) {
  std::string text = "block " + std::to_string(error.block) + " at offset " +
                     std::to_string(error.offset) + ": " + payload_fault_text(error.fault);
  if (error.length != 0 && error.fault != PAYLOAD_FAULT_READ_ERROR)
    text += " (length " + std::to_string(error.length) + ")";
  return text;
}
