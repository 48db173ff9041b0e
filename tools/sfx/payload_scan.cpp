// The payload walk over the shared reader.
#include "payload_scan.h"

#include "file_io.h"
#include "tool_error.h"

PayloadScan::PayloadScan(InputFile& input)
    : input_(input), reader_(std::make_unique<PayloadReader>()) {
  payload_reader_init(reader_.get(), input.fd());
  if (!find_payload(reader_.get(), &start_)) {
    if (reader_->read_failed)
      throw ToolError(SFX_EXIT_USAGE, input.display_name(), "read error");
    throw ToolError(SFX_EXIT_DAMAGED, "", "no payload found in " + input.display_name());
  }
}

PayloadScan::~PayloadScan() = default;

int64_t PayloadScan::offset() const { return payload_reader_offset(reader_.get()); }

bool PayloadScan::next(ScannedBlock* block) {
  if (finished_) return false;
  const int64_t before = offset();
  uint32_t decoded_len = 0;
  const PayloadRead result = read_payload_block(reader_.get(), &decoded_len);
  if (result == PAYLOAD_READ_DAMAGED) {
    finished_ = true;
    const int status =
        reader_->error.fault == PAYLOAD_FAULT_READ_ERROR ? SFX_EXIT_USAGE : SFX_EXIT_DAMAGED;
    throw ToolError(status, input_.display_name(), describe_payload_error(reader_->error));
  }
  if (result == PAYLOAD_READ_END) {
    finished_ = true;
    // The end mark is consumed; the end of the file consumes nothing.
    end_ = offset() > before ? PayloadEnd::END_MARK : PayloadEnd::END_OF_FILE;
    return false;
  }
  block->number = blocks_++;
  block->offset = before;
  block->length = static_cast<uint32_t>(offset() - before - PAYLOAD_LENGTH_BYTES);
  block->decoded = reader_->decoded;
  block->decoded_len = decoded_len;
  decoded_bytes_ += decoded_len;
  if (decoded_len == 0) {
    finished_ = true;
    end_ = PayloadEnd::EMPTY_BLOCK;
  }
  return true;
}

std::string describe_payload_error(const PayloadError& error) {
  std::string text = "block " + std::to_string(error.block) + " at offset " +
                     std::to_string(error.offset) + ": " + payload_fault_text(error.fault);
  if (error.length != 0 && error.fault != PAYLOAD_FAULT_READ_ERROR)
    text += " (length " + std::to_string(error.length) + ")";
  return text;
}
