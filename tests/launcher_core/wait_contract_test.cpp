// The wait contract over the recording fake: the program started with the tail, waited for and
// removed, its status handed back; the launcher's own failures as codes of their own; no window and
// no message where nobody can see them; the publisher's texts in the message.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_platform.h"
#include "integrity.h"
#include "launcher.h"
#include "resource.h"
#include "run_payload.h"

namespace {

using payload_builder::Bytes;
namespace pb = run_payload;

const Bytes DATA = pb::sample_data(90000, 61);

void set_own_file(uint8_t flags, const Bytes& data = DATA) {
  Bytes file = pb::text("MZ launcher image");
  pb::append(file, payload_builder::checked_payload(data, 64000, true, flags));
  fake::platform().files[fake::platform().own_path] = file;
}

class WaitContract : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  fake::Platform& p = fake::platform();
};

TEST_F(WaitContract, RunsTheProgramWithTheTailWaitsAndRemovesIt) {
  struct Case {
    const char* name;
    uint8_t flags;
    const char* file;
    bool package;
  };
  const Case cases[] = {
      {"program", INTEGRITY_FLAG_WAIT, "/tmp/SFX1/EXE1.tmp", false},
      {"installer package", INTEGRITY_FLAG_MSI, "/tmp/SFX1/EXE1.msi", true},
      {"installer package, wait asked too", INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_WAIT, "/tmp/SFX1/EXE1.msi", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    set_own_file(c.flags);
    p.run_status = 3010;
    p.unlink_failures = 2;  // still in use for a moment after it ended
    const char* tail = "/S  /D=\"C:\\Program Files\\Acme\" Übung";
    EXPECT_EQ(run_unpack(tail), 3010) << "the program's own status, unchanged";
    ASSERT_EQ(p.runs.size(), 1u);
    EXPECT_TRUE(p.starts.empty());
    EXPECT_EQ(p.runs[0].program, c.file);
    EXPECT_EQ(p.runs[0].tail, tail);
    EXPECT_EQ(p.runs[0].own_path, p.own_path);
    EXPECT_EQ(p.runs[0].package, c.package);
    EXPECT_EQ(p.runs[0].program_bytes, DATA);
    EXPECT_TRUE(p.runs[0].program_locked) << "held against writers while it runs";
    EXPECT_EQ(p.call_count("remove_temp_file"), 3);
    EXPECT_EQ(p.files.count(c.file), 0u);
    EXPECT_TRUE(p.folders.empty());
    EXPECT_TRUE(p.open_files.empty());
    EXPECT_TRUE(p.messages.empty());
    EXPECT_EQ(p.interrupt_status, LAUNCHER_EXIT_INTERRUPTED);
  }
}

TEST_F(WaitContract, WithoutTheFlagTheStartContractIsTodays) {
  set_own_file(0);
  EXPECT_EQ(run_unpack("/D=C:\\Acme"), 1);
  ASSERT_EQ(p.starts.size(), 1u);
  EXPECT_EQ(p.starts[0].arg1, p.own_path);
  EXPECT_TRUE(p.runs.empty());
  EXPECT_EQ(p.interrupt_status, 0);
  EXPECT_EQ(p.files.count("/tmp/SFX1/EXE1.tmp"), 1u) << "the program runs from it";
}

// Each of the launcher's own failures has its code in a waiting run and in a run asked to be
// silent, and is 0 by the start contract otherwise; its message says why; nothing is left.
TEST_F(WaitContract, OwnFailuresHaveCodesOfTheirOwn) {
  struct Case {
    const char* name;
    std::function<void(fake::Platform&, Bytes&)> arrange;
    int code;
    const char* cause;  // what the message's second line says
  };
  const Case cases[] = {
      {"damaged data", [](fake::Platform&, Bytes& f) { f[f.size() - 200] ^= 0x40; }, LAUNCHER_EXIT_BAD_PAYLOAD,
       "The installation data in this file is damaged or cut short."},
      {"cut short", [](fake::Platform&, Bytes& f) { f.resize(f.size() - 6); }, LAUNCHER_EXIT_BAD_PAYLOAD,
       "The installation data in this file is damaged or cut short."},
      {"no temporary folder", [](fake::Platform& fp, Bytes&) { fp.make_temp_fails = true; fp.temp_dir_variable = "$TMPDIR"; },
       LAUNCHER_EXIT_FILE_FAILED, "The temporary folder $TMPDIR (/tmp/) cannot be written to."},
      {"disk full", [](fake::Platform& fp, Bytes&) { fp.disk_space = 5000; }, LAUNCHER_EXIT_FILE_FAILED,
       "The temporary folder /tmp/ is on a disk that is full."},
      {"file held by another", [](fake::Platform& fp, Bytes&) { fp.lock_fails = true; }, LAUNCHER_EXIT_FILE_FAILED,
       "The unpacked file could not be held against changes and read back."},
      {"no start", [](fake::Platform& fp, Bytes&) { fp.start_fails = true; }, LAUNCHER_EXIT_START_FAILED,
       "The program could not be started: the file is not a program."},
      {"no folder lets programs run",
       [](fake::Platform& fp, Bytes&) { fp.noexec_dirs = {"/tmp/", "/run/user/1/"}; fp.fallback_dirs = {"/run/user/1/"}; },
       LAUNCHER_EXIT_START_FAILED,
       "The program could not be started: no folder tried lets programs run: /tmp/, /run/user/1/."},
  };
  for (const Case& c : cases) {
    for (const uint8_t flags : {uint8_t{0}, INTEGRITY_FLAG_WAIT}) {
     for (const char* tail : {"", "/S"}) {
      SCOPED_TRACE(std::string(c.name) + (flags != 0 ? ", waiting" : ", start contract") + " " + tail);
      fake::reset();
      set_own_file(flags, pb::sample_data(20000, 62));  // stored blocks: a changed byte decodes
      c.arrange(p, p.files[p.own_path]);
      const bool silent = tail[0] != '\0';
      EXPECT_EQ(run_unpack(tail), flags != 0 || silent ? c.code : 0);
      ASSERT_EQ(p.messages.size(), silent ? 0u : 1u);
      if (!silent) {
        EXPECT_EQ(p.messages[0], std::string("Corvalin Installation Cancelled|Unable to load installation data.\n") +
                                     c.cause + "\n\nVisit  https://quenderby.dev/corvalin  for more information.    ");
      }
      EXPECT_TRUE(p.folders.empty());
      EXPECT_TRUE(p.open_files.empty());
     }
    }
  }
}

// Where nobody can see a window (a service, a deployment as SYSTEM), and in a waiting run asked
// to be silent, the run shows neither the window nor the message: it only ends with its status.
TEST_F(WaitContract, ShowsNothingWhereNobodySees) {
  struct Case {
    const char* name;
    bool desktop_visible;
    uint8_t flags;
    const char* tail;
    bool shows;
  };
  const Case cases[] = {
      {"visible desktop", true, INTEGRITY_FLAG_WAIT, "", true},
      {"no visible desktop, waiting", false, INTEGRITY_FLAG_WAIT, "", false},
      {"no visible desktop, start contract", false, 0, "", false},
      {"silent switch, waiting", true, INTEGRITY_FLAG_WAIT, "/D=x /VERYSILENT", false},
      {"Windows Installer's quiet switch", true, INTEGRITY_FLAG_MSI, "/qn", false},
      {"a switch that is not silent", true, INTEGRITY_FLAG_WAIT, "/SILENTLY /Dir=S", true},
      {"silent switch, start contract", true, 0, "/S", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    p.desktop_visible = c.desktop_visible;
    set_own_file(c.flags);
    p.files[p.own_path].resize(p.files[p.own_path].size() - 6);  // no end mark: it fails
    const int status = run_unpack(c.tail);
    const bool silent = std::string(c.tail).find('S') == 1 || std::string(c.tail).find("/q") == 0 ||
                        std::string(c.tail).find("VERY") != std::string::npos;
    EXPECT_EQ(status, c.flags != 0 || silent ? LAUNCHER_EXIT_BAD_PAYLOAD : 0);
    EXPECT_EQ(p.messages.size(), c.shows ? 1u : 0u);
    EXPECT_EQ(p.window_shows, c.shows ? 1 : 0);
    EXPECT_TRUE(p.folders.empty());
  }
}

TEST_F(WaitContract, TheMessageCarriesThePublishersTexts) {
  p.texts[IDS_FAILURE_CAPTION] = "Acme Setup Stopped";
  p.texts[IDS_PUBLISHER_ADDRESS] = "https://acme.example/help";
  set_own_file(0);
  p.files[p.own_path].resize(100);
  EXPECT_EQ(run_unpack(""), 0);
  ASSERT_EQ(p.messages.size(), 1u);
  EXPECT_EQ(p.messages[0], "Acme Setup Stopped|Unable to load installation data.\n"
                           "The installation data in this file is damaged or cut short.\n\nVisit  "
                           "https://acme.example/help  for more information.    ");
  // A publisher who named no address gets the first line alone; an empty caption is the
  // launcher's own.
  p.texts[IDS_FAILURE_CAPTION] = "";
  p.texts[IDS_PUBLISHER_ADDRESS] = "";
  EXPECT_EQ(run_unpack(""), 0);
  ASSERT_EQ(p.messages.size(), 2u);
  EXPECT_EQ(p.messages[1], "Corvalin Installation Cancelled|Unable to load installation data.\n"
                           "The installation data in this file is damaged or cut short.");
}

}  // namespace
