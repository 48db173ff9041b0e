// sfx list and sfx verify on small payloads whose every byte the test knows, and the payload
// ends that the launcher honours: an empty block, a missing end mark.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ostream>
#include <string>

#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

std::string block_line(uint32_t number, int64_t offset, size_t length, const char* kind,
                       size_t decoded) {
  char line[128];
  std::snprintf(line, sizeof line, "%8u %12lld %8zu %-6s %8zu\n", number,
                static_cast<long long>(offset), length, kind, decoded);
  return line;
}

Bytes seed_text_times(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "123456789012345678";
  return bytes_of(text);
}

TEST(SfxList, ShowsEachBlockTheTotalsTheRecordAndTheEndMark) {
  ScratchDir dir;
  // A coded block of 12 bytes for 54, then a stored one of 7 for "abc", after a 32-byte record.
  const Bytes data = concat({seed_text_times(3), bytes_of("abc")});
  write_file(dir.file("p"), expected_payload(data, 54));
  const SfxResult result = run_sfx(dir, {"list", "p"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "p: payload at offset 45 (marker at 32)\n")) << result.out;
  EXPECT_TRUE(contains(result.out, block_line(0, 45, 12, "coded", 54))) << result.out;
  EXPECT_TRUE(contains(result.out, block_line(1, 59, 7, "stored", 3))) << result.out;
  EXPECT_TRUE(contains(result.out, "blocks: 2 (1 coded, 1 stored)\n")) << result.out;
  // 32 + 13 + 2 + 12 + 2 + 7 + 6
  EXPECT_TRUE(contains(result.out, "packed bytes: 19 (payload with record, marker, lengths and end mark: 74)\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out, "original bytes: 57\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "ratio: 0.77 (original / payload)\n")) << result.out;  // 57 / 74
  EXPECT_TRUE(contains(result.out, "integrity record: at offset 0: 57 bytes, CRC-32 "));
  EXPECT_TRUE(contains(result.out, "; matches the data\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "end mark: present at offset 68\n")) << result.out;

  const SfxResult totals = run_sfx(dir, {"list", "--totals", "p"});
  EXPECT_FALSE(contains(totals.out, block_line(0, 45, 12, "coded", 54))) << totals.out;
  EXPECT_TRUE(contains(totals.out, "blocks: 2 (1 coded, 1 stored)\n")) << totals.out;
}

TEST(SfxList, SaysWhereAnEmptyBlockEndsThePayloadEarly) {
  ScratchDir dir;
  const Bytes stored_empty = {0x01, 0x00, 0x00, 0x00};
  const Bytes payload = concat({bytes_of("WOMBIXINSTALL"), framed(reference::encode(bytes_of("abc"))),
                                framed(stored_empty), framed(reference::encode(bytes_of("def"))),
                                bytes_of("KELVRA")});
  write_file(dir.file("p"), payload);

  const SfxResult listed = run_sfx(dir, {"list", "p"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_TRUE(contains(listed.out, block_line(1, 22, 4, "stored", 0))) << listed.out;
  EXPECT_FALSE(contains(listed.out, block_line(2, 28, 7, "stored", 3))) << listed.out;
  // After the empty block: "def"'s 9 bytes and the 6 of the end mark.
  EXPECT_TRUE(contains(listed.out, "block 1 at offset 22 decodes to nothing")) << listed.out;
  EXPECT_TRUE(contains(listed.out, "15 bytes after it are never read")) << listed.out;

  // The launcher stops there, short of the end mark, and refuses the payload: so do extract and
  // verify.
  const SfxResult extracted = run_sfx(dir, {"extract", "p", "-o", "out"});
  EXPECT_EQ(extracted.status, 1) << extracted.err;
  EXPECT_FALSE(file_exists(dir.file("out")));
  EXPECT_TRUE(contains(extracted.err, "before its end mark: the launcher refuses it")) << extracted.err;
  EXPECT_EQ(run_sfx(dir, {"verify", "p"}).status, 1);
}

TEST(SfxList, SaysWhenTheEndMarkIsMissing) {
  ScratchDir dir;
  Bytes payload = expected_payload(bytes_of("abc"), 64000, false);
  payload.resize(payload.size() - 6);
  write_file(dir.file("p"), payload);
  const SfxResult listed = run_sfx(dir, {"list", "p"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_TRUE(contains(listed.out, "end mark: missing")) << listed.out;
  EXPECT_TRUE(contains(listed.out, "integrity record: none")) << listed.out;
  // 13 + 2 + 7: the summary names no end mark the payload lacks.
  EXPECT_TRUE(contains(listed.out, "packed bytes: 7 (payload with marker and lengths: 22)\n")) << listed.out;
}

TEST(SfxVerify, AcceptsWhatCompressMadeAndSaysSo) {
  ScratchDir dir;
  const Bytes data = test_data::mixed(100000, 31);
  write_file(dir.file("data"), data);
  write_file(dir.file("p"), expected_payload(data));
  const SfxResult result = run_sfx(dir, {"verify", "p", "--original", "data"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "p: ok: 2 blocks, 100000 bytes, each block re-encodes to the same bytes; "
                        "length and CRC-32 as recorded; equal to data\n");
  EXPECT_EQ(run_sfx(dir, {"verify", "-q", "p"}).out, "");
}

struct MismatchCase {
  const char* name;
  size_t original_size;  // the payload holds 100,000 bytes
  size_t flipped;        // a byte changed in ORIGINAL, or SIZE_MAX for none
  std::string message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.name; }

const MismatchCase MISMATCH_CASES[] = {
    {"byte_changed_in_the_first_block", 100000, 1234, "p: differs from original at byte 1234"},
    {"byte_changed_in_the_last_block", 100000, 99999, "p: differs from original at byte 99999"},
    {"original_longer", 100001, SIZE_MAX, "p: is shorter than original (100000 bytes)"},
    {"original_shorter", 99999, SIZE_MAX, "p: is longer than original (99999 bytes)"},
    {"original_empty", 0, SIZE_MAX, "p: is longer than original (0 bytes)"},
};

class SfxMismatch : public testing::TestWithParam<MismatchCase> {};

TEST_P(SfxMismatch, VerifyExitsOneAndSaysWhere) {
  const MismatchCase& c = GetParam();
  ScratchDir dir;
  const Bytes data = test_data::text_like(100000, 32);
  write_file(dir.file("p"), expected_payload(data));
  Bytes original = data;
  original.resize(c.original_size, 'x');
  if (c.flipped != SIZE_MAX) original[c.flipped] ^= 0x20;
  write_file(dir.file("original"), original);
  const SfxResult result = run_sfx(dir, {"verify", "p", "--original", "original"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "sfx: " + c.message + "\n");
}

INSTANTIATE_TEST_SUITE_P(Originals, SfxMismatch, testing::ValuesIn(MISMATCH_CASES),
                         [](const testing::TestParamInfo<MismatchCase>& tested) {
                           return std::string(tested.param.name);
                         });

// Blocks that decode fine but that this encoder would not have written.
TEST(SfxVerify, CatchesBlocksThisEncoderDidNotMake) {
  ScratchDir dir;
  const Bytes data = seed_text_times(3);
  // Stored, although the encoder codes it into 12 bytes.
  const Bytes stored = concat({{0x01, 0x00, 0x00, 0x00}, data});
  // Coded, with a reserved byte set: the decoder never reads it.
  Bytes marked = reference::encode(data);
  marked[2] = 0x5A;
  // The block's bytes start at offset 15, after the marker and its length.
  for (const auto& [block, says] :
       {std::pair<Bytes, std::string>{stored, "re-encoding its data gives 12 bytes instead of its 58: "},
        {marked, "re-encoding its data gives other bytes of the same length (12), the first at byte 2 of "
                 "the block (file offset 17): "}}) {
    write_file(dir.file("p"),
               concat({bytes_of("WOMBIXINSTALL"), framed(block), bytes_of("KELVRA")}));
    write_file(dir.file("original"), data);
    const SfxResult verified = run_sfx(dir, {"verify", "p", "--original", "original"});
    EXPECT_EQ(verified.status, 1);
    EXPECT_TRUE(contains(verified.err, "sfx: p: block 0 at offset 13: " + says)) << verified.err;
    // The launcher would unpack it all the same.
    EXPECT_EQ(run_sfx(dir, {"extract", "p", "-o", "out", "-f"}).status, 0);
    EXPECT_EQ(read_file(dir.file("out")), data);
  }
}

// Without its record a payload cut short is refused all the same, but a block changed in a way
// that still decodes goes through (pack's --no-record help says so); verify --original catches it.
TEST(SfxNoRecord, ACutIsRefusedAChangedStoredByteIsNot) {
  ScratchDir dir;
  const Bytes data = test_data::random_bytes(3000, 35);  // three stored blocks: 2 + 4 + 1,000 bytes each
  write_file(dir.file("data"), data);
  const Bytes whole = expected_payload(data, 1000, false);
  Bytes changed = whole;
  changed[13 + 1006 + 6 + 10] ^= 0x01;
  const Bytes cut(whole.begin(), whole.begin() + 13 + 2 * 1006);  // after block 1
  for (const auto& [payload, status] : {std::pair<Bytes, int>{cut, 1}, {changed, 0}}) {
    write_file(dir.file("p"), payload);
    EXPECT_EQ(run_sfx(dir, {"extract", "-f", "p", "-o", "out"}).status, status);
    EXPECT_EQ(run_sfx(dir, {"verify", "p", "--original", "data"}).status, 1);
  }
}

}  // namespace

// ---- scripting -------------------------------------------------------------------------------

// Every field of `list --json` on a packed file whose layout the test knows.
TEST(SfxListJson, DescribesThePackedFile) {
  ScratchDir dir;
  const Bytes stub = program_stub(1000);
  const Bytes data = concat({seed_text_times(3), bytes_of("abc")});  // blocks of 54 and 3 bytes
  write_file(dir.file("p"), concat({stub, expected_payload(data, 54), bytes_of("tail")}));
  const SfxResult result = run_sfx(dir, {"list", "--json", "p"});
  ASSERT_EQ(result.status, 0) << result.err;
  const nlohmann::json listed = nlohmann::json::parse(result.out);
  const nlohmann::json expected = {
      {"file", "p"},
      {"file_hex", nullptr},
      {"error", nullptr},
      {"pe", {{"format", "PE32"}, {"machine", 0x14C}, {"subsystem", 2}, {"certificates", nullptr}}},
      {"marker_offset", 1032},
      {"payload_offset", 1045},
      {"record",
       {{"offset", 1000},
        {"status", "present"},
        {"decoded_length", 57},
        {"crc32", "6fe4d03e"},
        {"contract", "start"},
        {"matches", true}}},
      {"blocks",
       {{{"number", 0}, {"offset", 1045}, {"length", 12}, {"kind", "coded"}, {"decoded", 54}},
        {{"number", 1}, {"offset", 1059}, {"length", 7}, {"kind", "stored"}, {"decoded", 3}}}},
      {"end", {{"kind", "end_mark"}, {"offset", 1068}, {"bytes_after", 4}}},
      {"bundle", nullptr},  // no bundle
      // A stand-in launcher without resources: no icon, no version, the launcher's own texts.
      {"launcher",
       {{"icons", nlohmann::json::array()},
        {"version_strings", nlohmann::json::object()},
        {"file_version", nullptr},
        {"product_version", nullptr},
        {"title", nullptr},
        {"failure_title", "Corvalin Installation Cancelled"},
        {"url", "https://quenderby.dev/corvalin"}}},
      {"totals",
       {{"blocks", 2},
        {"coded", 1},
        {"stored", 1},
        {"packed_bytes", 19},
        {"payload_bytes", 74},
        {"original_bytes", 57},
        {"ratio", 57.0 / 74.0},
        {"crc32", "6fe4d03e"}}}};
  EXPECT_EQ(listed, expected) << listed.dump(2);
}

TEST(SfxListJson, ADamagedBlockEndsTheListWithTheError) {
  ScratchDir dir;
  Bytes payload = expected_payload(test_data::text_like(150000, 33));
  payload.resize(payload.size() - 1000);
  write_file(dir.file("p"), payload);
  const SfxResult result = run_sfx(dir, {"list", "--json", "p"});
  EXPECT_EQ(result.status, 1);
  const nlohmann::json listed = nlohmann::json::parse(result.out);
  EXPECT_EQ(listed["blocks"].size(), 2u);
  EXPECT_TRUE(contains(listed["error"]["message"].get<std::string>(), "block 2 at offset")) << listed.dump(2);
}

// The same keys whatever happens, null where nothing is known: a script never meets a missing one.
TEST(SfxListJson, HoldsEveryKeyWhateverHappens) {
  ScratchDir dir;
  const Bytes packed = concat({program_stub(800), expected_payload(test_data::text_like(100000, 36))});
  write_file(dir.file("whole"), packed);
  write_file(dir.file("cut"), Bytes(packed.begin(), packed.end() - 500));
  write_file(dir.file("none"), program_stub(800));
  const std::vector<std::string> keys = {"blocks", "bundle", "end", "error", "file", "file_hex", "launcher",
                                         "marker_offset", "payload_offset", "pe", "record", "totals"};
  for (const auto& [file, launcher, error] : {std::tuple<std::string, bool, bool>{"whole", true, false},
                                              {"cut", true, true},
                                              {"none", false, true},
                                              {"nowhere", false, true}}) {
    SCOPED_TRACE(file);
    const nlohmann::json listed = nlohmann::json::parse(run_sfx(dir, {"list", "--json", file}).out, nullptr, false);
    std::vector<std::string> got;
    for (const auto& item : listed.items()) got.push_back(item.key());
    EXPECT_EQ(got, keys) << listed.dump(2);
    EXPECT_EQ(listed["launcher"].is_object(), launcher) << listed.dump(2);
    EXPECT_EQ(listed["error"].is_object(), error) << listed.dump(2);
  }
}

// Each file is verified and named; the status is the worst.
TEST(SfxVerify, SeveralFilesEachNamedTheWorstStatusWins) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(80000, 34);
  write_file(dir.file("good1"), expected_payload(data));
  write_file(dir.file("good2"), expected_payload(bytes_of("small")));
  Bytes cut = expected_payload(data);
  cut.resize(cut.size() - 6);
  write_file(dir.file("cut"), cut);

  const SfxResult damaged = run_sfx(dir, {"verify", "good1", "cut", "good2"});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_TRUE(contains(damaged.out, "good1: ok:") && contains(damaged.out, "good2: ok:")) << damaged.out;
  EXPECT_TRUE(contains(damaged.err, "sfx: cut: no end mark")) << damaged.err;

  const SfxResult missing = run_sfx(dir, {"verify", "missing", "cut", "good1"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(contains(missing.out, "good1: ok:")) << missing.out;

  EXPECT_EQ(run_sfx(dir, {"verify", "good1", "good2", "--original", "good1"}).status, 2);
  EXPECT_EQ(run_sfx(dir, {"verify", "good1", "good2"}).status, 0);
}
