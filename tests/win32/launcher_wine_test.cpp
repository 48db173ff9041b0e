// The launcher as a user meets it, under wine: packed with a program of our own, started,
// failing, deleting, and its resources read back from the built file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "wine_harness.h"

namespace {

const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);
const std::string CHILD = windows_path(SFX_CHILD_EXE);

constexpr char MESSAGE_START[] = "Unable to load installation data.\n\nVisit  ";

// Names each case of a table after its name field.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

Bytes file_bytes(const std::string& path) {
  Bytes bytes;
  EXPECT_TRUE(read_file(path, &bytes)) << path;
  return bytes;
}

Bytes packed_launcher(const Bytes& program) {
  Bytes launcher = file_bytes(LAUNCHER);
  const Bytes payload = make_payload(program);
  launcher.insert(launcher.end(), payload.begin(), payload.end());
  return launcher;
}

std::string text_file(const std::string& path) {
  const Bytes bytes = file_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// ---- unpack and start ------------------------------------------------------------------------

struct StartCase {
  const char* name;
  const char* folder;  // where the packed launcher lies
  const char* file;    // and its name
};

// Cases print as their names in test listings.
void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class LauncherStarts : public testing::TestWithParam<StartCase> {};

TEST_P(LauncherStarts, UnpacksTheProgramAndStartsItWithItsOwnPath) {
  const StartCase& c = GetParam();
  ScratchFolder scratch(c.name);
  const std::string launcher = scratch.make(c.folder) + "\\" + c.file;
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const Bytes child = file_bytes(CHILD);
  ASSERT_TRUE(write_file(launcher, packed_launcher(child)));

  const LauncherRun run = run_launcher(launcher, "", temp, out);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_FALSE(run.message_shown) << run.message_text;
  ASSERT_TRUE(wait_for_child(out, 30000)) << "the unpacked program did not run";

  // The one file the run left: a new temporary file named EXE....
  const std::vector<std::string> left = list_files(temp, "*");
  ASSERT_EQ(left.size(), 1u);
  const std::string& name = left[0];
  EXPECT_EQ(name.compare(0, 3, "EXE"), 0) << name;
  const std::string temp_file = temp + "\\" + name;

  // The temporary path, a blank, the launcher's own path; a path with blanks stays one
  // argument.
  EXPECT_EQ(text_file(out + "\\command-line.txt"), temp_file + " " + quoted_if_blank(launcher));
  EXPECT_EQ(text_file(out + "\\own-path.txt"), temp_file);
  EXPECT_TRUE(file_bytes(out + "\\own-file.bin") == child) << "the unpacked program differs";
  EXPECT_TRUE(file_bytes(temp_file) == child);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, LauncherStarts,
    testing::Values(StartCase{"plain", "setup", "setup.exe"},
                    StartCase{"blanks", "Program Setup Files", "corvalin setup.exe"}),
    case_name<StartCase>);

// ---- a window that answers -------------------------------------------------------------------

TEST(LauncherWindow, AnswersThroughoutALongUnpack) {
  // About 1.3 GB of zeros after the program: seconds of unpacking from a file of 140 MB. A window
  // that handled no messages while copying would leave the watcher's 1.5 s waits to run out.
  ScratchFolder scratch("long");
  const std::string launcher = scratch.make("setup") + "\\setup.exe";
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  Bytes head = file_bytes(LAUNCHER);
  const Bytes payload = make_payload(file_bytes(CHILD), false);
  head.insert(head.end(), payload.begin(), payload.end());
  ASSERT_TRUE(write_long_payload(launcher, head, 20000));

  SetEnvironmentVariableA("SFX_CHILD_NO_COPY", "1");
  const DWORD started = GetTickCount();
  const LauncherRun run = run_launcher(launcher, "", temp, out, true);
  const DWORD took = GetTickCount() - started;
  SetEnvironmentVariableA("SFX_CHILD_NO_COPY", nullptr);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_TRUE(wait_for_child(out, 30000));
  EXPECT_EQ(run.ping_timeouts, 0) << run.answers << " of " << run.pings << " pings answered";
  // Enough pings that a window left alone for the whole copy could not have passed.
  EXPECT_GE(run.answers, 8) << "the unpack took " << took << " ms";
  std::printf("long unpack: %lu ms, %d of %d pings answered\n", static_cast<unsigned long>(took),
              run.answers, run.pings);
}

// ---- failures --------------------------------------------------------------------------------

struct FailureCase {
  const char* name;
  Bytes (*make)();  // the launcher file to run
};

Bytes launcher_without_payload() { return file_bytes(LAUNCHER); }

Bytes launcher_with_cut_payload() {
  // The file ends in the middle of the first block.
  const size_t payload_start = file_bytes(LAUNCHER).size() + 13;
  Bytes packed = packed_launcher(file_bytes(CHILD));
  const size_t first_block = (size_t{packed[payload_start]} << 8) | packed[payload_start + 1];
  packed.resize(payload_start + 2 + first_block / 2);
  return packed;
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class LauncherFails : public testing::TestWithParam<FailureCase> {};

TEST_P(LauncherFails, ShowsTheMessageAndLeavesNothingBehind) {
  const FailureCase& c = GetParam();
  ScratchFolder scratch(c.name);
  const std::string launcher = scratch.make("Setup Folder") + "\\setup.exe";
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  ASSERT_TRUE(write_file(launcher, c.make()));

  const LauncherRun run = run_launcher(launcher, "", temp, out);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 0u);
  ASSERT_TRUE(run.message_shown);
  EXPECT_EQ(run.message_text.compare(0, std::strlen(MESSAGE_START), MESSAGE_START), 0)
      << run.message_text;
  EXPECT_FALSE(run.progress_visible_with_message) << "the progress window covers the message";

  // Nothing was started and no temporary file is left.
  EXPECT_FALSE(wait_for_child(out, 500));
  EXPECT_EQ(list_files(out, "*").size(), 0u);
  EXPECT_EQ(list_files(temp, "*").size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, LauncherFails,
    testing::Values(FailureCase{"no_payload", launcher_without_payload},
                    FailureCase{"cut_payload", launcher_with_cut_payload}),
    case_name<FailureCase>);

// ---- delete mode -----------------------------------------------------------------------------

struct DeleteCase {
  const char* name;
  const char* folder;
  const char* file;
};

void PrintTo(const DeleteCase& c, std::ostream* os) { *os << c.name; }

class LauncherDeletes : public testing::TestWithParam<DeleteCase> {};

TEST_P(LauncherDeletes, RemovesTheQuotedFileAndExitsWithOne) {
  const DeleteCase& c = GetParam();
  ScratchFolder scratch(c.name);
  const std::string victim = scratch.make(c.folder) + "\\" + c.file;
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  ASSERT_TRUE(write_file(victim, Bytes{'x'}));
  // Delete mode never looks for a payload, so a bare launcher will do.
  const std::string launcher = scratch.path() + "\\setup.exe";
  ASSERT_TRUE(write_file(launcher, file_bytes(LAUNCHER)));

  const LauncherRun run = run_launcher(launcher, "\"" + victim + "\"", temp, out);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_FALSE(run.message_shown);
  EXPECT_FALSE(file_exists(victim));
  EXPECT_EQ(list_files(temp, "*").size(), 0u) << "delete mode made a temporary file";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LauncherDeletes,
    testing::Values(DeleteCase{"plain", "setup", "installer.exe"},
                    DeleteCase{"blanks", "Program Setup Files", "corvalin setup.exe"}),
    case_name<DeleteCase>);

}  // namespace
