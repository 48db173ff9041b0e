// What the tool does when things go wrong: damaged and missing payloads (exit 1), usage and I/O
// errors (exit 2), outputs it must not replace, and never a half-written file left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <ostream>
#include <string>

#include "payload_reader.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

// ---- damaged payloads ------------------------------------------------------------------------

// Three good blocks, and where each one's length field stands.
struct Layout {
  std::vector<Bytes> blocks;
  bool end_mark = true;
  size_t cut_at = 0;  // when not 0, the file ends after this many bytes

  Bytes bytes() const {
    Bytes out = bytes_of("WOMBIXINSTALL");
    for (const Bytes& block : blocks) {
      const Bytes f = framed(block);
      out.insert(out.end(), f.begin(), f.end());
    }
    if (end_mark) {
      const Bytes mark = bytes_of("KELVRA");
      out.insert(out.end(), mark.begin(), mark.end());
    }
    if (cut_at != 0) out.resize(cut_at);
    return out;
  }
  int64_t offset_of(size_t block) const {
    int64_t at = 13;
    for (size_t i = 0; i < block; ++i) at += 2 + static_cast<int64_t>(blocks[i].size());
    return at;
  }
};

Layout three_blocks() {
  const Bytes data = test_data::text_like(3000, 11);
  Layout layout;
  for (size_t at = 0; at < data.size(); at += 1000)
    layout.blocks.push_back(reference::encode(Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                                    data.begin() + static_cast<std::ptrdiff_t>(at + 1000))));
  return layout;
}

// A coded block of copy items only: 18 bytes each, more than a decoded block may hold.
Bytes block_decoding_too_far() {
  Bytes block = {0, 0, 0, 0};
  const size_t copies = MAX_BLOCK_BYTES / 18 + 1;
  for (size_t item = 0; item < copies; ++item) {
    if (item % 16 == 0) block.insert(block.end(), {0xFF, 0xFF});
    block.insert(block.end(), {0x7F, 0x80});
  }
  return block;
}

struct DamageCase {
  const char* name;
  std::function<void(Layout*)> damage;
  uint32_t block;
  PayloadFault fault;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

const DamageCase DAMAGE_CASES[] = {
    {"length_below_a_header", [](Layout* l) { l->blocks[1] = {1, 0}; }, 1,
     PAYLOAD_FAULT_LENGTH_TOO_SHORT},
    {"length_above_the_largest_block",
     [](Layout* l) { l->blocks[1].resize(MAX_BLOCK_BYTES + 1); }, 1,
     PAYLOAD_FAULT_LENGTH_TOO_LONG},
    {"file_ends_inside_a_block",
     [](Layout* l) {
       l->cut_at = static_cast<size_t>(l->offset_of(2)) + 2 + 5;
     },
     2, PAYLOAD_FAULT_BLOCK_CUT},
    {"file_ends_inside_a_length",
     [](Layout* l) { l->cut_at = static_cast<size_t>(l->offset_of(2)) + 1; }, 2,
     PAYLOAD_FAULT_LENGTH_CUT},
    // Its control word announces a copy item, of which only one byte follows.
    {"copy_item_cut_off", [](Layout* l) { l->blocks[1] = {0, 0, 0, 0, 0x01, 0x00, 0x61}; }, 1,
     PAYLOAD_FAULT_BLOCK_MALFORMED},
    {"decodes_past_the_largest_block", [](Layout* l) { l->blocks[0] = block_decoding_too_far(); },
     0, PAYLOAD_FAULT_BLOCK_TOO_BIG},
};

class SfxDamaged : public testing::TestWithParam<DamageCase> {};

TEST_P(SfxDamaged, EveryReaderExitsOneNamingBlockOffsetAndFault) {
  const DamageCase& c = GetParam();
  Layout layout = three_blocks();
  c.damage(&layout);
  ScratchDir dir;
  write_file(dir.file("in.sfx"), layout.bytes());
  const std::string expected = "sfx: in.sfx: block " + std::to_string(c.block) + " at offset " +
                               std::to_string(layout.offset_of(c.block)) + ": " +
                               payload_fault_text(c.fault);

  const SfxResult extracted = run_sfx(dir, {"extract", "in.sfx", "-o", "out"});
  EXPECT_EQ(extracted.status, 1);
  EXPECT_TRUE(contains(extracted.err, expected)) << extracted.err;
  // Blocks before the damage decoded fine, yet nothing of the output is left.
  EXPECT_EQ(dir.names(), std::vector<std::string>{"in.sfx"});

  const SfxResult streamed = run_sfx(dir, {"extract", "-", "-o", "-"}, layout.bytes());
  EXPECT_EQ(streamed.status, 1);

  const SfxResult listed = run_sfx(dir, {"list", "in.sfx"});
  EXPECT_EQ(listed.status, 1);
  EXPECT_TRUE(contains(listed.err, expected)) << listed.err;

  const SfxResult verified = run_sfx(dir, {"verify", "in.sfx"});
  EXPECT_EQ(verified.status, 1);
  EXPECT_TRUE(contains(verified.err, expected)) << verified.err;
}

INSTANTIATE_TEST_SUITE_P(Payloads, SfxDamaged, testing::ValuesIn(DAMAGE_CASES),
                         [](const testing::TestParamInfo<DamageCase>& tested) {
                           return std::string(tested.param.name);
                         });

// ---- missing payloads ------------------------------------------------------------------------

struct MissingCase {
  const char* name;
  std::string contents;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MissingCase& c, std::ostream* os) { *os << c.name; }

const MissingCase MISSING_CASES[] = {
    {"no_marker", "MZ just a program, no payload"},
    {"empty_file", ""},
    {"lower_case_marker", "wombixinstall\x00\x07\x01\x00\x00\x00" "abcKELVRA"},
    // The second W breaks the partial match and is not looked at again, as in the launcher.
    {"marker_after_a_stray_w", std::string("WWOMBIXINSTALL\x00\x07\x01\x00\x00\x00", 20) + "abcKELVRA"},
    {"marker_cut_short", "WOMBIXINSTAL"},
};

class SfxMissing : public testing::TestWithParam<MissingCase> {};

TEST_P(SfxMissing, ExitsOneSayingNoPayload) {
  ScratchDir dir;
  write_file(dir.file("in.bin"), bytes_of(GetParam().contents));
  for (const char* command : {"extract", "list", "verify"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {command, "in.bin"};
    if (std::string(command) == "extract") args.insert(args.end(), {"-o", "out"});
    const SfxResult result = run_sfx(dir, args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "sfx: no payload found in in.bin\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"in.bin"});
  }
}

INSTANTIATE_TEST_SUITE_P(Files, SfxMissing, testing::ValuesIn(MISSING_CASES),
                         [](const testing::TestParamInfo<MissingCase>& tested) {
                           return std::string(tested.param.name);
                         });

// ---- usage -----------------------------------------------------------------------------------

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  const char* says = "";  // a part of the message, in the tool's own words
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

const UsageCase USAGE_CASES[] = {
    {"no_command", {}},
    {"unknown_command", {"unpack", "in"}},
    // Not the tool's help with exit 0, as if the command existed.
    {"unknown_command_with_help", {"unpack", "--help"}},
    {"unknown_option", {"compress", "in", "-o", "out", "--fast"}},
    {"missing_output", {"compress", "in"}},
    {"missing_input", {"compress", "-o", "out"}},
    {"two_inputs", {"compress", "in", "in", "-o", "out"}},
    {"block_size_zero", {"compress", "in", "-o", "out", "--block-size", "0"}},
    {"block_size_one_past_the_largest", {"compress", "in", "-o", "out", "--block-size", "65021"}},
    {"block_size_not_a_number", {"compress", "in", "-o", "out", "-b", "64k"}},
    {"pack_block_size_zero", {"pack", "in", "--stub", "in", "-o", "out", "-b", "0"}},
    {"extract_without_file", {"extract", "-o", "out"}},
    {"extract_without_output", {"extract", "in"}, "sfx: --output is required"},
    {"list_two_files", {"list", "in", "in"}},
    {"verify_without_file", {"verify"}},
    {"input_missing", {"compress", "nowhere", "-o", "out"}},
    {"output_folder_missing", {"compress", "in", "-o", "no/such/folder/out"}},
    {"output_is_a_folder", {"compress", "in", "-o", ".", "-f"}},
    {"output_replaces_input", {"compress", "in", "-o", "in", "-f"}},
    {"stdin_twice", {"verify", "-", "--original", "-"}},
    // Not a comparison skipped.
    {"original_named_empty", {"verify", "in", "--original", ""}},
    // Each names what is wrong, in the tool's own words.
    {"output_named_empty", {"compress", "in", "-o", ""}, "sfx: -o (OUTPUT) is empty; name a file"},
    {"installer_named_empty", {"pack", "", "-o", "q.exe"}, "sfx: INSTALLER is empty; name a file"},
    {"name_that_starts_with_a_dash", {"pack", "-weird.txt", "-o", "x"},
     "'-weird.txt' is read as an option; a file whose name starts with '-' is written as ./-weird.txt"},
    {"block_size_in_words", {"compress", "in", "-o", "out", "-b", "abc"},
     "--block-size: takes a whole number from 1 to 65020, not 'abc'"},
    {"threads_out_of_range", {"compress", "in", "-o", "out", "-T", "999"}, "takes a whole number from 0 to 128"},
    {"bench_seconds_not_a_number", {"bench", "in", "--min-seconds", "nan"},
     "--min-seconds: takes a number of seconds from 0 to 3600, not 'nan'"},
    {"directory_as_input", {"pack", ".", "-o", "out"}, "sfx: .: is a directory"},
};

class SfxUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(SfxUsage, ExitsTwoWithAMessageAndWritesNothing) {
  ScratchDir dir;
  const Bytes input = test_data::text_like(5000, 1);
  write_file(dir.file("in"), input);
  const SfxResult result = run_sfx(dir, GetParam().args);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err.rfind("sfx: ", 0), 0u) << result.err;
  EXPECT_TRUE(contains(result.err, GetParam().says)) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"in"});
  EXPECT_EQ(read_file(dir.file("in")), input);
}

INSTANTIATE_TEST_SUITE_P(Commands, SfxUsage, testing::ValuesIn(USAGE_CASES),
                         [](const testing::TestParamInfo<UsageCase>& tested) {
                           return std::string(tested.param.name);
                         });

TEST(SfxUsage, MessagesNameTheFileAndTheProblem) {
  ScratchDir dir;
  EXPECT_EQ(run_sfx(dir, {"compress", "nowhere", "-o", "out"}).err,
            "sfx: nowhere: No such file or directory\n");
  write_file(dir.file("in"), bytes_of("data"));
  write_file(dir.file("out"), bytes_of("keep"));
  EXPECT_TRUE(contains(run_sfx(dir, {"compress", "in", "-o", "out"}).err,
                       "sfx: out: already exists (use -f to overwrite)"));
}

TEST(SfxUsage, HelpAndVersionExitZero) {
  ScratchDir dir;
  const SfxResult help = run_sfx(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"compress", "extract", "pack", "list", "verify", "bench"}) {
    SCOPED_TRACE(command);
    EXPECT_TRUE(contains(help.out, command));
    const SfxResult own = run_sfx(dir, {command, "--help"});
    EXPECT_EQ(own.status, 0);
    EXPECT_TRUE(contains(own.out, "Usage: sfx " + std::string(command))) << own.out;
  }
  // extract's usage line names the output it cannot do without.
  EXPECT_TRUE(contains(run_sfx(dir, {"extract", "--help"}).out, "Usage: sfx extract FILE -o OUTPUT [OPTIONS]\n"));
  const SfxResult version = run_sfx(dir, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("sfx ", 0), 0u) << version.out;
}

// ---- outputs ---------------------------------------------------------------------------------

TEST(SfxOutputs, AnExistingFileIsReplacedOnlyWithForce) {
  ScratchDir dir;
  const Bytes data = test_data::mixed(9000, 2);
  write_file(dir.file("in"), data);
  write_file(dir.file("out"), bytes_of("precious"));

  const SfxResult refused = run_sfx(dir, {"compress", "in", "-o", "out"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(read_file(dir.file("out")), bytes_of("precious"));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in", "out"}));

  const SfxResult forced = run_sfx(dir, {"compress", "in", "-o", "out", "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(read_file(dir.file("out")), expected_payload(data));

  write_file(dir.file("plain"), bytes_of("precious"));
  EXPECT_EQ(run_sfx(dir, {"extract", "out", "-o", "plain"}).status, 2);
  EXPECT_EQ(read_file(dir.file("plain")), bytes_of("precious"));
  EXPECT_EQ(run_sfx(dir, {"extract", "out", "-o", "plain", "-f"}).status, 0);
  EXPECT_EQ(read_file(dir.file("plain")), data);
}

// A device is written in place: renaming over it would put a plain file where it was.
TEST(SfxOutputs, ADeviceIsWrittenNotReplaced) {
  ScratchDir dir;
  write_file(dir.file("in"), test_data::text_like(5000, 3));
  const SfxResult result = run_sfx(dir, {"compress", "in", "-o", "/dev/null", "-q"});
  EXPECT_EQ(result.status, 0) << result.err;
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(SfxOutputs, BinaryDataIsNotWrittenToATerminal) {
  ScratchDir dir;
  write_file(dir.file("in"), bytes_of("data"));
  const SfxResult compressed = run_sfx_to_terminal(dir, {"compress", "in", "-o", "-"});
  if (compressed.status == NO_TERMINAL) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(compressed.status, 2);
  EXPECT_TRUE(contains(compressed.err, "terminal")) << compressed.err;
  EXPECT_EQ(run_sfx(dir, {"compress", "in", "-o", "p"}).status, 0);
  EXPECT_EQ(run_sfx_to_terminal(dir, {"extract", "p", "-o", "-"}).status, 2);
  // Text is fine there.
  EXPECT_EQ(run_sfx_to_terminal(dir, {"list", "p"}).status, 0);
}

TEST(SfxOutputs, QuietLeavesStderrEmptyAndTheSummaryNamesBothFiles) {
  ScratchDir dir;
  write_file(dir.file("in"), test_data::text_like(100000, 5));
  const SfxResult loud = run_sfx(dir, {"compress", "in", "-o", "a"});
  EXPECT_EQ(loud.status, 0);
  EXPECT_TRUE(contains(loud.err, "in:") && contains(loud.err, "=> a")) << loud.err;
  const SfxResult quiet = run_sfx(dir, {"compress", "in", "-o", "b", "-q"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(run_sfx(dir, {"extract", "-q", "b", "-o", "c"}).err, "");
}

}  // namespace
