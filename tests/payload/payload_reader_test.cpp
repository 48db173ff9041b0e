// The payload reader, held to a plain byte-at-a-time reading of the payload layout: the same
// marker, the same blocks, the same offsets, and damage reported by block and offset.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "payload_builder.h"
#include "integrity.h"
#include "payload_reader.h"
#include "reference_codec.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace pb = payload_builder;

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// The bytes of a file, read through a source that hands out at most `chunk` bytes a call (0: all
// that is asked for), as a pipe or a slow disk would.
class Source {
 public:
  explicit Source(const Bytes& bytes, uint32_t chunk = 0) : bytes_(bytes), chunk_(chunk) {}
  ByteSource source() { return ByteSource{read, this}; }

 private:
  static int32_t read(void* context, uint8_t* buffer, uint32_t n) {
    Source* self = static_cast<Source*>(context);
    if (self->chunk_ != 0 && n > self->chunk_) n = self->chunk_;
    MemoryBytes memory{self->bytes_.data(), self->bytes_.size(), self->position_};
    const int32_t got = memory_source(&memory).read(&memory, buffer, n);
    self->position_ = memory.position;
    return got;
  }
  const Bytes& bytes_;
  uint32_t chunk_;
  size_t position_ = 0;
};

// What a reading of a file gives: the marker's end, each block's decoded bytes and the offset
// after it, and how the payload ended.
struct Reading {
  bool found = false;
  int64_t start = 0;
  std::vector<std::pair<int64_t, Bytes>> blocks;
  bool damaged = false;
  PayloadError error{PAYLOAD_FAULT_NONE, 0, 0, 0};

  bool operator==(const Reading& o) const {
    return found == o.found && start == o.start && blocks == o.blocks && damaged == o.damaged &&
           error.fault == o.error.fault && error.block == o.error.block &&
           error.offset == o.error.offset && error.length == o.error.length;
  }
};

std::ostream& operator<<(std::ostream& os, const Reading& r) {
  os << "found=" << r.found << " start=" << r.start << " blocks=" << r.blocks.size();
  for (const auto& b : r.blocks) os << " [" << b.first << ":" << b.second.size() << "]";
  return os << " damaged=" << r.damaged << " fault=" << r.error.fault << " block=" << r.error.block
            << " offset=" << r.error.offset << " length=" << r.error.length;
}

// The layout read one byte at a time, the end mark's four bytes read and stepped back over.
Reading model_reading(const Bytes& f) {
  Reading r;
  const char* marker = "WOMBIXINSTALL";
  size_t pos = 0, matched = 0;
  for (;;) {
    if (pos == f.size()) return r;
    if (f[pos++] == static_cast<uint8_t>(marker[matched])) {
      if (++matched == 13) break;
    } else {
      matched = 0;
    }
  }
  r.found = true;
  r.start = static_cast<int64_t>(pos);
  auto fail = [&](PayloadFault fault, size_t at, uint32_t length) {
    r.damaged = true;
    r.error = {fault, static_cast<uint32_t>(r.blocks.size()), static_cast<int64_t>(at), length};
    return r;
  };
  for (;;) {
    const size_t at = pos;
    if (pos == f.size()) return r;
    if (pos + 1 == f.size()) return fail(f[pos] == 'K' ? PAYLOAD_FAULT_END_MARK_CUT : PAYLOAD_FAULT_LENGTH_CUT, at, 0);
    const uint32_t length = uint32_t{f[pos]} << 8 | f[pos + 1];
    pos += 2;
    if (length == 0x4B45 && pos + 4 <= f.size() && std::memcmp(&f[pos], "LVRA", 4) == 0) return r;
    if (length == 0x4B45 && pos + 4 > f.size() && std::memcmp(&f[pos], "LVRA", f.size() - pos) == 0) {
      return fail(PAYLOAD_FAULT_END_MARK_CUT, at, 0);
    }
    if (length < 4) return fail(PAYLOAD_FAULT_LENGTH_TOO_SHORT, at, length);
    if (length > 65024) return fail(PAYLOAD_FAULT_LENGTH_TOO_LONG, at, length);
    if (pos + length > f.size()) return fail(PAYLOAD_FAULT_BLOCK_CUT, at, length);
    const auto decoded = reference::decode(Bytes(f.begin() + static_cast<long>(pos),
                                                 f.begin() + static_cast<long>(pos + length)));
    if (!decoded) return fail(PAYLOAD_FAULT_BLOCK_MALFORMED, at, length);
    if (decoded->size() > 65024) return fail(PAYLOAD_FAULT_BLOCK_TOO_BIG, at, length);
    pos += length;
    r.blocks.emplace_back(static_cast<int64_t>(pos), *decoded);
  }
}

Reading reader_reading(const Bytes& bytes, uint32_t chunk = 0) {
  Source file(bytes, chunk);
  auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), file.source());
  Reading r;
  r.found = find_payload(reader.get(), &r.start);
  if (r.found) {
    EXPECT_EQ(payload_reader_offset(reader.get()), r.start);
    for (;;) {
      uint32_t n = 0;
      const PayloadRead result = read_payload_block(reader.get(), &n);
      if (result == PAYLOAD_READ_END) break;
      if (result == PAYLOAD_READ_DAMAGED) {
        r.damaged = true;
        r.error = reader->error;
        break;
      }
      r.blocks.emplace_back(payload_reader_offset(reader.get()),
                            Bytes(reader->decoded, reader->decoded + n));
    }
  }
  return r;
}

// The bytes next_payload_bytes hands out, and whether it ended on damage.
std::pair<Bytes, bool> payload_bytes(const Bytes& bytes) {
  Source file(bytes);
  auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), file.source());
  int64_t start = 0;
  Bytes out;
  int got = 0;
  if (find_payload(reader.get(), &start)) {
    const uint8_t* data = nullptr;
    uint32_t n = 0;
    while ((got = next_payload_bytes(reader.get(), &data, &n)) == 1) {
      EXPECT_GT(n, 0u);
      out.insert(out.end(), data, data + n);
    }
    EXPECT_EQ(next_payload_bytes(reader.get(), &data, &n), got) << "the end is final";
  }
  return {out, got < 0};
}

struct Case {
  const char* name;
  Bytes file;
  bool found;
  size_t blocks;
  PayloadFault fault;
};

TEST(PayloadReader, Layouts) {
  const Bytes data = test_data::text_like(5000, 1);
  const Bytes block = pb::framed(pb::encoded_block(data));
  const Bytes marker = pb::marker();
  const Bytes end = text("KELVRA");
  // A stored block of 19,269 bytes: its length reads as "KE" and its first bytes are 01 00 00 00.
  Bytes ke_block = {0x01, 0x00, 0x00, 0x00};
  ke_block.resize(0x4B45, 0x5A);
  const std::vector<Case> cases = {
      {"empty file", {}, false, 0, PAYLOAD_FAULT_NONE},
      {"no marker", text("MZ just a program"), false, 0, PAYLOAD_FAULT_NONE},
      {"lower-case marker", text("wombixinstall"), false, 0, PAYLOAD_FAULT_NONE},
      {"marker cut short", text("xxWOMBIXINSTAL"), false, 0, PAYLOAD_FAULT_NONE},
      {"partial marker, then a blank, then the marker", cat(text("WOMB "), cat(marker, block)), true, 1,
       PAYLOAD_FAULT_NONE},
      {"marker broken by W, no other", cat(text("WOMBIXW"), text("OMBIXINSTALL")), false, 0,
       PAYLOAD_FAULT_NONE},
      {"marker doubled W at the start", cat(text("WWOMBIXINSTALL"), block), false, 0, PAYLOAD_FAULT_NONE},
      {"marker as the last 13 bytes", cat(text("MZ stub"), marker), true, 0, PAYLOAD_FAULT_NONE},
      {"one block and the end mark", cat(marker, cat(block, end)), true, 1, PAYLOAD_FAULT_NONE},
      {"bytes after the end mark are not read", cat(marker, cat(block, cat(end, text("\x01")))), true, 1,
       PAYLOAD_FAULT_NONE},
      {"no end mark", cat(marker, cat(block, block)), true, 2, PAYLOAD_FAULT_NONE},
      {"block of length KE", cat(marker, cat(pb::framed(ke_block), end)), true, 1, PAYLOAD_FAULT_NONE},
      {"KE then end of file", cat(marker, text("KELV")), true, 0, PAYLOAD_FAULT_END_MARK_CUT},
      {"end mark cut to its first byte", cat(marker, cat(block, text("K"))), true, 1, PAYLOAD_FAULT_END_MARK_CUT},
      {"KE then other bytes, cut", cat(marker, text("KEXY")), true, 0, PAYLOAD_FAULT_BLOCK_CUT},
      {"length cut in half", cat(marker, cat(block, Bytes{0x00})), true, 1, PAYLOAD_FAULT_LENGTH_CUT},
      {"length 0", cat(marker, Bytes{0x00, 0x00}), true, 0, PAYLOAD_FAULT_LENGTH_TOO_SHORT},
      {"length 3", cat(marker, Bytes{0x00, 0x03, 0x01, 0x00, 0x00}), true, 0, PAYLOAD_FAULT_LENGTH_TOO_SHORT},
      {"length 65025", cat(marker, Bytes{0xFE, 0x01}), true, 0, PAYLOAD_FAULT_LENGTH_TOO_LONG},
      {"length 65535", cat(marker, cat(block, Bytes{0xFF, 0xFF})), true, 1, PAYLOAD_FAULT_LENGTH_TOO_LONG},
      {"block cut short", cat(marker, Bytes(block.begin(), block.end() - 1)), true, 0, PAYLOAD_FAULT_BLOCK_CUT},
      {"malformed block", cat(marker, pb::framed({0x00, 0x00, 0x00, 0x00, 0xFF})), true, 0,
       PAYLOAD_FAULT_BLOCK_MALFORMED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Reading got = reader_reading(c.file);
    EXPECT_EQ(got, model_reading(c.file));
    EXPECT_EQ(got.found, c.found);
    EXPECT_EQ(got.blocks.size(), c.blocks);
    EXPECT_EQ(got.error.fault, c.fault);
  }
}

TEST(PayloadReader, DamageNamesTheBlockAndItsOffset) {
  const Bytes a = pb::framed(pb::encoded_block(test_data::text_like(1000, 2)));
  const Bytes b = pb::framed(pb::encoded_block(test_data::random_bytes(700, 2)));
  const Bytes prefix = text("MZ stub bytes");
  const Bytes file = cat(prefix, cat(pb::marker(), cat(a, cat(b, Bytes{0x00, 0x02, 0x01, 0x00}))));
  const Reading got = reader_reading(file);
  ASSERT_TRUE(got.damaged);
  EXPECT_EQ(got.error.fault, PAYLOAD_FAULT_LENGTH_TOO_SHORT);
  EXPECT_EQ(got.error.block, 2u);
  EXPECT_EQ(got.error.offset, static_cast<int64_t>(prefix.size() + 13 + a.size() + b.size()));
  EXPECT_EQ(got.error.length, 2u);
}

TEST(PayloadReader, BlockDecodingPastTheLimitIsDamage) {
  // 3,613 copies of 18 bytes from the seed text: 65,034 bytes, ten more than a block may hold.
  Bytes block = {0x00, 0x00, 0x00, 0x00};
  for (int item = 0; item < 3613; ++item) {
    if (item % 16 == 0) block.insert(block.end(), {0xFF, 0xFF});
    block.insert(block.end(), {0x7F, 0x80});
  }
  const Reading got = reader_reading(cat(pb::marker(), pb::framed(block)));
  EXPECT_EQ(got.error.fault, PAYLOAD_FAULT_BLOCK_TOO_BIG);
  EXPECT_EQ(got, model_reading(cat(pb::marker(), pb::framed(block))));
}

TEST(PayloadReader, EmptyBlockEndsTheBytesHandedOut) {
  const Bytes first = test_data::text_like(3000, 3);
  const Bytes file = cat(pb::marker(), cat(pb::framed(pb::encoded_block(first)),
                                          cat(pb::framed({0x01, 0x00, 0x00, 0x00}),
                                              cat(pb::framed(pb::encoded_block(first)), text("KELVRA")))));
  const auto [bytes, damaged] = payload_bytes(file);
  EXPECT_FALSE(damaged);
  EXPECT_EQ(bytes, first);
  EXPECT_EQ(reader_reading(file).blocks.size(), 3u) << "the blocks themselves are all readable";
}

TEST(PayloadReader, BytesHandedOutAcrossManyBlocksAndRefills) {
  // Odd-sized prefixes put block boundaries and the marker across the read buffer's refills.
  const Bytes data = test_data::mixed(400000, 4);
  for (size_t prefix : {0u, 1u, 131059u, 131070u, 131072u, 200001u}) {
    for (uint32_t block : {64000u, 65020u, 777u}) {
      SCOPED_TRACE("prefix=" + std::to_string(prefix) + " block=" + std::to_string(block));
      const Bytes file = cat(test_data::random_bytes(prefix, 5), pb::payload(data, block));
      const auto [bytes, damaged] = payload_bytes(file);
      EXPECT_FALSE(damaged);
      EXPECT_EQ(bytes, data);
      if (block == 64000u) {
        const Reading want = model_reading(file);
        EXPECT_EQ(reader_reading(file), want);
        // A source that hands out a few bytes at a time reads the same.
        EXPECT_EQ(reader_reading(file, 4093), want);
      }
    }
  }
}

TEST(PayloadReader, DamagedFilesReadLikeTheModel) {
  // Random damage to real payloads: same blocks, same offsets, same fault as the plain reading.
  std::mt19937 rng(11);
  const Bytes good = cat(test_data::random_bytes(300, 6), pb::payload(test_data::mixed(30000, 6), 4000));
  for (int i = 0; i < 150; ++i) {
    Bytes bad = good;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    if (rng() % 3 == 0) bad.resize(rng() % bad.size());
    const Reading want = model_reading(bad);
    ASSERT_EQ(reader_reading(bad), want) << "case " << i;
    ASSERT_EQ(reader_reading(bad, 1 + static_cast<uint32_t>(rng() % 40)), want) << "case " << i << ", short reads";
  }
}

// What find_payload makes of the bytes before the marker, and where it starts the payload.
struct RecordReading {
  bool found;
  int64_t start;
  IntegrityStatus status;
  IntegrityRecord record;
};

RecordReading record_reading(const Bytes& bytes) {
  Source file(bytes);
  auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), file.source());
  RecordReading r{};
  r.found = find_payload(reader.get(), &r.start);
  r.status = reader->record_status;
  r.record = reader->record;
  return r;
}

TEST(PayloadReader, FindsTheMarkerAfterAnyRecordAndReadsTheRecord) {
  // Stubs that end in every state of the marker search, records across the buffer's refills,
  // and records of many lengths and CRCs: the marker right after the record is always found.
  std::mt19937 rng(21);
  const std::vector<Bytes> stub_ends = {text(""), text("W"), text("WOMB"), text("WOMBIXINSTAL"),
                                        text("sfxcheck"), Bytes(40, 'W')};
  for (size_t prefix : {0u, 5u, 131000u, 131027u, 131040u, 131059u, 131072u}) {
    for (const Bytes& end : stub_ends) {
      const Bytes data = test_data::random_bytes(rng() % 300, static_cast<uint32_t>(rng()));
      const Bytes stub = cat(test_data::random_bytes(prefix, 9), end);
      const Bytes file = cat(stub, pb::checked_payload(data));
      SCOPED_TRACE("prefix=" + std::to_string(prefix) + " end=" + std::to_string(end.size()));
      const RecordReading got = record_reading(file);
      ASSERT_TRUE(got.found);
      EXPECT_EQ(got.start, static_cast<int64_t>(stub.size() + 32 + 13));
      ASSERT_EQ(got.status, INTEGRITY_PRESENT);
      EXPECT_EQ(got.record.decoded_length, data.size());
    }
  }
  for (int i = 0; i < 2000; ++i) {
    Bytes record(32);
    const uint64_t length = rng() % 2 ? rng() : (uint64_t{rng()} << 32 | rng());
    integrity_record_write(IntegrityRecord{length, static_cast<uint32_t>(rng())}, record.data());
    const Bytes file = cat(text("WOMBIX"), cat(record, pb::marker()));
    ASSERT_EQ(record_reading(file).start, 6 + 32 + 13) << i;
  }
}

TEST(PayloadReader, TellsRecordsFromTheirAbsence) {
  const Bytes data = test_data::text_like(2000, 4);
  const Bytes checked = pb::checked_payload(data);
  Bytes damaged = checked;
  damaged[3] ^= 1;
  const struct {
    const char* name;
    Bytes file;
    IntegrityStatus status;
  } cases[] = {
      {"bare payload at the start", pb::payload(data), INTEGRITY_ABSENT},
      {"bare payload after a stub", cat(Bytes(100, 'x'), pb::payload(data)), INTEGRITY_ABSENT},
      {"record at the start", checked, INTEGRITY_PRESENT},
      {"record cut at its front", Bytes(checked.begin() + 1, checked.end()), INTEGRITY_ABSENT},
      {"damaged record", damaged, INTEGRITY_DAMAGED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordReading got = record_reading(c.file);
    ASSERT_TRUE(got.found);
    EXPECT_EQ(got.status, c.status);
    // The blocks read as they always have, record or not.
    const Reading blocks = reader_reading(c.file);
    EXPECT_EQ(blocks, model_reading(c.file));
  }
}

TEST(PayloadReader, ASignatureEndsTheFile) {
  const Bytes data = test_data::text_like(3000, 5);
  const Bytes payload = pb::payload(data);
  const Bytes header = pb::program_header(true, 0, 0);
  const uint32_t image_bytes = 1000;
  const Bytes image = cat(header, Bytes(image_bytes - header.size(), 0));
  auto signed_file = [&](const Bytes& before_table, const Bytes& in_table) {
    const Bytes head = pb::program_header(true, static_cast<uint32_t>(image_bytes + before_table.size()),
                                          static_cast<uint32_t>(in_table.size()));
    Bytes file = image;
    std::copy(head.begin(), head.end(), file.begin());
    return cat(cat(file, before_table), in_table);
  };
  // Packed, then signed: the payload lies before the table and reads whole.
  const Reading normal = reader_reading(signed_file(payload, Bytes(500, 0)));
  ASSERT_TRUE(normal.found);
  EXPECT_EQ(normal.blocks.size(), 1u);
  EXPECT_FALSE(normal.damaged);
  // A payload in the table, or after it, is no payload.
  EXPECT_FALSE(reader_reading(signed_file({}, cat(Bytes(16, 0), payload))).found);
  EXPECT_FALSE(reader_reading(cat(signed_file({}, Bytes(8, 0)), payload)).found);
  // A payload without an end mark ends where the table begins.
  const Bytes no_end = pb::payload(data, 64000, false);
  const Reading cut = reader_reading(signed_file(no_end, cat(Bytes{0x00, 0x10}, Bytes(600, 1))));
  EXPECT_FALSE(cut.damaged);
  EXPECT_EQ(cut.blocks.size(), 1u);
}

TEST(PayloadReader, UnreadableFileIsNotAPayload) {
  auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), ByteSource{[](void*, uint8_t*, uint32_t) { return int32_t{-1}; }, nullptr});
  int64_t start = 0;
  EXPECT_FALSE(find_payload(reader.get(), &start));
  EXPECT_TRUE(reader->read_failed);
}

}  // namespace
