// sfx pack: the stub's bytes then the payload, an executable output, the default stub beside
// the program, and stubs the launcher's search would get wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

// A stand-in for the launcher program: no marker in it, nor any W that could start one.
Bytes stub_bytes(size_t n) {
  Bytes stub = test_data::random_bytes(n, 77);
  for (uint8_t& b : stub)
    if (b == 'W') b = 'w';
  return stub;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SfxPack, StubThenPayloadAndExtractGivesTheInstallerBack) {
  ScratchDir dir;
  const Bytes stub = stub_bytes(30000);
  const Bytes installer = test_data::mixed(150000, 21);
  write_file(dir.file("launcher.exe"), stub);
  write_file(dir.file("setup.exe"), installer);

  const SfxResult packed =
      run_sfx(dir, {"pack", "setup.exe", "--stub", "launcher.exe", "-o", "setup-sfx.exe"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(read_file(dir.file("setup-sfx.exe")), concat({stub, expected_payload(installer)}));
  EXPECT_EQ(mode_of(dir.file("setup-sfx.exe")), 0755u);

  const SfxResult extracted = run_sfx(dir, {"extract", "setup-sfx.exe", "-o", "again.exe"});
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(read_file(dir.file("again.exe")), installer);

  const SfxResult verified =
      run_sfx(dir, {"verify", "setup-sfx.exe", "--original", "setup.exe"});
  EXPECT_EQ(verified.status, 0) << verified.err;

  const SfxResult listed = run_sfx(dir, {"list", "setup-sfx.exe"});
  EXPECT_TRUE(contains(listed.out, "payload at offset " + std::to_string(stub.size() + 13)))
      << listed.out;
}

TEST(SfxPack, BlockSizeAndStdinAndStdout) {
  ScratchDir dir;
  const Bytes stub = stub_bytes(1000);
  const Bytes installer = test_data::text_like(40000, 22);
  write_file(dir.file("stub"), stub);
  const SfxResult packed =
      run_sfx(dir, {"pack", "-", "--stub", "stub", "-o", "-", "--block-size", "5000"}, installer);
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(bytes_of(packed.out), concat({stub, expected_payload(installer, 5000)}));
}

TEST(SfxPack, RefusesAStubThatAlreadyHoldsAPayload) {
  ScratchDir dir;
  write_file(dir.file("stub"), stub_bytes(2000));
  write_file(dir.file("setup.exe"), test_data::text_like(5000, 23));
  ASSERT_EQ(run_sfx(dir, {"pack", "setup.exe", "--stub", "stub", "-o", "packed"}).status, 0);

  const SfxResult again = run_sfx(dir, {"pack", "setup.exe", "--stub", "packed", "-o", "twice"});
  EXPECT_EQ(again.status, 2);
  EXPECT_TRUE(contains(again.err, "sfx: packed: already holds a payload marker")) << again.err;
  EXPECT_FALSE(file_exists(dir.file("twice")));
}

// The launcher's search does not look again at the byte that broke a partial match, so a stub
// ending in "WOMB" would hide the marker written after it.
TEST(SfxPack, RefusesAStubEndingInPartOfTheMarker) {
  ScratchDir dir;
  write_file(dir.file("stub"), concat({stub_bytes(500), bytes_of("WOMB")}));
  write_file(dir.file("setup.exe"), test_data::text_like(5000, 24));
  const SfxResult result = run_sfx(dir, {"pack", "setup.exe", "--stub", "stub", "-o", "out"});
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(result.err, "sfx: stub: ")) << result.err;
  EXPECT_FALSE(file_exists(dir.file("out")));
}

// Without --stub: launcher.exe beside the program, else launcher, else an error asking for it.
TEST(SfxPack, DefaultStubIsTheLauncherBesideTheProgram) {
  ScratchDir dir;
  ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
  const std::string program = dir.file("bin/sfx");
  write_file(program, read_file(SFX_BINARY));
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  const Bytes installer = test_data::text_like(3000, 25);
  write_file(dir.file("setup.exe"), installer);

  const SfxResult none = run_sfx(dir, {"pack", "setup.exe", "-o", "a"}, {}, program);
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(contains(none.err, "--stub")) << none.err;
  EXPECT_FALSE(file_exists(dir.file("a")));

  const Bytes posix_stub = bytes_of("posix launcher");
  write_file(dir.file("bin/launcher"), posix_stub);
  EXPECT_EQ(run_sfx(dir, {"pack", "setup.exe", "-o", "b"}, {}, program).status, 0);
  EXPECT_EQ(read_file(dir.file("b")), concat({posix_stub, expected_payload(installer)}));

  const Bytes windows_stub = bytes_of("windows launcher");
  write_file(dir.file("bin/launcher.exe"), windows_stub);
  EXPECT_EQ(run_sfx(dir, {"pack", "setup.exe", "-o", "c"}, {}, program).status, 0);
  EXPECT_EQ(read_file(dir.file("c")), concat({windows_stub, expected_payload(installer)}));
}

}  // namespace
