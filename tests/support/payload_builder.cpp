#include "payload_builder.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "codec.h"

namespace payload_builder {

Bytes marker() {
  const char text[] = "WOMBIXINSTALL";
  return Bytes(text, text + 13);
}

Bytes framed(const Bytes& block) {
  Bytes out(2 + block.size());
  out[0] = static_cast<uint8_t>(block.size() >> 8);
  out[1] = static_cast<uint8_t>(block.size() & 0xFF);
  std::copy(block.begin(), block.end(), out.begin() + 2);
  return out;
}

Bytes encoded_block(const Bytes& data) {
  auto ws = std::make_unique<CodecWorkspace>();
  const uint32_t n = static_cast<uint32_t>(data.size());
  Bytes out(static_cast<size_t>(encode_bound(n)));
  uint32_t len = 0;
  if (codec_run(CODEC_ENCODE, ws.get(), data.data(), n, out.data(), &len,
                static_cast<uint32_t>(out.size())) != CODEC_OK) {
    throw std::logic_error("encode failed");
  }
  out.resize(len);
  return out;
}

Bytes payload(const Bytes& data, uint32_t block_bytes, bool end_mark) {
  Bytes out = marker();
  for (size_t at = 0; at < data.size(); at += block_bytes) {
    const size_t n = std::min<size_t>(block_bytes, data.size() - at);
    const Bytes block = framed(encoded_block(Bytes(data.begin() + static_cast<long>(at),
                                                   data.begin() + static_cast<long>(at + n))));
    out.insert(out.end(), block.begin(), block.end());
  }
  if (end_mark) {
    const char mark[] = "KELVRA";
    out.insert(out.end(), mark, mark + 6);
  }
  return out;
}

}  // namespace payload_builder
