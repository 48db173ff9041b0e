// A bundle's run over the recording fake: the folder made new inside the private folder, every
// file read back and held until the program starts from its own folder, the program's status
// handed back and everything removed; a bundle the reader refuses, or whose record does not
// name a file, starts nothing and leaves nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_platform.h"
#include "integrity.h"
#include "launcher.h"
#include "run_payload.h"
#include "tar_builder.h"

namespace {

using payload_builder::Bytes;
namespace tb = tar_builder;

const Bytes PROGRAM = run_payload::sample_data(70000, 5);
const Bytes NOTES = run_payload::text("read me");
constexpr uint8_t BUNDLE = INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT;

// The packed launcher: a stand-in image, then the stream as a bundle's payload.
void set_own_file(const Bytes& stream, uint32_t run_entry, uint8_t flags = BUNDLE, const Bytes* recorded = nullptr) {
  Bytes file = run_payload::text("MZ launcher image");
  Bytes payload = payload_builder::checked_payload(stream, 64000, true, flags, run_entry);
  if (recorded != nullptr) {  // a record of other data
    const Bytes record = payload_builder::record(*recorded, flags, run_entry);
    std::copy(record.begin(), record.end(), payload.begin());
  }
  run_payload::append(file, payload);
  fake::platform().files[fake::platform().own_path] = file;
}

// A folder, a file in it with a name in UTF-8, and the program: entries 0, 1 and 2.
const Bytes GOOD = tb::join({tb::folder("données"), tb::file("données/ünï.txt", NOTES),
                             tb::file("setup.exe", PROGRAM, 0755), tb::end()});

class BundleRun : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  fake::Platform& p = fake::platform();
};

TEST_F(BundleRun, TheFolderIsMadeTheProgramRunsFromItAndAllIsRemoved) {
  set_own_file(GOOD, 2);
  p.run_status = 7;
  EXPECT_EQ(run_unpack("/S"), 7) << "the program's own status";
  const std::string folder = "/tmp/SFX1";
  ASSERT_EQ(p.runs.size(), 1u);
  EXPECT_EQ(p.runs[0].program, folder + "/setup.exe");
  EXPECT_EQ(p.runs[0].working_dir, folder);
  EXPECT_EQ(p.runs[0].tail, "/S");
  EXPECT_EQ(p.runs[0].program_bytes, PROGRAM);
  EXPECT_EQ(p.call_count("make_folder " + folder + "/données"), 1);
  EXPECT_TRUE(p.made_folders.empty()) << "removed with the rest";
  // Every file was read back and held when the program started.
  std::vector<std::string> held = p.held_at_run;
  std::sort(held.begin(), held.end());
  EXPECT_EQ(held, (std::vector<std::string>{folder + "/données/ünï.txt", folder + "/setup.exe"}));
  EXPECT_EQ(p.executables, std::vector<std::string>{folder + "/setup.exe"});
  EXPECT_EQ(p.removed_trees, std::vector<std::string>{folder});
  EXPECT_EQ(p.files.size(), 1u) << "only the launcher's own file is left";
  EXPECT_TRUE(p.open_files.empty());
}

TEST_F(BundleRun, WhatTheReaderRefusesStartsNothingAndLeavesNothing) {
  const Bytes other = run_payload::text("other data");
  struct Case {
    const char* what;
    Bytes stream;
    uint32_t run_entry;
    const Bytes* recorded;
  } cases[] = {
      {"a symbolic link", tb::join({tb::header("link", '2', 0, 0777, "/etc"), tb::file("setup.exe", PROGRAM), tb::end()}), 1, nullptr},
      {"a name that climbs out", tb::join({tb::file("../setup.exe", PROGRAM), tb::end()}), 0, nullptr},
      {"a drive", tb::join({tb::file("C:setup.exe", PROGRAM), tb::end()}), 0, nullptr},
      {"a device name", tb::join({tb::file("setup.exe", PROGRAM), tb::file("CON.txt", NOTES), tb::end()}), 0, nullptr},
      {"the program is a folder", tb::join({tb::folder("setup"), tb::end()}), 0, nullptr},
      {"the program is not there", GOOD, 3, nullptr},
      {"data after the end", tb::join({GOOD, Bytes(512, 0)}), 2, nullptr},
      {"the end missing", tb::join({tb::file("setup.exe", PROGRAM)}), 0, nullptr},
      {"not what the record says", GOOD, 2, &other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::reset();
    set_own_file(c.stream, c.run_entry, BUNDLE, c.recorded);
    EXPECT_EQ(run_unpack("/S"), LAUNCHER_EXIT_BAD_PAYLOAD);
    EXPECT_TRUE(p.runs.empty()) << "nothing started";
    EXPECT_EQ(p.files.size(), 1u) << "nothing left";
    EXPECT_TRUE(p.made_folders.empty());
    EXPECT_TRUE(p.open_files.empty());
    EXPECT_TRUE(p.messages.empty()) << "silent";
  }
}

}  // namespace
