// Helpers shared by the codec suites.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "guarded_buffer.h"

using Bytes = std::vector<uint8_t>;

// "12345678", 18 bytes: the text every slot refers to at the start of a block.
inline Bytes seed_text() { return Bytes(SEED_TEXT, SEED_TEXT + MAX_COPY_BYTES); }
inline Bytes repeat(const Bytes& b, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), b.begin(), b.end());
  return out;
}
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Encodes through codec_run with a destination of exactly encode_bound(n) bytes.
inline Bytes encode(const Bytes& in) {
  auto ws = std::make_unique<CodecWorkspace>();
  Bytes out(static_cast<size_t>(encode_bound(static_cast<uint32_t>(in.size()))));
  uint32_t len = 0;
  const CodecStatus st = codec_run(CODEC_ENCODE, ws.get(), in.data(), static_cast<uint32_t>(in.size()),
                                   out.data(), &len, static_cast<uint32_t>(out.size()));
  if (st != CODEC_OK) return {};
  out.resize(len);
  return out;
}

struct Decoded {
  CodecStatus status;
  Bytes bytes;
};

// Decodes through codec_run into a destination of `capacity` bytes. Block and destination
// both end right before an unreadable page, so any access past either end faults.
inline Decoded decode(const Bytes& block, uint32_t capacity = MAX_BLOCK_BYTES) {
  auto ws = std::make_unique<CodecWorkspace>();
  GuardedBuffer src(block);
  GuardedBuffer dst(capacity);
  uint32_t len = 0;
  const CodecStatus st = codec_run(CODEC_DECODE, ws.get(), src.data(),
                                   static_cast<uint32_t>(block.size()), dst.data(), &len, capacity);
  if (st != CODEC_OK) return {st, {}};
  return {st, Bytes(dst.data(), dst.data() + len)};
}
