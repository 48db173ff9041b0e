// Builds payloads for tests: the marker, length-prefixed codec blocks and the end mark, laid out
// as the launcher reads them.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "payload_reader.h"

namespace payload_builder {

using Bytes = std::vector<uint8_t>;

// The marker as it stands in a file: the upper-case form of the text the launcher holds.
inline Bytes marker() {
  Bytes bytes;
  for (uint32_t i = 0; i < PAYLOAD_MARKER_BYTES; ++i) {
    bytes.push_back(static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(PAYLOAD_MARKER_LOWER[i]))));
  }
  return bytes;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// One block made by the encoder from data (at most MAX_BLOCK_INPUT bytes).
inline Bytes encode_block(const uint8_t* data, uint32_t n) {
  static CodecWorkspace workspace;
  Bytes block(encode_bound(n));
  uint32_t length = 0;
  codec_run(CODEC_ENCODE, &workspace, data, n, block.data(), &length,
            static_cast<uint32_t>(block.size()));
  block.resize(length);
  return block;
}

// A stored block holding data as it stands.
inline Bytes stored_block(const Bytes& data) {
  Bytes block{BLOCK_FLAG_STORED, 0, 0, 0};
  append(block, data);
  return block;
}

// Appends a block behind its 2-byte big-endian length.
inline void append_block(Bytes& to, const Bytes& block) {
  to.push_back(static_cast<uint8_t>(block.size() >> 8));
  to.push_back(static_cast<uint8_t>(block.size() & 0xFF));
  append(to, block);
}

inline void append_end_mark(Bytes& to) { append(to, text(PAYLOAD_END_MARK)); }

// The whole payload for data: marker, encoded chunks of at most chunk bytes, and (unless told
// otherwise) the end mark.
inline Bytes payload(const Bytes& data, uint32_t chunk = 64000, bool end_mark = true) {
  Bytes out = marker();
  for (size_t at = 0; at < data.size(); at += chunk) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(chunk, data.size() - at));
    append_block(out, encode_block(data.data() + at, n));
  }
  if (end_mark) append_end_mark(out);
  return out;
}

// Data that codes well in places and badly in others, the same for the same seed.
inline Bytes sample_data(size_t n, uint32_t seed = 1) {
  Bytes data(n);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    const bool noisy = (i / 3000) % 2 == 1;
    data[i] = noisy ? static_cast<uint8_t>(state >> 24) : static_cast<uint8_t>("setup data "[i % 11]);
  }
  return data;
}

}  // namespace payload_builder
