// sfx pack: the stub's bytes then the payload, the launchers built into the tool (a copy of sfx
// alone packs either), and the stubs and installers it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "mem.h"
#include "payload_builder.h"
#include "pe_image.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

TEST(SfxPack, StubThenPayloadAndExtractGivesTheInstallerBack) {
  ScratchDir dir;
  const Bytes stub = program_stub(30000);
  const Bytes installer = test_data::mixed(150000, 21);
  write_file(dir.file("launcher.exe"), stub);
  write_file(dir.file("setup.exe"), installer);

  const SfxResult packed =
      run_sfx(dir, {"pack", "--any-payload", "setup.exe", "--stub", "launcher.exe", "-o", "setup-sfx.exe"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(read_file(dir.file("setup-sfx.exe")), packed_file(stub, expected_payload(installer)));
  EXPECT_TRUE(contains(packed.err, "after launcher.exe (PE32 GUI program for Intel 80386, 30000 bytes)"))
      << packed.err;

  const SfxResult extracted = run_sfx(dir, {"extract", "setup-sfx.exe", "-o", "again.exe"});
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(read_file(dir.file("again.exe")), installer);
  const SfxResult verified = run_sfx(dir, {"verify", "setup-sfx.exe", "--original", "setup.exe"});
  EXPECT_EQ(verified.status, 0) << verified.err;
}

TEST(SfxPack, BlockSizeAndStdinAndStdout) {
  ScratchDir dir;
  const Bytes stub = program_stub(1000);
  const Bytes installer = test_data::text_like(40000, 22);
  write_file(dir.file("stub"), stub);
  const SfxResult packed =
      run_sfx(dir, {"pack", "--any-payload", "-", "--stub", "stub", "-o", "-", "--block-size", "5000"}, installer);
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(bytes_of(packed.out), packed_file(stub, expected_payload(installer, 5000)));
}

// A copy of the program alone in a folder of its own, so that nothing beside it can serve.
std::string lone_copy(const ScratchDir& dir) {
  mkdir(dir.file("bin").c_str(), 0755);
  const std::string program = dir.file("bin/sfx");
  write_file(program, read_file(SFX_BINARY));
  chmod(program.c_str(), 0755);
  return program;
}

TEST(SfxBuiltInStubs, ByDefaultAPE32GuiLauncherForWindows) {
  ScratchDir dir;
  const std::string program = lone_copy(dir);
  const Bytes installer = test_data::text_like(3000, 25);
  write_file(dir.file("setup.exe"), installer);
  const SfxResult packed =
      run_sfx(dir, {"pack", "--any-payload", "--keep-launcher-identity", "setup.exe", "-o", "setup-sfx.exe"}, {}, program);
  if (std::string(SFX_WINDOWS_LAUNCHER_FILE).empty()) {
    EXPECT_EQ(packed.status, 2);
    EXPECT_TRUE(contains(packed.err, "without the Windows launcher")) << packed.err;
    EXPECT_TRUE(contains(packed.err, "g++-mingw-w64-i686")) << packed.err;
    GTEST_SKIP() << "this build has no Windows launcher (no mingw-w64)";
  }
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_TRUE(contains(packed.err, "the built-in Windows launcher (PE32 GUI program for Intel 80386"))
      << packed.err;
  const Bytes launcher = read_file(SFX_WINDOWS_LAUNCHER_FILE);
  const Bytes out = read_file(dir.file("setup-sfx.exe"));
  EXPECT_EQ(out, packed_file(launcher, expected_payload(installer)));
  const PeImage image = pe_image_read(out.data(), static_cast<uint32_t>(std::min<size_t>(out.size(), 4096)));
  EXPECT_TRUE(image.is_pe && image.is_pe32);
  EXPECT_EQ(image.machine, 0x14C);  // Intel 80386
  EXPECT_EQ(image.subsystem, 2);    // GUI
  EXPECT_FALSE(image.has_certificates);
  // By default the launcher wears the installer's name, and pack says so.
  const SfxResult faced = run_sfx(dir, {"pack", "--any-payload", "-f", "setup.exe", "-o", "setup-sfx.exe"}, {}, program);
  ASSERT_EQ(faced.status, 0) << faced.err;
  EXPECT_TRUE(contains(faced.err, "launcher texts: title and failure caption \"setup\", from the installer's file name; "
                                  "no address in the failure message (--url gives one)\n"))
      << faced.err;
}

TEST(SfxBuiltInStubs, Windows64IsAPE32PlusGuiLauncherThatListNames) {
  ScratchDir dir;
  write_file(dir.file("setup.exe"), program_stub(3000));
  const SfxResult packed = run_sfx(dir, {"pack", "setup.exe", "--stub", "windows64", "-o", "setup64.exe"});
  if (!contains(run_sfx(dir, {"--version"}).out, " windows64 (")) {
    EXPECT_EQ(packed.status, 2);
    EXPECT_TRUE(contains(packed.err, "g++-mingw-w64-x86-64")) << packed.err;
    GTEST_SKIP() << "this build has no 64-bit Windows launcher";
  }
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_TRUE(contains(packed.err, "the built-in 64-bit Windows launcher (PE32+ GUI program for x86-64")) << packed.err;
  const Bytes out = read_file(dir.file("setup64.exe"));
  const PeImage image = pe_image_read(out.data(), static_cast<uint32_t>(std::min<size_t>(out.size(), 4096)));
  EXPECT_TRUE(image.is_pe && !image.is_pe32);
  EXPECT_EQ(image.machine, 0x8664);
  EXPECT_EQ(image.subsystem, 2);
  EXPECT_TRUE(contains(run_sfx(dir, {"list", "setup64.exe"}).out, "launcher program: PE32+ GUI program for x86-64\n"));
  EXPECT_EQ(run_sfx(dir, {"verify", "-q", "setup64.exe", "--original", "setup.exe"}).status, 0);
}

TEST(SfxBuiltInStubs, ThePosixLauncherRunsHere) {
  ScratchDir dir;
  const std::string program = lone_copy(dir);
  // The installer reports how it was started into a file of its own.
  const std::string report = dir.file("report");
  write_file(dir.file("setup.sh"),
             bytes_of("#!/bin/sh\necho \"$1\" > " + report + ".part && mv " + report + ".part " + report + "\n"));
  const SfxResult packed = run_sfx(dir, {"pack", "setup.sh", "--stub", "posix", "-o", "setup-sfx"}, {}, program);
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_TRUE(contains(packed.err, "the built-in POSIX launcher (ELF program")) << packed.err;
  EXPECT_EQ(read_file(dir.file("setup-sfx")),
            concat({read_file(SFX_POSIX_LAUNCHER_FILE), expected_payload(read_file(dir.file("setup.sh")))}));

  // The launcher unpacks into $TMPDIR, starts the installer with its own path, and exits 1.
  const SfxResult ran = run_sfx(dir, {}, {}, dir.file("setup-sfx"), {"TMPDIR=" + dir.path()});
  EXPECT_EQ(ran.status, 1) << ran.err;
  for (int i = 0; i < 500 && !file_exists(report); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(file_exists(report)) << "the installer was not started";
  EXPECT_EQ(read_file(report), bytes_of(dir.file("setup-sfx") + "\n"));
}

// ---- refused inputs: each exits 2 with the reason, and writes nothing -------------------------

struct RefusedCase {
  const char* name;
  std::function<void(const ScratchDir&)> make;  // writes the files the case needs
  std::vector<std::string> args;                 // after "pack", with "-o out" added
  std::string reason;
  Bytes stdin_bytes = {};
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

// A text installer, and a launcher file "stub" beside it.
void write_installer(const ScratchDir& dir) {
  write_file(dir.file("setup.exe"), test_data::text_like(5000, 23));
  write_file(dir.file("stub"), program_stub(1000));
}

const RefusedCase REFUSED_CASES[] = {
    {"stub_is_a_device", write_installer, {"setup.exe", "--stub", "/dev/null"},
     "sfx: /dev/null: is not a regular file"},
    {"stub_is_data",
     [](const ScratchDir& d) {
       write_installer(d);
       write_file(d.file("notes.txt"), test_data::text_like(3000, 1));
     },
     {"setup.exe", "--stub", "notes.txt"}, "sfx: notes.txt: is not a program"},
    // Sparse: refused by its size before a byte of it is read.
    {"stub_is_too_large",
     [](const ScratchDir& d) {
       write_installer(d);
       write_file(d.file("big"), program_stub(1000));
       if (truncate(d.file("big").c_str(), 17 << 20) != 0) FAIL();
     },
     {"setup.exe", "--stub", "big"}, "sfx: big: is 17825792 bytes, too large for a launcher"},
    {"stub_is_signed",
     [](const ScratchDir& d) {
       write_installer(d);
       Bytes stub = payload_builder::program_header(true, 2048, 512);
       stub.resize(2560, 0);
       write_file(d.file("signed.exe"), stub);
     },
     {"setup.exe", "--stub", "signed.exe"}, "sfx: signed.exe: is signed"},
    {"stub_is_packed",
     [](const ScratchDir& d) {
       write_installer(d);
       write_file(d.file("packed.exe"), concat({program_stub(2000), expected_payload(bytes_of("old"))}));
     },
     {"setup.exe", "--stub", "packed.exe"}, "sfx: packed.exe: already holds a payload marker"},
    // The launcher's search does not look again at the byte that broke a partial match, so a
    // stub ending in "WOMB" could hide the marker written after it.
    {"stub_ends_in_part_of_the_marker",
     [](const ScratchDir& d) {
       write_installer(d);
       write_file(d.file("stub"), concat({program_stub(500), bytes_of("WOMB")}));
     },
     {"setup.exe", "--stub", "stub"}, "sfx: stub: ends with the start of a payload marker"},
    {"stub_named_empty", write_installer, {"setup.exe", "--stub", ""}, "sfx: --stub is empty"},
    {"stub_missing", write_installer, {"setup.exe", "--stub", "nope"},
     "sfx: --stub nope: no such file; --stub takes windows, windows64, posix or a launcher file"},
    // A program, but one that never looks for a payload after itself (xcopy.exe, say).
    {"stub_is_a_program_not_a_launcher",
     [](const ScratchDir& d) {
       write_installer(d);
       Bytes program = payload_builder::program_header(true, 0, 0);
       program.resize(3000, 0x90);
       write_file(d.file("xcopy.exe"), program);
     },
     {"setup.exe", "--stub", "xcopy.exe"}, "sfx: xcopy.exe: is a program but not a launcher"},
    {"installer_is_a_dll",
     [](const ScratchDir& d) {
       write_installer(d);
       Bytes library = program_stub(3000);
       const uint32_t pe = load_le32(library.data() + 0x3C);
       library[pe + 4 + 18 + 1] |= 0x20;  // IMAGE_FILE_DLL (0x2000) in the COFF characteristics
       write_file(d.file("version.dll"), library);
     },
     {"version.dll", "--stub", "stub", "--wait"}, "sfx: version.dll: is a Windows library (a DLL), not a program"},
    {"installer_empty", [](const ScratchDir& d) { write_file(d.file("setup.exe"), {}); },
     {"setup.exe", "--stub", "posix"}, "sfx: setup.exe: is empty"},
    {"installer_empty_on_stdin", [](const ScratchDir&) {}, {"-", "--stub", "posix"}, "sfx: (stdin): is empty"},
    // What the launcher cannot start: a batch file or text for the Windows launcher, a Windows
    // program or a package for the POSIX one.
    {"installer_is_a_batch_file",
     [](const ScratchDir& d) {
       write_installer(d);
       write_file(d.file("setup.bat"), bytes_of("@echo off\r\nsetup.exe /S\r\n"));
     },
     {"setup.bat", "--stub", "stub"}, "sfx: setup.bat: is neither a program nor an installer package"},
    {"installer_is_text", write_installer, {"setup.exe", "--stub", "stub"}, "--any-payload packs it all the same"},
    {"windows_program_for_posix",
     [](const ScratchDir& d) { write_file(d.file("setup.exe"), program_stub(3000)); },
     {"setup.exe", "--stub", "posix"}, "sfx: setup.exe: is a Windows program, which the built-in POSIX launcher"},
    {"package_for_posix",
     [](const ScratchDir& d) {
       write_file(d.file("setup.msi"), compound_file("{000C1084-0000-0000-C000-000000000046}"));
     },
     {"setup.msi", "--stub", "posix"}, "sfx: setup.msi: is a Windows Installer package"},
    {"wait_without_record",
     [](const ScratchDir& d) {
       write_installer(d);
       write_file(d.file("setup.exe"), program_stub(3000));
     },
     {"setup.exe", "--stub", "stub", "--wait", "--no-record"}, "--wait needs the integrity record"},
    {"identity_for_posix",
     [](const ScratchDir& d) { write_file(d.file("setup.sh"), bytes_of("#!/bin/sh\n")); },
     {"setup.sh", "--stub", "posix", "--title", "Acme"}, "are for the Windows launcher"},
};

class SfxRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(SfxRefused, ExitsTwoWithTheReasonAndWritesNothing) {
  const RefusedCase& c = GetParam();
  ScratchDir dir;
  c.make(dir);
  const std::vector<std::string> before = dir.names();
  std::vector<std::string> args = {"pack"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  args.insert(args.end(), {"-o", "out"});
  const SfxResult result = run_sfx(dir, args, c.stdin_bytes);
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(result.err, c.reason)) << result.err;
  EXPECT_EQ(dir.names(), before);
}

INSTANTIATE_TEST_SUITE_P(Inputs, SfxRefused, testing::ValuesIn(REFUSED_CASES),
                         [](const testing::TestParamInfo<RefusedCase>& tested) {
                           return std::string(tested.param.name);
                         });

}  // namespace
