// The launcher's own switches over the recording fake: what each writes (nothing, or the folder
// named), what it tells, its exit code; msiexec's actions taken from the tail; a program moved to
// the next folder where the temporary folder lets no program run.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "integrity.h"
#include "launcher.h"
#include "platform.h"
#include "run_payload.h"

namespace {

using payload_builder::Bytes;
namespace pb = run_payload;

const Bytes DATA = pb::sample_data(70000, 71);

void set_own_file(uint8_t flags, bool damaged = false) {
  Bytes file = pb::text("MZ launcher image");
  pb::append(file, payload_builder::checked_payload(DATA, 64000, true, flags));
  if (damaged) file[file.size() - 300] ^= 0x10;
  fake::platform().files[fake::platform().own_path] = file;
}

TEST(OwnSwitches, CheckDescribeOrExtractWithoutStartingAnything) {
  struct Case {
    const char* tail;
    bool damaged;
    const char* existing;  // a file already in /out, if any
    int status;
    const char* told;      // a piece of what it prints
    const char* written;   // the one file it leaves, if any
  };
  const Case cases[] = {
      {"/sfx-verify", false, nullptr, 0, ": whole, 70000 bytes", nullptr},
      {"-SFX-Verify", true, nullptr, LAUNCHER_EXIT_BAD_PAYLOAD, "damaged or cut short", nullptr},
      {"/sfx-info", false, nullptr, 0, "contract: program, waits", nullptr},
      {"/sfx-help", false, nullptr, 0, "/sfx-extract DIR", nullptr},
      {"/sfx-bogus", false, nullptr, LAUNCHER_EXIT_USAGE, "/sfx-verify", nullptr},
      {"/sfx-extract /out", false, nullptr, 0, "extracted into /out", "/out/setup.exe"},
      {"/sfx-extract \"/out/\"", true, nullptr, LAUNCHER_EXIT_BAD_PAYLOAD, "damaged", nullptr},
      {"/sfx-extract /out", false, "/out/x", LAUNCHER_EXIT_USAGE, "not empty", "/out/x"},
      {"/sfx-extract", false, nullptr, LAUNCHER_EXIT_USAGE, "/sfx-extract DIR", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    fake::reset();
    auto& p = fake::platform();
    set_own_file(INTEGRITY_FLAG_WAIT, c.damaged);
    if (c.existing != nullptr) {
      p.made_folders.push_back("/out/");
      p.files[c.existing] = {1};
    }
    EXPECT_EQ(launcher_main(c.tail), c.status);
    EXPECT_NE(p.printed.find(c.told), std::string::npos) << "[" << p.printed << "]";
    EXPECT_EQ(p.made_folders.size(), c.written != nullptr ? 1u : 0u);
    EXPECT_TRUE(p.starts.empty() && p.runs.empty()) << "nothing started";
    EXPECT_TRUE(p.messages.empty());
    EXPECT_TRUE(p.temp_files.empty()) << "nothing in the temporary folder";
    EXPECT_EQ(p.files.size(), c.written != nullptr ? 2u : 1u);
    if (c.written != nullptr) {
      EXPECT_EQ(p.files.count(c.written), 1u);
    }
    if (c.written != nullptr && c.existing == nullptr) {
      EXPECT_EQ(p.files[c.written], DATA);
      EXPECT_EQ(p.origin_marks.count(c.written), 1u);
    }
    EXPECT_TRUE(p.open_files.empty());
  }
}

TEST(OwnSwitches, WithoutAConsoleTheyTellInAMessage) {
  fake::reset();
  fake::platform().has_console = false;
  set_own_file(0);
  EXPECT_EQ(launcher_main("/sfx-verify"), 0);
  ASSERT_EQ(fake::platform().messages.size(), 1u);
  EXPECT_NE(fake::platform().messages[0].find(": whole,"), std::string::npos);
}

TEST(MsiAction, TheTailsFirstWordTakesThePlaceOfInstall) {
  struct Case {
    const char* tail;
    const char* action;  // empty: none
    const char* rest;
  };
  const Case cases[] = {
      {"/x /qn", "/x", "/qn"},           {"-UNINSTALL  /quiet", "-UNINSTALL", "/quiet"},
      {"/fvomus", "/fvomus", ""},        {"/a TARGETDIR=C:\\x", "/a", "TARGETDIR=C:\\x"},
      {"/package", "/package", ""},      {"/qn /x", "", "/qn /x"},
      {"/fz", "", "/fz"},                {"/xyz", "", "/xyz"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    const char* action = nullptr;
    const char* rest = nullptr;
    const uint32_t n = msi_action(c.tail, &action, &rest);
    EXPECT_EQ(n == 0 ? std::string() : std::string(action, n), c.action);
    EXPECT_STREQ(rest, c.action[0] == '\0' ? c.tail : c.rest);
  }
  // The package is started with the action and the rest of the tail.
  fake::reset();
  set_own_file(INTEGRITY_FLAG_MSI);
  EXPECT_EQ(launcher_main("/x /qn"), 0);
  ASSERT_EQ(fake::platform().runs.size(), 1u);
  EXPECT_EQ(fake::platform().runs[0].action, "/x");
  EXPECT_EQ(fake::platform().runs[0].tail, "/qn");
  // A patch is a patch.
  fake::reset();
  set_own_file(INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH);
  EXPECT_EQ(launcher_main("/qn"), 0);
  ASSERT_EQ(fake::platform().runs.size(), 1u);
  EXPECT_EQ(fake::platform().runs[0].kind, TEMP_MSI_PATCH);
}

TEST(NoexecFolder, AProgramMovesToTheNextFolderAScriptStays) {
  struct Case {
    const char* name;
    Bytes data;
    const char* started_in;
  };
  Bytes script = pb::text("#!/bin/sh\necho hello\n");
  const Case cases[] = {
      {"a program", DATA, "/run/user/1/"},
      {"a #! script", script, "/tmp/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    auto& p = fake::platform();
    p.noexec_dirs = {"/tmp/"};
    p.fallback_dirs = {"/run/user/1/"};
    Bytes file = pb::text("MZ launcher image");
    pb::append(file, payload_builder::checked_payload(c.data, 64000, true, INTEGRITY_FLAG_WAIT));
    p.files[p.own_path] = file;
    EXPECT_EQ(launcher_main(""), 0);
    ASSERT_EQ(p.runs.size(), 1u);
    EXPECT_EQ(p.runs[0].program.rfind(c.started_in, 0), 0u) << p.runs[0].program;
    EXPECT_EQ(p.runs[0].program_bytes, c.data);
    EXPECT_TRUE(p.folders.empty()) << "nothing left in either folder";
  }
}

}  // namespace
