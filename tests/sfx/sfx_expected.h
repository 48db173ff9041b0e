// Payloads as their layout describes them, built with the plain reference codec, to hold the
// tool's output to.
#pragma once

#include <algorithm>

#include "payload_builder.h"
#include "reference_codec.h"
#include "sfx_runner.h"

inline Bytes framed(const Bytes& block) {
  Bytes out = {static_cast<uint8_t>(block.size() >> 8), static_cast<uint8_t>(block.size() & 0xFF)};
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

// The integrity record of data (its length and CRC-32), then the marker, each block_input-byte
// chunk of data as a length and its block, and the end mark. Without record, the bare layout.
inline Bytes expected_payload(const Bytes& data, size_t block_input = 64000, bool record = true) {
  Bytes out = record ? payload_builder::record(data) : Bytes{};
  const Bytes marker = bytes_of("WOMBIXINSTALL");
  out.insert(out.end(), marker.begin(), marker.end());
  for (size_t at = 0; at < data.size(); at += block_input) {
    const auto first = data.begin() + static_cast<std::ptrdiff_t>(at);
    const auto last = data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + block_input));
    const Bytes block = framed(reference::encode(Bytes(first, last)));
    out.insert(out.end(), block.begin(), block.end());
  }
  const Bytes end_mark = bytes_of("KELVRA");
  out.insert(out.end(), end_mark.begin(), end_mark.end());
  return out;
}

// The file offset of block number's 2-byte length in payload, a layout with its record, and that
// length.
inline size_t block_offset(const Bytes& payload, int number) {
  size_t at = 32 + 13;
  for (int block = 0; block < number; ++block) at += 2 + ((size_t{payload[at]} << 8) | payload[at + 1]);
  return at;
}
inline size_t block_length(const Bytes& payload, size_t at) { return (size_t{payload[at]} << 8) | payload[at + 1]; }

// stub then payload, as pack writes them: a Windows program's CheckSum field set for the whole
// file (16-bit little-endian words added with their carries folded in, the field taken as zero,
// the length added).
inline Bytes packed_file(const Bytes& stub, const Bytes& payload) {
  Bytes out = stub;
  out.insert(out.end(), payload.begin(), payload.end());
  if (out.size() < 0x40 || out[0] != 'M' || out[1] != 'Z') return out;
  const size_t pe = out[0x3C] | (out[0x3D] << 8) | (size_t{out[0x3E]} << 16) | (size_t{out[0x3F]} << 24);
  const size_t field = pe + 4 + 20 + 64;
  if (field + 4 > out.size() || out[pe] != 'P' || out[pe + 1] != 'E') return out;
  uint64_t sum = 0;
  for (size_t i = 0; i < out.size(); i += 2) {
    if (i >= field && i < field + 4) continue;
    sum += static_cast<uint64_t>(out[i] | (i + 1 < out.size() ? out[i + 1] << 8 : 0));
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  const uint32_t checksum = static_cast<uint32_t>(sum + out.size());
  for (int i = 0; i < 4; ++i) out[field + static_cast<size_t>(i)] = static_cast<uint8_t>(checksum >> (8 * i));
  return out;
}

// A stand-in for a launcher program: a Windows program header, then filler with no marker in it
// nor any W that could start one.
Bytes program_stub(size_t n);

// A minimal compound file (the container of Windows Installer databases and Office documents):
// its header, a FAT sector, filler sectors, then the directory, whose one entry is the root
// storage of class clsid ("{000C1084-0000-0000-C000-000000000046}"); sectors of 1 << shift bytes.
Bytes compound_file(const std::string& clsid, uint16_t shift = 9, uint32_t filler_sectors = 10);

bool contains(const std::string& text, const std::string& part);
