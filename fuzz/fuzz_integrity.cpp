// The integrity record and the payload reader together: a payload packed with its record, then
// damaged once (a bit flipped anywhere, or the file cut anywhere), is never taken for whole
// unless it reads back as exactly the data that was packed. Undamaged, it is always taken.
//
// Input: a flag byte (bit 0: cut, else flip; bit 1: no damage at all; bits 2-7: block size
// choice), 4 bytes of position, a byte of stub length, then the data to pack.

#include <cstring>
#include <memory>
#include <vector>

#include "codec.h"
#include "crc32.h"
#include "fuzz_target.h"
#include "integrity.h"
#include "payload_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes packed(const uint8_t* data, size_t n, uint32_t block, size_t stub_bytes) {
  static auto workspace = std::make_unique<CodecWorkspace>();
  Bytes out(stub_bytes, 'W');  // a stub of W's: the worst it can do to the marker search
  Bytes record(INTEGRITY_RECORD_BYTES);
  integrity_record_write(IntegrityRecord{n, crc32_update(0, data, n)}, record.data());
  out.insert(out.end(), record.begin(), record.end());
  const char* marker = "WOMBIXINSTALL";
  out.insert(out.end(), marker, marker + 13);
  Bytes coded(static_cast<size_t>(encode_bound(block)));
  for (size_t at = 0; at < n; at += block) {
    const auto piece = static_cast<uint32_t>(n - at < block ? n - at : block);
    uint32_t length = 0;
    codec_run(CODEC_ENCODE, workspace.get(), data + at, piece, coded.data(), &length,
              static_cast<uint32_t>(coded.size()));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), coded.begin(), coded.begin() + length);
  }
  const char* end_mark = "KELVRA";
  out.insert(out.end(), end_mark, end_mark + 6);
  return out;
}

// Reads the file as the launcher does: whether it would start it, and the data it would start.
bool accepted(const Bytes& file, Bytes* data) {
  MemoryBytes memory{file.data(), file.size(), 0};
  static auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), memory_source(&memory));
  int64_t start = 0;
  bool whole = find_payload(reader.get(), &start);
  uint32_t crc = 0;
  const uint8_t* bytes = nullptr;
  uint32_t n = 0;
  int got = 0;
  while (whole && (got = next_payload_bytes(reader.get(), &bytes, &n)) == 1) {
    crc = crc32_update(crc, bytes, n);
    data->insert(data->end(), bytes, bytes + n);
  }
  whole = whole && got == 0 && payload_verdict(reader.get(), data->size(), crc) == PAYLOAD_WHOLE;
  return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 6) return 0;
  const uint8_t flags = input[0];
  const uint32_t position = uint32_t{input[1]} | uint32_t{input[2]} << 8 | uint32_t{input[3]} << 16 |
                            uint32_t{input[4]} << 24;
  const size_t stub_bytes = input[5] % 64;
  const uint8_t* data = input + 6;
  const size_t n = size - 6;
  static const uint32_t BLOCKS[] = {64000, 1, 7, 100, 300, 4096, 65020, 999};
  const uint32_t block = BLOCKS[(flags >> 2) % 8];

  Bytes file = packed(data, n, block, stub_bytes);
  const bool damaged = (flags & 2) == 0;
  if (damaged) {
    if (flags & 1) {
      file.resize(position % file.size());  // cut anywhere, to nothing included
    } else {
      const size_t bit = position % (file.size() * 8);
      file[bit / 8] = static_cast<uint8_t>(file[bit / 8] ^ (1u << (bit % 8)));
    }
  }
  Bytes got;
  const bool taken = accepted(file, &got);
  if (!damaged && !taken) fuzz_fail("an undamaged payload was refused");
  if (taken && (got.size() != n || (n != 0 && std::memcmp(got.data(), data, n) != 0))) {
    fuzz_fail("a damaged payload was taken for whole, and reads back as other data");
  }
  return 0;
}
