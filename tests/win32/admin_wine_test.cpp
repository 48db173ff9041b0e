// The launcher as an administrator meets it, under wine: its own switches (/sfx-verify,
// /sfx-extract, /sfx-info, /sfx-help) on files packed by this tree's sfx.exe, silent failures that
// show nothing and end with the launcher's own codes, and failure messages that name their cause.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "integrity.h"
#include "launcher.h"
#include "payload_builder.h"
#include "wine_harness.h"
#include "wine_test_files.h"

namespace {

const std::string TOOL = windows_path(SFX_TOOL_EXE);
const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);
const std::string CHILD = windows_path(SFX_CHILD_EXE);



// Packs the child program into <scratch>\<name>.exe with sfx.exe, waiting or not.
std::string pack_child(const ScratchFolder& scratch, const std::string& name, bool wait) {
  const std::string packed = scratch.path() + "\\" + name + ".exe";
  const std::string options = wait ? " --wait" : "";
  EXPECT_EQ(run_program(TOOL, wide("pack -q" + options + " \"" + CHILD + "\" -o \"" + packed + "\"")), 0u);
  return packed;
}

// The offset of the payload's marker in a packed file.
size_t marker_at(const Bytes& file) {
  const std::string marker = "WOMBIXINSTALL";
  return static_cast<size_t>(std::search(file.begin(), file.end(), marker.begin(), marker.end()) - file.begin());
}

enum Damage { WHOLE, DAMAGED_RECORD, DAMAGED_PAYLOAD };

// The packed file with one byte flipped: in its integrity record (its length) or in its first
// block's coded data.
void damage(const std::string& packed, Damage how) {
  if (how == WHOLE) return;
  Bytes file = file_bytes(packed);
  const size_t at = marker_at(file);
  file[how == DAMAGED_RECORD ? at - INTEGRITY_RECORD_BYTES : at + 13 + 2 + 4 + 100] ^= 0x20;
  ASSERT_TRUE(write_file(packed, file));
}

// The working directory, moved for a run and put back.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::string& path) {
    GetCurrentDirectoryW(MAX_PATH, old_);
    SetCurrentDirectoryW(wide(path).c_str());
  }
  ~WorkingFolder() { SetCurrentDirectoryW(old_); }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

 private:
  wchar_t old_[MAX_PATH];
};

// ---- the launcher's own switches -------------------------------------------------------------------

TEST(OwnSwitches, VerifyChecksTheFileAndWritesNothing) {
  ScratchFolder scratch("verify");
  const std::string temp = scratch.make("temp");
  const std::string work = scratch.make("work");
  struct Case {
    const char* name;
    Damage damage;
    DWORD status;
  };
  for (const Case& c : {Case{"whole", WHOLE, 0}, Case{"damaged", DAMAGED_PAYLOAD, LAUNCHER_EXIT_BAD_PAYLOAD}}) {
    SCOPED_TRACE(c.name);
    const std::string packed = pack_child(scratch, c.name, true);
    damage(packed, c.damage);
    std::string output;
    WorkingFolder in(work);
    const LauncherRun run = run_launcher_capturing(packed, "/sfx-verify", temp, &output);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_FALSE(output.empty());
    EXPECT_FALSE(run.message_shown);
    EXPECT_TRUE(run.titles_seen.empty());
    EXPECT_TRUE(everything_in(temp).empty()) << "nothing unpacked, nothing started";
    EXPECT_TRUE(everything_in(work).empty());
  }
}

TEST(OwnSwitches, ExtractWritesTheInstallerIntoANewOrEmptyFolderAndStartsNothing) {
  ScratchFolder scratch("extract");
  const std::string temp = scratch.make("temp");
  const Bytes child = file_bytes(CHILD);
  const std::string single = pack_child(scratch, "setup", false);
  // A folder: the program and a file beside it.
  const std::string folder = scratch.make("bundle");
  scratch.make("bundle\\data");
  ASSERT_TRUE(write_file(folder + "\\setup.exe", child));
  ASSERT_TRUE(write_file(folder + "\\data\\readme.txt", Bytes{'x'}));
  const std::string bundle = scratch.path() + "\\bundle-sfx.exe";
  ASSERT_EQ(run_program(TOOL, wide("pack -q \"" + folder + "\" --run setup.exe -o \"" + bundle + "\"")), 0u);
  scratch.make("full");
  ASSERT_TRUE(write_file(scratch.path() + "\\full\\keep.txt", Bytes{'k'}));
  struct Case {
    const char* name;
    std::string packed;
    const char* target;                                     // in the scratch folder
    DWORD status;
    std::vector<std::pair<std::string, Bytes>> files;  // what the target holds afterwards
  };
  const Case cases[] = {
      {"single file", single, "new", 0, {{"setup.exe", child}}},
      {"folder", bundle, "new folder", 0, {{"data", {}}, {"data\\readme.txt", Bytes{'x'}}, {"setup.exe", child}}},
      {"not empty", single, "full", LAUNCHER_EXIT_USAGE, {{"keep.txt", Bytes{'k'}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = scratch.path() + "\\" + c.target;
    std::string output;
    const LauncherRun run = run_launcher_capturing(c.packed, "/sfx-extract \"" + target + "\"", temp, &output);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_status, c.status) << output;
    std::vector<std::string> names;
    for (const std::string& name : everything_in(target)) {
      names.push_back(name);
      if (is_folder(target + "\\" + name)) {
        for (const std::string& inner : everything_in(target + "\\" + name)) names.push_back(name + "\\" + inner);
      }
    }
    std::vector<std::string> expected;
    for (const auto& [name, bytes] : c.files) {
      expected.push_back(name);
      if (!is_folder(target + "\\" + name)) {
        EXPECT_EQ(file_bytes(target + "\\" + name), bytes) << name;
      }
    }
    EXPECT_EQ(names, expected);
    EXPECT_TRUE(everything_in(temp).empty()) << "nothing unpacked there, nothing started";
    EXPECT_FALSE(run.message_shown);
  }
}

TEST(OwnSwitches, InfoAndHelpPrintToTheRedirectedOutput) {
  ScratchFolder scratch("info");
  const std::string temp = scratch.make("temp");
  const std::string packed = pack_child(scratch, "setup", true);
  struct Case {
    const char* tail;
    const char* named;  // a word the output holds
  };
  for (const Case& c : {Case{"/sfx-info", "program, waits"}, Case{"/sfx-help", "/sfx-verify"}}) {
    SCOPED_TRACE(c.tail);
    std::string output;
    const LauncherRun run = run_launcher_capturing(packed, c.tail, temp, &output);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_status, 0u);
    EXPECT_NE(output.find(c.named), std::string::npos) << output;
    EXPECT_FALSE(run.message_shown);
    EXPECT_TRUE(everything_in(temp).empty());
  }
}

// ---- failures ------------------------------------------------------------------------------------

// Asked to be silent, a run that fails shows nothing, whatever its contract, and ends with the
// launcher's own code.
TEST(Failures, ASilentRunShowsNothingAndEndsWithTheLaunchersCode) {
  ScratchFolder scratch("silent");
  const std::string out = scratch.make("out");
  struct Case {
    const char* name;
    Damage damage;
    bool temp_missing;
    DWORD status;
  };
  const Case cases[] = {
      {"damaged record", DAMAGED_RECORD, false, LAUNCHER_EXIT_BAD_PAYLOAD},
      {"damaged payload", DAMAGED_PAYLOAD, false, LAUNCHER_EXIT_BAD_PAYLOAD},
      {"no temporary folder", WHOLE, true, LAUNCHER_EXIT_FILE_FAILED},
  };
  for (const Case& c : cases) {
    for (const bool wait : {true, false}) {
      const std::string name = std::string(c.name) + (wait ? ", waiting" : ", starting");
      SCOPED_TRACE(name);
      const std::string packed = pack_child(scratch, name, wait);
      damage(packed, c.damage);
      const std::string temp = scratch.path() + "\\temp";
      if (c.temp_missing) {
        remove_tree(temp);
      } else {
        scratch.make("temp");
      }
      const LauncherRun run = run_launcher(packed, "/S", temp, out);
      ASSERT_TRUE(run.finished);
      EXPECT_EQ(run.exit_status, c.status);
      EXPECT_FALSE(run.message_shown);
      EXPECT_TRUE(run.titles_seen.empty()) << "no window";
      EXPECT_FALSE(wait_for_child(out, 300)) << "nothing started";
      EXPECT_TRUE(everything_in(temp).empty());
    }
  }
}

TEST(Failures, TheMessageNamesItsCause) {
  ScratchFolder scratch("cause");
  const std::string out = scratch.make("out");
  const std::string damaged = pack_child(scratch, "damaged", false);
  damage(damaged, DAMAGED_PAYLOAD);
  const std::string whole = pack_child(scratch, "whole", false);
  // A payload that is no program: a text, which the system cannot start.
  Bytes text_program = file_bytes(LAUNCHER);
  const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm', '\r', '\n'};
  const Bytes payload = payload_builder::checked_payload(text, 64000, true, INTEGRITY_FLAG_WAIT);
  text_program.insert(text_program.end(), payload.begin(), payload.end());
  const std::string not_a_program = scratch.path() + "\\text.exe";
  ASSERT_TRUE(write_file(not_a_program, text_program));
  const std::string missing = scratch.path() + "\\no such folder";
  struct Case {
    const char* name;
    std::string packed;
    std::string temp;
    std::string named;  // what the message names
  };
  const Case cases[] = {
      {"damaged payload", damaged, scratch.make("temp"), "damaged"},
      {"no temporary folder", whole, missing, missing},
      {"not a program", not_a_program, scratch.make("temp"), "could not be started"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LauncherRun run = run_launcher(c.packed, "", c.temp, out);
    ASSERT_TRUE(run.finished);
    ASSERT_TRUE(run.message_shown);
    EXPECT_NE(run.message_text.find(c.named), std::string::npos) << run.message_text;
    EXPECT_FALSE(wait_for_child(out, 300)) << "nothing started";
    EXPECT_TRUE(everything_in(c.temp).empty());
  }
}

}  // namespace
