// The bundle reader's states (bundle.h's BundleReader::state), shared by the reader and the
// description of its faults, which lives in a file of its own so that programs that never
// describe a fault (the launcher stubs) do not carry its texts.
#pragma once

#include <cstdint>

enum ReaderState : uint32_t {
  STATE_HEADER = 0,  // collecting a header block
  STATE_PAX,         // collecting a pax header's records
  STATE_DATA,        // handing a file's bytes to the sink
  STATE_PADDING,     // skipping the padding after a file's data or a pax header's records
  STATE_END,         // after the two zero blocks: nothing may follow
};
