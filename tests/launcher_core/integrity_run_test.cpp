// The run's checks of what it wrote: against the integrity record, and as read back through a
// handle no other process can write through. Every mismatch ends as every failure does: the
// message, no temporary file or folder, nothing started, 0.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "crc32.h"
#include "fake_platform.h"
#include "launcher.h"
#include "run_payload.h"

namespace {

using payload_builder::Bytes;
namespace pb = run_payload;

const Bytes DATA = pb::sample_data(150000, 42);

// The layout with the record, its blocks as given: the first stored, so a changed byte decodes.
Bytes checked_payload(uint32_t cut_from_end = 0) {
  Bytes out = payload_builder::record(DATA);
  pb::append(out, payload_builder::marker());
  pb::append_block(out, pb::stored_block(Bytes(DATA.begin(), DATA.begin() + 40000)));
  pb::append_block(out, payload_builder::encoded_block(Bytes(DATA.begin() + 40000, DATA.begin() + 100000)));
  pb::append_block(out, payload_builder::encoded_block(Bytes(DATA.begin() + 100000, DATA.end())));
  pb::append_end_mark(out);
  out.resize(out.size() - cut_from_end);
  return out;
}

struct Case {
  const char* name;
  std::function<Bytes()> payload;
  std::function<void(fake::Platform&)> arrange;  // may be empty
  bool starts;
};

class IntegrityRun : public testing::TestWithParam<Case> {};

TEST_P(IntegrityRun, StartsOnlyWhatWasPacked) {
  fake::reset();
  auto& p = fake::platform();
  Bytes file = pb::text("MZ launcher image");
  pb::append(file, GetParam().payload());
  p.files[p.own_path] = file;
  if (GetParam().arrange) GetParam().arrange(p);

  const int result = run_unpack("");
  if (GetParam().starts) {
    EXPECT_EQ(result, 1);
    ASSERT_EQ(p.starts.size(), 1u);
    EXPECT_TRUE(p.starts[0].program_bytes == DATA);
    EXPECT_TRUE(p.messages.empty());
    return;
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(p.messages.size(), 1u);
  EXPECT_TRUE(p.starts.empty()) << "a program that is not the packed one was started";
  for (const auto& temp : p.temp_files) EXPECT_EQ(p.files.count(temp), 0u);
  EXPECT_TRUE(p.folders.empty());
  EXPECT_TRUE(p.open_files.empty());
  EXPECT_FALSE(p.window_visible);
}

Bytes changed(Bytes bytes, size_t at) {
  bytes[at] ^= 0x20;
  return bytes;
}

// Offsets in checked_payload(): record 32, marker 13, then the stored block's length and header.
constexpr size_t FIRST_DATA_BYTE = 32 + 13 + 2 + 4;

INSTANTIATE_TEST_SUITE_P(
    Payloads, IntegrityRun,
    testing::Values(
        Case{"WholeWithRecord", [] { return checked_payload(); }, nullptr, true},
        Case{"WithoutRecordAsBefore", [] { return payload_builder::payload(DATA, 40000); }, nullptr, true},
        Case{"ByteChangedInAStoredBlock", [] { return changed(checked_payload(), FIRST_DATA_BYTE + 1234); },
             nullptr, false},
        Case{"CutBeforeTheEndMark", [] { return checked_payload(6); }, nullptr, false},
        Case{"CutAtABlockBoundary",
             [] {
               Bytes whole = checked_payload();
               const size_t first = FIRST_DATA_BYTE + 40000;
               const size_t second = first + 2 + ((size_t{whole[first]} << 8) | whole[first + 1]);
               whole.resize(second);
               return whole;
             },
             nullptr, false},
        Case{"RecordDamaged", [] { return changed(checked_payload(), 9); }, nullptr, false},
        Case{"RecordOfAnotherVersion",
             [] {
               // Version 2, with the record's own check made again so only the version differs.
               Bytes payload = checked_payload();
               payload[14] = 2;
               const uint32_t check = crc32_update(0, payload.data(), 20);
               for (int i = 0; i < 4; ++i) payload[20 + static_cast<size_t>(i)] = static_cast<uint8_t>(check >> (8 * i));
               return payload;
             },
             nullptr, false},
        Case{"RecordOfOtherData",
             [] {
               Bytes payload = checked_payload();
               const Bytes other = payload_builder::record(Bytes(DATA.begin(), DATA.end() - 1));
               std::copy(other.begin(), other.end(), payload.begin());
               return payload;
             },
             nullptr, false},
        Case{"ChangedBetweenCloseAndLock", [] { return checked_payload(); },
             [](fake::Platform& p) { p.before_lock = [](Bytes& temp) { temp[100] ^= 1; }; }, false},
        Case{"ChangedBetweenCloseAndLockWithoutRecord", [] { return payload_builder::payload(DATA); },
             [](fake::Platform& p) { p.before_lock = [](Bytes& temp) { temp.push_back(0); }; }, false},
        Case{"HeldOpenForWritingByAnother", [] { return checked_payload(); },
             [](fake::Platform& p) { p.lock_fails = true; }, false}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
