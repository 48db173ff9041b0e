// What pack makes of a compound file: a Windows Installer package or patch by the class of its
// root storage (a real package made by wixl, patches made by hand), any other compound file
// refused as a document unless --any-payload, damaged and cut ones refused without harm; and the
// line that tells how to deploy a Windows program silently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "integrity.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

const std::string PACKAGE_CLASS = "{000C1084-0000-0000-C000-000000000046}";
const std::string PATCH_CLASS = "{000C1086-0000-0000-C000-000000000046}";
const std::string TRANSFORM_CLASS = "{000C1082-0000-0000-C000-000000000046}";
const std::string WORD_CLASS = "{00020906-0000-0000-C000-000000000046}";

// The record's flags in a packed file: the byte 15 of the 32 before the marker.
int record_flags(const Bytes& packed) {
  const Bytes marker = bytes_of("WOMBIXINSTALL");
  const auto at = std::search(packed.begin(), packed.end(), marker.begin(), marker.end());
  if (at == packed.end() || at - packed.begin() < 32) return -1;
  return packed[static_cast<size_t>(at - packed.begin()) - 32 + 15];
}

// A Windows Installer package made by wixl, or nothing where wixl is missing.
Bytes wixl_package(const ScratchDir& dir) {
  write_file(dir.file("readme.txt"), bytes_of("installed by the test package\n"));
  write_file(dir.file("product.wxs"), bytes_of(R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Kind Test" Language="1033" Version="1.0.0" Manufacturer="Acme" UpgradeCode="12345678-1234-1234-1234-123456789014">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" Cabinet="product.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="KindTest">
          <Component Id="MainFile" Guid="12345678-1234-1234-1234-123456789015">
            <File Id="ReadMe" Name="readme.txt" Source="readme.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="MainFile"/></Feature>
  </Product>
</Wix>
)"));
  const std::string command = "cd '" + dir.path() + "' && wixl -o product.msi product.wxs >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  return read_file(dir.file("product.msi"));
}

struct KindCase {
  const char* name;
  Bytes (*make)(const ScratchDir& dir);  // the installer; empty: the case cannot be made here
  int flags;                             // the record's; -1: refused
  std::string says;                      // on stderr
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

// The first n bytes; nothing of nothing.
Bytes cut(Bytes bytes, size_t n) {
  if (bytes.size() > n) bytes.resize(n);
  return bytes;
}

// A patch whose header's field at offset (a 32-bit value) is set to value.
Bytes patch_with(size_t offset, uint32_t value) {
  Bytes patch = compound_file(PATCH_CLASS);
  for (int i = 0; i < 4; ++i) patch[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
  return patch;
}

const KindCase KIND_CASES[] = {
    {"package_by_wixl", wixl_package, INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_WAIT,
     "contract: the launcher starts the package through msiexec /i"},
    {"package_by_hand", [](const ScratchDir&) { return compound_file(PACKAGE_CLASS); },
     INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_WAIT, "contract: the launcher starts the package through msiexec /i"},
    {"patch", [](const ScratchDir&) { return compound_file(PATCH_CLASS); },
     INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH | INTEGRITY_FLAG_WAIT,
     "contract: the launcher applies the patch through msiexec /p with its own switches passed on"},
    {"patch_in_4096_byte_sectors", [](const ScratchDir&) { return compound_file(PATCH_CLASS, 12, 3); },
     INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH | INTEGRITY_FLAG_WAIT, "msiexec /p"},
    {"word_document", [](const ScratchDir&) { return compound_file(WORD_CLASS); }, -1,
     "sfx: installer: is a compound document (e.g. a Word or Excel file), not a Windows Installer package or "
     "program (the class of its root storage is {00020906-0000-0000-C000-000000000046})"},
    {"transform", [](const ScratchDir&) { return compound_file(TRANSFORM_CLASS); }, -1,
     "sfx: installer: is a Windows Installer transform (.mst), which changes a package as it is installed"},
    {"cut_in_its_header", [](const ScratchDir&) { return cut(compound_file(PATCH_CLASS), 300); }, -1,
     "is a compound file whose root storage cannot be read (it ends inside its 512-byte header)"},
    {"cut_before_its_directory", [](const ScratchDir&) { return cut(compound_file(PACKAGE_CLASS), 5000); }, -1,
     "(its directory (sector 11, offset 6144) lies past its end)"},
    {"cut_by_wixl_package", [](const ScratchDir& d) { return cut(wixl_package(d), 4096); }, -1,
     "root storage cannot be read"},
    {"directory_sector_none", [](const ScratchDir&) { return patch_with(0x30, 0xFFFFFFFE); }, -1,
     "its header names no directory sector (4294967294)"},
    {"directory_sector_far", [](const ScratchDir&) { return patch_with(0x30, 0xFFFFFFF0); }, -1, "lies past its end"},
    {"sector_shift_odd", [](const ScratchDir&) { return patch_with(0x1E, 0xFFFE0020); }, -1,
     "gives sectors of 2^32 bytes"},
    {"byte_order_wrong", [](const ScratchDir&) { return patch_with(0x1C, 0x0009FEFF); }, -1,
     "byte order mark is not FE FF"},
    {"garbage_after_the_signature",
     [](const ScratchDir&) {
       return concat({{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, test_data::random_bytes(3000, 81)});
     },
     -1, "root storage cannot be read"},
    {"first_entry_not_the_root",
     [](const ScratchDir&) {
       Bytes patch = compound_file(PATCH_CLASS);
       patch[512 * 12 + 0x42] = 2;  // a stream
       return patch;
     },
     -1, "the first entry of its directory (offset 6144) is not the root storage"},
};

class SfxInstallerKind : public testing::TestWithParam<KindCase> {};

// Packed for the Windows launcher (a stand-in), what it is decides the record's flags, or it is
// refused with exit 2 and nothing written; --any-payload packs any of them to be started as a
// program.
TEST_P(SfxInstallerKind, FlagsOrRefusal) {
  const KindCase& c = GetParam();
  ScratchDir dir;
  const Bytes installer = c.make(dir);
  if (installer.empty()) GTEST_SKIP() << "wixl is missing";
  write_file(dir.file("installer"), installer);
  write_file(dir.file("stub"), program_stub(1000));
  const std::vector<std::string> before = dir.names();
  const SfxResult packed = run_sfx(dir, {"pack", "installer", "--stub", "stub", "-o", "out"});
  EXPECT_TRUE(contains(packed.err, c.says)) << packed.err;
  if (c.flags < 0) {
    EXPECT_EQ(packed.status, 2);
    EXPECT_TRUE(contains(packed.err, "--any-payload packs it all the same")) << packed.err;
    EXPECT_EQ(dir.names(), before);
    const SfxResult any = run_sfx(dir, {"pack", "--any-payload", "installer", "--stub", "stub", "-o", "out"});
    ASSERT_EQ(any.status, 0) << any.err;
    EXPECT_EQ(record_flags(read_file(dir.file("out"))), 0);
    EXPECT_TRUE(contains(any.err, "contract: the launcher starts the installer with its own path")) << any.err;
  } else {
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(record_flags(read_file(dir.file("out"))), c.flags);
    EXPECT_FALSE(contains(packed.err, "deploying silently")) << packed.err;
    const std::string contract = (c.flags & INTEGRITY_FLAG_PATCH) != 0 ? "msp" : "msi";
    EXPECT_TRUE(contains(run_sfx(dir, {"list", "out"}).out, "contract " + contract + ";"));
    EXPECT_TRUE(contains(run_sfx(dir, {"list", "--json", "out"}).out, "\"contract\": \"" + contract + "\""));
    EXPECT_EQ(run_sfx(dir, {"verify", "-q", "out", "--original", "installer"}).status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Compound, SfxInstallerKind, testing::ValuesIn(KIND_CASES),
                         [](const testing::TestParamInfo<KindCase>& tested) { return std::string(tested.param.name); });

// Bytes of a patch's header and root entry changed at random: pack packs it or refuses it (exit 0
// or 2), and whatever it packed carries flags the launcher knows.
TEST(SfxInstallerKindDamage, AnyChangedCompoundFileIsPackedOrRefusedUnharmed) {
  ScratchDir dir;
  write_file(dir.file("stub"), program_stub(1000));
  const Bytes sound = compound_file(PATCH_CLASS, 9, 2);
  const size_t root = 512 * 4;
  const Bytes noise = test_data::random_bytes(64 * 6, 82);
  for (size_t round = 0; round < 64; ++round) {
    Bytes changed = sound;
    for (size_t k = 0; k < 3; ++k) {
      const uint8_t* r = noise.data() + 6 * round + 2 * k;
      // Header fields up to 0x50, or the root entry's type and class.
      const size_t at = (r[0] & 1) != 0 ? 8 + r[1] % 0x48 : root + 0x42 + r[1] % 0x1E;
      changed[at] = r[0];
    }
    write_file(dir.file("installer"), changed);
    const SfxResult packed = run_sfx(dir, {"pack", "-q", "-f", "installer", "--stub", "stub", "-o", "out"});
    SCOPED_TRACE(round);
    ASSERT_TRUE(packed.status == 0 || packed.status == 2) << packed.status << " " << packed.err;
    if (packed.status == 0) {
      const int flags = record_flags(read_file(dir.file("out")));
      EXPECT_TRUE(flags == (INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_WAIT) ||
                  flags == (INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH | INTEGRITY_FLAG_WAIT))
          << flags;
    } else {
      EXPECT_TRUE(contains(packed.err, "sfx: installer: is a ")) << packed.err;
    }
  }
}

// A folder whose program is a patch, or a document.
TEST(SfxInstallerKindBundle, APatchToRunIsAppliedAndADocumentRefused) {
  ScratchDir dir;
  write_file(dir.file("stub"), program_stub(1000));
  ASSERT_EQ(std::system(("mkdir '" + dir.file("dist") + "'").c_str()), 0);
  write_file(dir.file("dist/update.msp"), compound_file(PATCH_CLASS));
  write_file(dir.file("dist/notes.doc"), compound_file(WORD_CLASS));
  const SfxResult packed = run_sfx(dir, {"pack", "dist", "--run", "update.msp", "--stub", "stub", "-o", "out"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(record_flags(read_file(dir.file("out"))),
            INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT | INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH);
  EXPECT_TRUE(contains(packed.err, ", a Windows Installer patch)")) << packed.err;
  EXPECT_TRUE(contains(packed.err, "applies 'update.msp' from it through msiexec /p")) << packed.err;
  EXPECT_TRUE(contains(run_sfx(dir, {"list", "--totals", "out"}).out, "contract msp;"));
  const SfxResult refused = run_sfx(dir, {"pack", "dist", "--run", "notes.doc", "--stub", "stub", "-o", "out2"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(contains(refused.err, "--run: 'notes.doc' in dist is a compound document (e.g. a Word or Excel file)"))
      << refused.err;
  EXPECT_FALSE(file_exists(dir.file("out2")));
}

// A Windows program packed to be started and let go: one line says how to deploy it silently;
// none with --wait, with -q, or for a package (which waits by itself).
TEST(SfxDeployHint, OneLineForAWindowsProgramWithoutWait) {
  ScratchDir dir;
  write_file(dir.file("stub"), program_stub(1000));
  write_file(dir.file("setup.exe"), program_stub(5000));
  write_file(dir.file("product.msi"), compound_file(PACKAGE_CLASS));
  const std::string line =
      "deploying silently: pack with --wait so that the launcher passes switches such as /S on, waits for the "
      "installer and returns its exit code\n";
  struct HintCase {
    std::vector<std::string> args;
    bool hint;
  };
  const HintCase cases[] = {{{"setup.exe"}, true},
                            {{"setup.exe", "--wait"}, false},
                            {{"setup.exe", "-q"}, false},
                            {{"product.msi"}, false}};
  for (const HintCase& c : cases) {
    std::vector<std::string> args = {"pack", "-f", "--stub", "stub", "-o", "out"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const SfxResult packed = run_sfx(dir, args);
    SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(contains(packed.err, line), c.hint) << packed.err;
    if (c.hint) {
      EXPECT_EQ(packed.err.substr(packed.err.size() - line.size()), line) << "the last line";
    }
  }
}

}  // namespace
