// The pieces the integrity check is made of: CRC-32, the integrity record, and the program
// headers that say where a signature begins.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crc32.h"
#include "integrity.h"
#include "payload_builder.h"
#include "pe_image.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;
using payload_builder::program_header;

// CRC-32 one bit at a time, straight from its definition.
uint32_t plain_crc32(const Bytes& data) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    c ^= byte;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

uint32_t crc_of(const std::string& s) {
  return crc32_update(0, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Crc32, KnownValues) {
  EXPECT_EQ(crc_of(""), 0x00000000u);
  EXPECT_EQ(crc_of("a"), 0xE8B7BE43u);
  EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

TEST(Crc32, FoldingAndTablesAgreeAtEveryLengthAndAlignment) {
  // Folding takes runs of at least 64 bytes, a multiple of 16; the tables the rest. Lengths
  // around those edges, every alignment, and registers that are not the initial one.
  const Bytes data = test_data::random_bytes(70000, 9);
  std::mt19937 rng(5);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {1023u, 1024u, 1025u, 4096u, 65535u, 65536u, 69983u}) lengths.push_back(n);
  for (size_t n : lengths) {
    for (size_t at = 0; at < 16; at += (n > 300 ? 5 : 1)) {
      const uint32_t start = static_cast<uint32_t>(rng());
      const uint32_t want = crc32_update_by_tables(start, data.data() + at, n);
      ASSERT_EQ(crc32_update(start, data.data() + at, n), want) << "length " << n << " at " << at;
    }
  }
  EXPECT_EQ(crc32_update_by_tables(0, data.data(), data.size()), plain_crc32(data));
}

TEST(Crc32, AnySplitGivesTheOneTheDefinitionGives) {
  const Bytes data = test_data::mixed(100003, 7);
  const uint32_t want = plain_crc32(data);
  EXPECT_EQ(crc32_update(0, data.data(), data.size()), want);
  std::mt19937 rng(3);
  for (int trial = 0; trial < 20; ++trial) {
    uint32_t crc = 0;
    for (size_t at = 0; at < data.size();) {
      const size_t n = std::min<size_t>(rng() % 23, data.size() - at);
      crc = crc32_update(crc, data.data() + at, n);
      at += n;
    }
    ASSERT_EQ(crc, want) << trial;
  }
}

Bytes record_bytes(uint64_t length, uint32_t crc) {
  Bytes out(INTEGRITY_RECORD_BYTES);
  integrity_record_write(IntegrityRecord{length, crc}, out.data());
  return out;
}

TEST(IntegrityRecord, LayoutAsDocumented) {
  const Bytes r = record_bytes(0x0102030405060708ull, 0xCAFEBABEu);
  ASSERT_EQ(r.size(), 32u);
  const Bytes head = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // length, little-endian
                      0xBE, 0xBA, 0xFE, 0xCA,                          // CRC of the data
                      0x20, 0x00, 0x01, 0x00,                          // size 32, version 1, flags
                      0x00, 0x00, 0x00, 0x00};                         // reserved
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 20), head);
  const uint32_t check = plain_crc32(head);
  EXPECT_EQ(Bytes(r.begin() + 20, r.begin() + 24),
            (Bytes{uint8_t(check), uint8_t(check >> 8), uint8_t(check >> 16), uint8_t(check >> 24)}));
  EXPECT_EQ(std::string(r.begin() + 24, r.end()), "sfxcheck");
}

TEST(IntegrityRecord, ReadsBackAndTellsDamageFromAbsence) {
  const Bytes good = record_bytes(123456789012ull, 0x89ABCDEFu);
  IntegrityRecord got{0, 0};
  ASSERT_EQ(integrity_record_read(good.data(), &got), INTEGRITY_PRESENT);
  EXPECT_EQ(got.decoded_length, 123456789012ull);
  EXPECT_EQ(got.data_crc, 0x89ABCDEFu);

  // Any flipped bit of the checked bytes or of the check is damage; of the magic, no record.
  for (uint32_t at = 0; at < INTEGRITY_RECORD_BYTES; ++at) {
    Bytes bad = good;
    bad[at] ^= 0x10;
    EXPECT_EQ(integrity_record_read(bad.data(), &got), at < 24 ? INTEGRITY_DAMAGED : INTEGRITY_ABSENT)
        << "byte " << at;
  }

  // A sound record of a size or version this reader does not know.
  for (const auto& [at, value] : std::vector<std::pair<int, uint8_t>>{{12, 40}, {14, 2}}) {
    Bytes other = good;
    other[static_cast<size_t>(at)] = value;
    const uint32_t check = plain_crc32(Bytes(other.begin(), other.begin() + 20));
    for (int i = 0; i < 4; ++i) other[20 + static_cast<size_t>(i)] = static_cast<uint8_t>(check >> (8 * i));
    EXPECT_EQ(integrity_record_read(other.data(), &got), INTEGRITY_UNSUPPORTED) << "byte " << at;
  }
}

TEST(PeImage, FindsTheCertificateTable) {
  struct Case {
    const char* name;
    Bytes head;
    bool is_pe, has_certificates;
    uint32_t offset;
  };
  Bytes not_pe = program_header(true, 5000, 100);
  not_pe[0x81] = 'X';
  Bytes far_signature = program_header(true, 5000, 100);
  const Bytes whole = program_header(true, 30720, 2000);
  far_signature[0x3D] = 0x7F;  // the signature would lie at 0x7F80, past the headers read
  const std::vector<Case> cases = {
      {"empty", {}, false, false, 0},
      {"text", Bytes(200, 'x'), false, false, 0},
      {"no PE signature", not_pe, false, false, 0},
      {"signature out of reach", far_signature, false, false, 0},
      {"PE32, unsigned", program_header(true, 0, 0), true, false, 0},
      {"PE32, signed", program_header(true, 30720, 2000), true, true, 30720},
      {"PE32+, signed", program_header(false, 90000, 3000), true, true, 90000},
      {"PE32, four directories only", program_header(true, 30720, 2000, 4), true, false, 0},
      {"headers cut before the directories", Bytes(whole.begin(), whole.begin() + 0x100), false,
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PeImage image = pe_image_read(c.head.data(), static_cast<uint32_t>(c.head.size()));
    EXPECT_EQ(image.is_pe, c.is_pe);
    EXPECT_EQ(image.has_certificates, c.has_certificates);
    EXPECT_EQ(image.certificates_offset, c.offset);
  }
  const Bytes unsigned32 = program_header(true, 0, 0);
  const PeImage gui32 = pe_image_read(unsigned32.data(), static_cast<uint32_t>(unsigned32.size()));
  EXPECT_TRUE(gui32.is_pe32);
  EXPECT_EQ(gui32.machine, 0x14C);
  EXPECT_EQ(gui32.subsystem, 2);
}

}  // namespace
