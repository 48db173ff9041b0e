#include "payload_builder.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "codec.h"
#include "crc32.h"
#include "integrity.h"

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

Bytes record(const Bytes& data, uint8_t flags, uint32_t run_entry) {
  Bytes out(INTEGRITY_RECORD_BYTES);
  integrity_record_write(IntegrityRecord{data.size(), crc32_update(0, data.data(), data.size()), flags, run_entry},
                         out.data());
  return out;
}

Bytes checked_payload(const Bytes& data, uint32_t block_bytes, bool end_mark, uint8_t flags, uint32_t run_entry) {
  Bytes out = record(data, flags, run_entry);
  const Bytes rest = payload(data, block_bytes, end_mark);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

Bytes program_header(bool pe32, uint32_t cert_offset, uint32_t cert_bytes, uint32_t directories) {
  const uint32_t optional_bytes = pe32 ? 96 + 16 * 8 : 112 + 16 * 8;
  Bytes h(0x80 + 4 + 20 + optional_bytes, 0);
  auto put16 = [&](size_t at, uint32_t v) {
    h[at] = static_cast<uint8_t>(v);
    h[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  h[0] = 'M';
  h[1] = 'Z';
  put32(0x3C, 0x80);
  h[0x80] = 'P';
  h[0x81] = 'E';
  put16(0x84, pe32 ? 0x14C : 0x8664);
  put16(0x84 + 16, optional_bytes);
  const size_t optional = 0x98;
  put16(optional, pe32 ? 0x10B : 0x20B);
  put16(optional + 68, 2);  // a GUI program
  put32(optional + (pe32 ? 92 : 108), directories);
  const size_t security = optional + (pe32 ? 96 : 112) + 4 * 8;
  put32(security, cert_offset);
  put32(security + 4, cert_bytes);
  return h;
}

}  // namespace payload_builder
