// Pieces for laying out payloads by hand, beside the shared payload_builder, for the cases the
// packer never makes: stored blocks of chosen sizes, empty blocks, damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "payload_builder.h"
#include "test_data.h"

namespace run_payload {

using payload_builder::Bytes;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// A stored block holding data as it stands.
inline Bytes stored_block(const Bytes& data) {
  Bytes block{BLOCK_FLAG_STORED, 0, 0, 0};
  append(block, data);
  return block;
}

// Appends a block behind its 2-byte big-endian length.
inline void append_block(Bytes& to, const Bytes& block) { append(to, payload_builder::framed(block)); }

inline void append_end_mark(Bytes& to) { append(to, text("KELVRA")); }

// Data with stretches that code well and stretches that do not.
inline Bytes sample_data(size_t n, uint32_t seed = 1) { return test_data::mixed(n, seed); }

}  // namespace run_payload
