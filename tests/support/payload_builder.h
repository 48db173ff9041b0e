// Payloads made the way the packer makes them, for tests of their readers.
#pragma once

#include <cstdint>
#include <vector>

namespace payload_builder {

using Bytes = std::vector<uint8_t>;

// The 13-byte marker, as it stands in a file.
Bytes marker();
// A block's 2-byte big-endian length and the block.
Bytes framed(const Bytes& block);
// One encoded block of data.
Bytes encoded_block(const Bytes& data);
// The marker, the data in encoded blocks of at most block_bytes each, then the end mark
// (unless end_mark is false).
Bytes payload(const Bytes& data, uint32_t block_bytes = 64000, bool end_mark = true);

}  // namespace payload_builder
