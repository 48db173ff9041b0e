// A payload decoded on several threads, for extract and verify. Blocks are independent (the codec
// keeps nothing from one block to the next), so this thread reads them in order through the
// launcher's reader (PayloadScan::next_frame), which frames and judges every length, end mark and
// cut exactly as the launcher does; worker threads, and this one while it waits, decode them, take
// each one's CRC-32 and run the command's own check (verify's re-encoding); and the blocks come
// back in the payload's order
// (BlockWindow), so what the command writes and says is the same for every number of threads.
// At most eight blocks per thread are in flight, each held twice (as stored and decoded).
//
// Faults come out in the payload's order too: a block that does not decode is thrown when its
// turn comes, with the very message the reader gives for it, and a fault the reader meets ahead
// (a cut, a bad length) only once every block before it has been handed back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "payload_reader.h"

class PayloadScan;

struct DecodedBlock {
  uint32_t number = 0;
  int64_t offset = 0;        // file offset of its 2-byte length
  uint32_t length = 0;       // its bytes, without the length
  const uint8_t* stored = nullptr;  // the block as the file holds it (its first byte its flag)
  const uint8_t* data = nullptr;    // its decoded data, size bytes
  uint32_t size = 0;
  uint32_t crc = 0;          // CRC-32 of the data
  std::string problem;       // what the check found ("" for nothing)

  // Set by the decoder.
  PayloadFault fault = PAYLOAD_FAULT_NONE;
  std::vector<uint8_t> stored_copy;     // the block, when it is decoded on another thread
  std::unique_ptr<uint8_t[]> decoded;   // MAX_BLOCK_BYTES
};

class PayloadDecoder {
 public:
  // Runs on the worker that decoded the block, after its CRC: it may set block.problem. worker
  // is that thread's number (0 to threads - 1), for state a thread keeps for itself.
  using Check = std::function<void(DecodedBlock& block, unsigned worker)>;
  // Takes each block in order, on the calling thread; what it throws ends the walk.
  using Take = std::function<void(const DecodedBlock& block)>;

  // scan has found the payload and not yet handed out a block. threads counts the caller's: it
  // starts threads - 1 workers, and one thread decodes each block in the caller's as it is read.
  PayloadDecoder(PayloadScan& scan, unsigned threads, Check check = nullptr);
  ~PayloadDecoder();
  PayloadDecoder(const PayloadDecoder&) = delete;
  PayloadDecoder& operator=(const PayloadDecoder&) = delete;

  // Walks the payload to its end (scan.end() then tells which end), handing each block to take;
  // scan.decoded_bytes() counts the blocks taken. Throws ToolError at the first fault.
  void run(const Take& take);

 private:
  void decode(DecodedBlock& block, unsigned worker);

  PayloadScan& scan_;
  unsigned threads_;
  Check check_;
  std::vector<CodecWorkspace> workspaces_;
};
