// The threaded decoder over the launcher's reader.
#include "payload_decode.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>

#include "block_window.h"
#include "crc32.h"
#include "payload_scan.h"
#include "tool_error.h"

PayloadDecoder::PayloadDecoder(PayloadScan& scan, unsigned threads, Check check)
    : scan_(scan), threads_(std::max(1u, threads)), check_(std::move(check)), workspaces_(threads_) {}

PayloadDecoder::~PayloadDecoder() = default;

void PayloadDecoder::decode(DecodedBlock& block, unsigned worker) {
  if (!block.decoded) block.decoded.reset(new uint8_t[MAX_BLOCK_BYTES]);
  block.problem.clear();
  block.size = 0;
  block.fault = decode_payload_block(&workspaces_[worker], block.stored, block.length, block.decoded.get(), &block.size);
  if (block.fault != PAYLOAD_FAULT_NONE) return;
  block.data = block.decoded.get();
  block.crc = crc32_update(0, block.data, block.size);
  if (check_) check_(block, worker);
}

void PayloadDecoder::run(const Take& take) {
  // This thread decodes too while it waits: the reading and writing it does leave it idle most of
  // the time, and threads workers beside it would ask the processors for one thread too many.
  BlockWindow<DecodedBlock> window(
      threads_, [this](DecodedBlock& block, unsigned worker) { decode(block, worker); }, true);
  // With one thread each block is decoded as it is submitted, while the reader still holds its
  // bytes; with workers it is copied out first, since the reader goes on reading.
  const bool copy = threads_ > 1;
  // A fault the reader meets is thrown once the blocks before it have been handed back, so the
  // first fault in the payload is the one named, whatever the number of threads.
  std::exception_ptr read_fault;
  bool read_ended = false;
  ScannedBlock frame;
  for (;;) {
    while (!read_ended && window.has_room()) {
      try {
        if (!scan_.next_frame(&frame)) {
          read_ended = true;
          break;
        }
      } catch (const ToolError&) {
        read_fault = std::current_exception();
        read_ended = true;
        break;
      }
      DecodedBlock& block = window.next_to_fill();
      block.number = frame.number;
      block.offset = frame.offset;
      block.length = frame.length;
      if (copy) {
        block.stored_copy.assign(frame.stored, frame.stored + frame.length);
        block.stored = block.stored_copy.data();
      } else {
        block.stored = frame.stored;
      }
      window.submit();
    }
    if (window.empty()) break;
    const DecodedBlock& block = window.wait_oldest();
    if (block.fault != PAYLOAD_FAULT_NONE) throw scan_.block_fault(block.fault, block.number, block.offset, block.length);
    // Only a block of its header alone decodes to nothing: the scan has ended at it.
    assert((block.size == 0) == (block.length == BLOCK_HEADER_BYTES));
    scan_.count_decoded(block.size);
    take(block);
    window.release_oldest();
  }
  if (read_fault) std::rethrow_exception(read_fault);
}
