// The unpack run over the recording fake: what it writes, what it starts, when it draws the bar,
// and how every failure ends (the message, no temporary file, exit status 0, nothing started).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_platform.h"
#include "launcher.h"
#include "run_payload.h"
#include "unpack_run.h"

namespace {

using payload_builder::Bytes;
namespace pb = run_payload;
using payload_builder::marker;

// The launcher's own message: caption, first line, one line that says why, the advice line.
bool is_failure_message(const std::string& message) {
  const std::string head = "Corvalin Installation Cancelled|Unable to load installation data.\n";
  const std::string advice = "\n\nVisit  https://quenderby.dev/corvalin  for more information.    ";
  if (message.rfind(head, 0) != 0 || message.size() < head.size() + advice.size() + 2) return false;
  const std::string cause = message.substr(head.size(), message.size() - head.size() - advice.size());
  return message.compare(message.size() - advice.size(), advice.size(), advice) == 0 &&
         cause.find('\n') == std::string::npos && cause.back() == '.' && cause.find("  ") == std::string::npos;
}

// A stand-in for the launcher's program image: anything but the marker.
Bytes program_image() { return pb::text("MZ\x90 launcher image: WOMBIX wombixinstall KELVRA"); }

class UnpackRun : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }

  // Makes the own file the program image followed by payload.
  void set_own_file(const Bytes& payload) {
    Bytes file = program_image();
    pb::append(file, payload);
    p.files[p.own_path] = file;
  }

  const Bytes& temp_file() { return p.files.at(p.temp_files.at(0)); }

  // Everything a failed run must leave: one message, no temporary file, nothing started or open,
  // the window (if it was shown) hidden again.
  void expect_clean_failure(int result, bool start_attempted = false) {
    EXPECT_EQ(result, 0);
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_TRUE(is_failure_message(p.messages[0])) << p.messages[0];
    for (const auto& temp : p.temp_files) EXPECT_EQ(p.files.count(temp), 0u) << temp;
    EXPECT_TRUE(p.folders.empty()) << "the temporary folder is left behind";
    EXPECT_EQ(p.starts.size(), start_attempted ? 1u : 0u);
    EXPECT_TRUE(p.open_files.empty());
    EXPECT_FALSE(p.window_visible);
  }

  fake::Platform& p = fake::platform();
};

TEST_F(UnpackRun, UnpacksAndStartsTheProgram) {
  const Bytes data = pb::sample_data(200000);
  set_own_file(payload_builder::payload(data));
  EXPECT_EQ(run_unpack(""), 1);

  ASSERT_EQ(p.temp_files.size(), 1u);
  EXPECT_EQ(p.temp_files[0], "/tmp/SFX1/EXE1.tmp") << "in a folder of its own";
  EXPECT_TRUE(temp_file() == data);
  ASSERT_EQ(p.starts.size(), 1u);
  const fake::Start& start = p.starts[0];
  EXPECT_EQ(start.program, p.temp_files[0]);
  EXPECT_EQ(start.arg0, p.temp_files[0]);
  EXPECT_EQ(start.arg1, "/app/setup.exe");
  EXPECT_TRUE(start.program_bytes == data);
  EXPECT_FALSE(start.program_open_for_write) << "started before its file was closed";
  EXPECT_TRUE(start.program_locked) << "started while others could write to it";

  EXPECT_TRUE(p.messages.empty());
  EXPECT_TRUE(p.open_files.empty());
  EXPECT_EQ(p.window_shows, 1);
  EXPECT_FALSE(p.window_visible);
  EXPECT_LT(p.call_index("progress_hide"), p.call_index("start"));
  EXPECT_EQ(p.files.count(p.temp_files[0]), 1u) << "the started program's file stays";
  // Full writes only, but for the last.
  for (size_t i = 0; i + 1 < p.writes.size(); ++i) EXPECT_EQ(p.writes[i], OUTPUT_BUFFER_BYTES);
}

TEST_F(UnpackRun, OwnPathWithBlanksReachesTheProgramAsOneArgument) {
  p.own_path = "/Program Files/My App/setup.exe";
  set_own_file(payload_builder::payload(pb::sample_data(10)));
  EXPECT_EQ(run_unpack(""), 1);
  ASSERT_EQ(p.starts.size(), 1u);
  EXPECT_EQ(p.starts[0].arg1, "/Program Files/My App/setup.exe");
}

TEST_F(UnpackRun, BarGrowsAsBlocksAreReadAndStaysInsideTheFrame) {
  const Bytes data = pb::sample_data(300000);
  const Bytes payload = payload_builder::payload(data);
  set_own_file(payload);
  ASSERT_EQ(run_unpack(""), 1);

  // Drawn only when the right edge moves: once per block here (5 blocks), never twice the same.
  ASSERT_EQ(p.fills.size(), 5u);
  int32_t last = BAR_LEFT;
  for (const fake::Fill& fill : p.fills) {
    EXPECT_EQ(fill.left, 16);
    EXPECT_EQ(fill.top, 35);
    EXPECT_EQ(fill.bottom, 40);
    EXPECT_GT(fill.right, last);
    last = fill.right;
  }
  EXPECT_GT(p.fills.front().right, BAR_LEFT) << "the first block has been read when it draws";
  // The last drawing has not read past the end mark, which the payload size counts.
  EXPECT_LT(last, BAR_LEFT + BAR_WIDTH);
  EXPECT_EQ(last, bar_right(static_cast<int64_t>(payload.size()) - 13 - 6,
                            static_cast<int64_t>(payload.size()) - 13));
}

TEST_F(UnpackRun, FiveHundredBytesDrawOnceBeforeTheLastIsWritten) {
  // One stored block of 500 bytes: the length (2) and the block (504) have been read by then, and
  // the payload size counts the end mark too (512): 16 + 506 * 146 / 512 = 160.
  Bytes payload = marker();
  pb::append_block(payload, pb::stored_block(pb::sample_data(500)));
  pb::append_end_mark(payload);
  set_own_file(payload);
  uint32_t buffered_at_fill = 0;
  p.on_fill = [&] { buffered_at_fill = output_buffered_bytes(); };
  ASSERT_EQ(run_unpack(""), 1);
  ASSERT_EQ(p.fills.size(), 1u);
  EXPECT_EQ(p.fills[0].right, 160);
  EXPECT_EQ(buffered_at_fill, 499u);
}

TEST_F(UnpackRun, FourHundredNinetyNineBytesNeverDraw) {
  set_own_file(payload_builder::payload(pb::sample_data(499)));
  ASSERT_EQ(run_unpack(""), 1);
  EXPECT_TRUE(p.fills.empty());
  EXPECT_EQ(temp_file().size(), 499u);
}

struct WriteCase {
  size_t bytes;
  std::vector<uint32_t> writes;
};

class OutputWrites : public testing::TestWithParam<WriteCase> {};

TEST_P(OutputWrites, GathersIntoFullBuffers) {
  fake::reset();
  auto& fp = fake::platform();
  Bytes file = program_image();
  pb::append(file, payload_builder::payload(pb::sample_data(GetParam().bytes), 3000));
  fp.files[fp.own_path] = file;
  ASSERT_EQ(run_unpack(""), 1);
  EXPECT_EQ(fp.writes, GetParam().writes);
  EXPECT_EQ(fp.files.at(fp.temp_files.at(0)).size(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OutputWrites,
                         testing::Values(WriteCase{0, {}}, WriteCase{1, {1}},
                                         WriteCase{4096, {4096}}, WriteCase{4097, {4096, 1}},
                                         WriteCase{8192, {4096, 4096}},
                                         WriteCase{10000, {4096, 4096, 1808}}));

TEST_F(UnpackRun, MarkerAndEndMarkAloneGiveAnEmptyProgram) {
  Bytes file = marker();
  pb::append_end_mark(file);
  set_own_file(file);
  EXPECT_EQ(run_unpack(""), 1);
  EXPECT_TRUE(p.fills.empty());
  EXPECT_TRUE(p.writes.empty());
  ASSERT_EQ(p.starts.size(), 1u);
  EXPECT_TRUE(p.starts[0].program_bytes.empty());
}

TEST_F(UnpackRun, EmptyProgramThatCannotStartIsAFailure) {
  Bytes file = marker();
  pb::append_end_mark(file);
  set_own_file(file);
  p.start_fails = true;
  expect_clean_failure(run_unpack(""), true);
}

// A payload that stops before its end mark may have been cut, whether or not it has a record: the
// packer always writes the mark. Nothing is started.
TEST_F(UnpackRun, APayloadWithoutItsEndMarkIsRefused) {
  const Bytes data = pb::sample_data(70000);
  Bytes empty_block_first = marker();
  pb::append_block(empty_block_first, payload_builder::encoded_block(pb::sample_data(5000, 3)));
  pb::append_block(empty_block_first, pb::stored_block({}));
  pb::append_block(empty_block_first, pb::stored_block(pb::sample_data(5000, 4)));
  pb::append_end_mark(empty_block_first);
  const std::pair<const char*, Bytes> cases[] = {
      {"the marker as the last bytes", marker()},
      {"the end of the file after whole blocks", payload_builder::payload(data, 64000, false)},
      {"an empty block before the end mark", empty_block_first},
  };
  for (const auto& [name, file] : cases) {
    SCOPED_TRACE(name);
    fake::reset();
    set_own_file(file);
    expect_clean_failure(run_unpack(""));
  }
}

TEST_F(UnpackRun, BlockOfEndMarkLengthIsReadWhole) {
  // 19,269 bytes read as "KE"; the block's first bytes are its header, not "LVRA".
  const Bytes first = pb::sample_data(19269 - 4, 7);
  const Bytes second = pb::sample_data(1000, 8);
  Bytes payload = marker();
  pb::append_block(payload, pb::stored_block(first));
  ASSERT_EQ(payload[13], 'K');
  ASSERT_EQ(payload[14], 'E');
  pb::append_block(payload, payload_builder::encoded_block(second));
  pb::append_end_mark(payload);
  set_own_file(payload);
  EXPECT_EQ(run_unpack(""), 1);
  Bytes both = first;
  pb::append(both, second);
  EXPECT_TRUE(temp_file() == both);
}

TEST_F(UnpackRun, RunsAgainFromAFreshState) {
  // A run that stops with bytes still buffered must not leak them into the next one.
  Bytes damaged = marker();
  pb::append_block(damaged, pb::stored_block(pb::sample_data(3100, 5)));
  damaged.push_back(0);  // a length cut short
  set_own_file(damaged);
  ASSERT_EQ(run_unpack(""), 0);

  const Bytes data = pb::sample_data(1234, 6);
  set_own_file(payload_builder::payload(data));
  p.messages.clear();
  p.fills.clear();
  uint32_t buffered_at_fill = 0;
  p.on_fill = [&] { buffered_at_fill = output_buffered_bytes(); };
  ASSERT_EQ(run_unpack(""), 1);
  EXPECT_TRUE(p.files.at(p.temp_files.back()) == data);
  // The count starts again at 0: the bar is drawn before byte 500, not before byte 400.
  ASSERT_EQ(p.fills.size(), 1u);
  EXPECT_EQ(buffered_at_fill, 499u);
}

// ---- failures before the copy ----

struct SetupFailure {
  const char* name;
  std::function<void(fake::Platform&)> arrange;
};

class BeforeCopy : public testing::TestWithParam<SetupFailure> {};

TEST_P(BeforeCopy, ShowsTheMessageAndLeavesNoTemporaryFile) {
  fake::reset();
  auto& fp = fake::platform();
  Bytes file = program_image();
  pb::append(file, payload_builder::payload(pb::sample_data(3000)));
  fp.files[fp.own_path] = file;
  GetParam().arrange(fp);
  EXPECT_EQ(run_unpack(""), 0);
  ASSERT_EQ(fp.messages.size(), 1u);
  EXPECT_TRUE(is_failure_message(fp.messages[0])) << fp.messages[0];
  for (const auto& temp : fp.temp_files) EXPECT_EQ(fp.files.count(temp), 0u);
  EXPECT_TRUE(fp.folders.empty());
  EXPECT_TRUE(fp.starts.empty());
  EXPECT_TRUE(fp.open_files.empty());
  EXPECT_EQ(fp.window_shows, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, BeforeCopy,
    testing::Values(
        SetupFailure{"NoOwnPath", [](fake::Platform& f) { f.own_path_fails = true; }},
        SetupFailure{"NoTempDir", [](fake::Platform& f) { f.temp_dir_fails = true; }},
        SetupFailure{"NoTempFile", [](fake::Platform& f) { f.make_temp_fails = true; }},
        SetupFailure{"OwnFileUnopenable",
                     [](fake::Platform& f) { f.unopenable.push_back(f.own_path); }},
        SetupFailure{"TempDirTooLong",
                     [](fake::Platform& f) { f.temp_dir = "/" + std::string(1100, 't') + "/"; }},
        SetupFailure{"OwnFileEmpty", [](fake::Platform& f) { f.files[f.own_path].clear(); }},
        SetupFailure{"NoMarker",
                     [](fake::Platform& f) { f.files[f.own_path] = program_image(); }},
        SetupFailure{"StrayWBeforeMarker",
                     [](fake::Platform& f) {
                       Bytes file = program_image();
                       file.push_back('W');
                       pb::append(file, payload_builder::payload(pb::sample_data(10)));
                       f.files[f.own_path] = file;
                     }},
        SetupFailure{"BrokenPartialMatch",
                     [](fake::Platform& f) {
                       Bytes file = pb::text("WOMBIX");
                       pb::append(file, payload_builder::payload(pb::sample_data(10)));
                       f.files[f.own_path] = file;
                     }},
        SetupFailure{"ReadErrorInMarkerSearch",
                     [](fake::Platform& f) { f.read_fails_at = 5; }}),
    [](const testing::TestParamInfo<SetupFailure>& param) { return std::string(param.param.name); });

// ---- damage found during the copy, and a start that fails ----

struct CopyFailure {
  const char* name;
  std::function<void(fake::Platform&, Bytes& payload)> arrange;  // payload: after the marker
};

class DuringCopy : public testing::TestWithParam<CopyFailure> {};

TEST_P(DuringCopy, StopsWithTheMessageAndStartsNothing) {
  fake::reset();
  auto& fp = fake::platform();
  // A good first block, so that bytes have been copied (and one write made) when damage is met.
  Bytes payload = marker();
  const Bytes good = pb::sample_data(9000, 9);
  pb::append_block(payload, payload_builder::encoded_block(good));
  GetParam().arrange(fp, payload);
  Bytes file = program_image();
  pb::append(file, payload);
  fp.files[fp.own_path] = file;

  EXPECT_EQ(run_unpack(""), 0);
  ASSERT_EQ(fp.messages.size(), 1u);
  EXPECT_TRUE(is_failure_message(fp.messages[0])) << fp.messages[0];
  ASSERT_EQ(fp.temp_files.size(), 1u);
  EXPECT_EQ(fp.files.count(fp.temp_files[0]), 0u) << "the partial program is left behind";
  EXPECT_EQ(fp.unlinked, std::vector<std::string>{fp.temp_files[0]});
  EXPECT_EQ(fp.removed_folders, std::vector<std::string>{"/tmp/SFX1/"});
  EXPECT_TRUE(fp.open_files.empty());
  EXPECT_FALSE(fp.window_visible);
  EXPECT_LT(fp.call_index("progress_hide"), fp.call_index("message"));
  const bool start_fails = std::string(GetParam().name) == "StartFails";
  EXPECT_EQ(fp.starts.size(), start_fails ? 1u : 0u);
}

Bytes repeat(const Bytes& part, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) pb::append(out, part);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, DuringCopy,
    testing::Values(
        CopyFailure{"LengthCut", [](fake::Platform&, Bytes& b) { b.push_back(0x01); }},
        CopyFailure{"LengthBelowHeader",
                    [](fake::Platform&, Bytes& b) { pb::append(b, {0x00, 0x03, 1, 0, 0}); }},
        CopyFailure{"LengthAboveMaximum",
                    [](fake::Platform&, Bytes& b) {
                      const uint32_t length = MAX_BLOCK_BYTES + 1;
                      b.push_back(static_cast<uint8_t>(length >> 8));
                      b.push_back(static_cast<uint8_t>(length));
                      pb::append(b, Bytes(length, 1));
                    }},
        CopyFailure{"BlockCut",
                    [](fake::Platform&, Bytes& b) {
                      pb::append(b, {0x00, 100, 1, 0, 0, 0});
                      pb::append(b, Bytes(50, 'x'));
                    }},
        CopyFailure{"EndMarkLengthThenFileEnds",
                    [](fake::Platform&, Bytes& b) { pb::append(b, pb::text("KELV")); }},
        CopyFailure{"BlockMalformed",
                    // A coded block whose copy item is cut off.
                    [](fake::Platform&, Bytes& b) {
                      pb::append_block(b, {0, 0, 0, 0, 0x01, 0x00, 0x0F});
                    }},
        CopyFailure{"BlockDecodesTooBig",
                    // 226 groups of 16 copies of 18 bytes: 65,088 bytes.
                    [](fake::Platform&, Bytes& b) {
                      Bytes group{0xFF, 0xFF};
                      pb::append(group, repeat({0x0F, 0x00}, 16));
                      Bytes block{0, 0, 0, 0};
                      pb::append(block, repeat(group, 226));
                      pb::append_block(b, block);
                    }},
        CopyFailure{"ReadError",
                    [](fake::Platform& f, Bytes& b) {
                      pb::append_block(b, pb::stored_block(pb::sample_data(20000)));
                      f.read_fails_at = static_cast<int64_t>(program_image().size() + b.size() - 100);
                    }},
        CopyFailure{"DiskFull", [](fake::Platform& f, Bytes&) { f.disk_space = 5000; }},
        CopyFailure{"DiskFullAtFlush", [](fake::Platform& f, Bytes&) { f.disk_space = 8500; }},
        CopyFailure{"CloseFails", [](fake::Platform& f, Bytes&) { f.close_write_fails = true; }},
        CopyFailure{"StartFails", [](fake::Platform& f, Bytes& b) {
                      pb::append_end_mark(b);
                      f.start_fails = true;
                    }}),
    [](const testing::TestParamInfo<CopyFailure>& param) { return std::string(param.param.name); });

TEST(BarRight, IsTakenAtSixtyFourBitsAndTruncated) {
  EXPECT_EQ(bar_right(0, 1000), 16);
  EXPECT_EQ(bar_right(1000, 1000), 162);
  EXPECT_EQ(bar_right(999, 1000), 161);  // 145.854 truncated
  EXPECT_EQ(bar_right(506, 512), 160);
  // Both would overflow 32 bits in the product.
  EXPECT_EQ(bar_right(3000000000LL, 4000000000LL), 16 + 109);
  EXPECT_EQ(bar_right(30000000, 30000001), 161);
  // Never past the frame, never with no payload.
  EXPECT_EQ(bar_right(2000, 1000), 162);
  EXPECT_EQ(bar_right(5, 0), 16);
  EXPECT_EQ(bar_right(5, -7), 16);
}

}  // namespace
