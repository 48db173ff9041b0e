// apply_identity and read_identity on the built launcher, with icons made by icotool and an
// installer made by makensis; what they write is read back with wrestool.
#include <gtest/gtest.h>

#include "identity_test_util.h"
#include "launcher_identity.h"
#include "mem.h"
#include "pe_resources.h"
#include "version_info.h"

namespace {

#define NEED_LAUNCHER() \
  if (built_launcher().empty()) GTEST_SKIP() << "the build made no Windows launcher"

const Bytes NOT_A_PROGRAM = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0};  // an MSI package's start

IdentityResult pack_identity(const IdentityChoice& choice, const Bytes& installer = NOT_A_PROGRAM) {
  return apply_identity(built_launcher(), installer.data(), installer.size(), choice);
}

// The images of an icon file as `icotool -l` lists them, and the file wrestool makes of group.
std::string icon_listing(const std::string& ico) {
  std::string out;
  run_command("icotool -l " + shell_quoted(ico), &out);
  return out;
}
std::string group_listing(const TempFolder& folder, const Bytes& program, int group) {
  write_bytes(folder.file("program.exe"), program);
  run_command("wrestool -x --type=14 --name=" + std::to_string(group) + " " + shell_quoted(folder.file("program.exe")) +
              " > " + shell_quoted(folder.file("group.ico")));
  return icon_listing(folder.file("group.ico"));
}

// The launcher's own identity, kept (--keep-launcher-identity), with the options over it.
IdentityChoice kept() {
  IdentityChoice choice;
  choice.publisher_face = false;
  return choice;
}

TEST(LauncherIdentity, KeepingTheLaunchersOwnGivesTheStubBack) {
  NEED_LAUNCHER();
  const IdentityResult result = pack_identity(kept());
  EXPECT_EQ(result.stub, built_launcher());
  EXPECT_TRUE(result.notes.empty());
  // A program without resources has nothing to copy either.
  const Bytes bare = make_pe(true, {{".text", Bytes(64, 0xC3)}}, -1);
  EXPECT_EQ(pack_identity(kept(), bare).stub, built_launcher());
  // Options that say what the launcher says already change nothing.
  IdentityChoice same = kept();
  same.title = "Quenderby Corvalin Installation";
  EXPECT_EQ(pack_identity(same).stub, built_launcher());
}

// By default the launcher wears the installer's name, from its version information or its file
// name, and nothing of its own brand is left in its resources.
TEST(LauncherIdentity, ThePublishersFaceByDefault) {
  NEED_LAUNCHER();
  TempFolder folder;
  VersionInfo description_only;
  version_info_set(&description_only, u"FileDescription", u"  Widget Installer  ");
  const Bytes described = make_pe(
      true, {{".rsrc", resources_build({{ResourceName::of_id(16), ResourceName::of_id(1), 1033, 0,
                                          version_info_build(description_only)}},
                                        test_pe_section_rva(0))}},
      0);
  const std::string long_name(70, 'n');
  struct Case {
    const char* what;
    Bytes installer;
    std::string product_version;  // --product-version, or none
    std::string name;              // the title and caption expected
    std::string source;            // where pack says they came from
    std::string version_text;      // ProductVersion expected; empty: the installer's own kept
  } cases[] = {
      {"a package, by its file name", NOT_A_PROGRAM, "", "acme-setup", "the installer's file name", "0.0.0.0"},
      {"a package and --product-version", NOT_A_PROGRAM, "3.1.0.2", "acme-setup", "the installer's file name", "3.1.0.2"},
      {"a program with a FileDescription only", described, "", "Widget Installer", "the installer's FileDescription", ""},
  };
  for (const Case& t : cases) {
    IdentityChoice choice;
    choice.installer_name = "acme-setup";
    if (!t.product_version.empty()) choice.product_version = t.product_version;
    const IdentityResult result = pack_identity(choice, t.installer);
    const LauncherIdentity identity = read_identity(result.stub);
    EXPECT_EQ(identity.title, t.name) << t.what;
    EXPECT_EQ(identity.failure_title, t.name) << t.what;
    EXPECT_EQ(identity.url, "") << t.what;
    EXPECT_NE(result.texts_summary.find("\"" + t.name + "\", from " + t.source), std::string::npos)
        << t.what << ": " << result.texts_summary;
    std::string product_version = "(missing)";
    for (const auto& pair : identity.version_strings) {
      if (pair.first == "ProductVersion") product_version = pair.second;
      EXPECT_NE(pair.first, "CompanyName") << t.what;
    }
    if (!t.version_text.empty()) {
      EXPECT_EQ(product_version, t.version_text) << t.what;
    }
    // The launcher's code keeps its own texts for a bare launcher; its resources hold none of them.
    std::string resources;
    const PeLayout layout = pe_layout_read(result.stub.data(), result.stub.size());
    for (const ResourceEntry& entry : resources_parse(result.stub.data(), result.stub.size(), layout))
      resources.append(entry.data.begin(), entry.data.end());
    for (const std::string brand : {"Quenderby", "Corvalin", "quenderby.dev"}) {
      std::string wide;
      for (char c : brand) wide += std::string{c, '\0'};
      EXPECT_EQ(resources.find(brand), std::string::npos) << t.what << ": " << brand;
      EXPECT_EQ(resources.find(wide), std::string::npos) << t.what << ": " << brand << " in UTF-16";
    }
  }
  // A name too long for the caption bar is cut to its first 60 characters; --url names an address.
  IdentityChoice named;
  named.installer_name = long_name;
  named.url = "https://acme.example/help";
  const LauncherIdentity identity = read_identity(pack_identity(named).stub);
  EXPECT_EQ(identity.title, std::string(60, 'n'));
  EXPECT_EQ(identity.url, "https://acme.example/help");
}

TEST(LauncherIdentity, AnIconFileReplacesTheIconWholly) {
  NEED_LAUNCHER();
  TempFolder folder;
  if (!make_icons(folder)) GTEST_SKIP() << "needs icotool and ImageMagick";
  IdentityChoice choice = kept();
  choice.icon = read_bytes(folder.file("png.ico"));
  const IdentityResult result = pack_identity(choice);
  // wrestool makes an .ico of group 107 that lists as the file given; the icons are 1 and 2.
  EXPECT_EQ(group_listing(folder, result.stub, 107), icon_listing(folder.file("png.ico")));
  std::string resources;
  run_command("wrestool -l " + shell_quoted(folder.file("program.exe")), &resources);
  EXPECT_NE(resources.find("--type=3 --name=2 "), std::string::npos) << resources;
  EXPECT_EQ(resources.find("--type=3 --name=3 "), std::string::npos) << resources;
  // The manifest and the dialog are the launcher's own, byte for byte.
  for (int type_name : {24 * 1000 + 1, 5 * 1000 + 102, 16 * 1000 + 1})
    EXPECT_EQ(wrestool_raw(folder.file("program.exe"), type_name / 1000, type_name % 1000),
              wrestool_raw(SFX_WINDOWS_LAUNCHER_FILE, type_name / 1000, type_name % 1000));

  const LauncherIdentity identity = read_identity(result.stub);
  ASSERT_EQ(identity.icons.size(), 2u);
  EXPECT_EQ(identity.icons[1].width, 256u);
  EXPECT_TRUE(identity.icons[1].png);
  EXPECT_EQ(pack_identity(choice).stub, result.stub);  // the same inputs, the same bytes
  EXPECT_LT(result.stub.size(), 64u * 1024);
}

TEST(LauncherIdentity, TheInstallersIconAndVersionAreCopiedAndOverridden) {
  NEED_LAUNCHER();
  TempFolder folder;
  if (!make_nsis_installer(folder)) GTEST_SKIP() << "needs makensis, icotool and ImageMagick";
  const Bytes installer = read_bytes(folder.file("setup.exe"));
  const IdentityResult copied = pack_identity(IdentityChoice{}, installer);
  EXPECT_TRUE(copied.notes.empty());
  // NSIS keeps its icon in group 103; it becomes the launcher's 107.
  EXPECT_EQ(group_listing(folder, copied.stub, 107), group_listing(folder, installer, 103));
  EXPECT_EQ(wrestool_raw(folder.file("program.exe"), 16, 1), wrestool_raw(folder.file("setup.exe"), 16, 1));
  EXPECT_EQ(wrestool_raw(folder.file("program.exe"), 24, 1), wrestool_raw(SFX_WINDOWS_LAUNCHER_FILE, 24, 1));

  IdentityChoice choice;
  choice.product = "Ünïcode Product";
  choice.company = "Acme";
  choice.product_version = "2.0.65535.7";
  choice.title = "Acme Setup";
  choice.failure_title = "Acme Setup Failed";
  choice.url = "https://acme.example/help";
  const LauncherIdentity identity = read_identity(pack_identity(choice, installer).stub);
  auto value = [&](const std::string& key) {
    for (const auto& pair : identity.version_strings)
      if (pair.first == key) return pair.second;
    return std::string("(missing)");
  };
  EXPECT_EQ(value("ProductName"), "Ünïcode Product");
  EXPECT_EQ(value("FileDescription"), "Ünïcode Product");
  EXPECT_EQ(value("CompanyName"), "Acme");
  EXPECT_EQ(value("ProductVersion"), "2.0.65535.7");
  EXPECT_EQ(value("FileVersion"), "2.0.65535.7");
  EXPECT_EQ(value("LegalCopyright"), "nobody");  // copied from the installer and kept
  EXPECT_EQ(identity.product_version, (std::array<uint16_t, 4>{2, 0, 65535, 7}));
  EXPECT_EQ(identity.file_version, identity.product_version);
  EXPECT_EQ(identity.title, "Acme Setup");
  EXPECT_EQ(identity.failure_title, "Acme Setup Failed");
  EXPECT_EQ(identity.url, "https://acme.example/help");
  EXPECT_TRUE(identity.problems.empty());

  // Not copying leaves the launcher's own version under the overrides.
  choice.copy_from_installer = false;
  const LauncherIdentity own = read_identity(pack_identity(choice, installer).stub);
  bool copyright = false;
  for (const auto& pair : own.version_strings) copyright |= pair.first == "LegalCopyright";
  EXPECT_FALSE(copyright);
}

TEST(LauncherIdentity, ADamagedInstallerIsNotCopied) {
  NEED_LAUNCHER();
  TempFolder folder;
  if (!make_nsis_installer(folder)) GTEST_SKIP() << "needs makensis, icotool and ImageMagick";
  Bytes installer = read_bytes(folder.file("setup.exe"));
  const PeLayout layout = pe_layout_read(installer.data(), installer.size());
  const PeSection* rsrc = pe_section_holding(layout, layout.resource_rva, 16);
  ASSERT_NE(rsrc, nullptr);
  store_le16(&installer[rsrc->raw_offset + 14], 0xFFFF);  // the root lists more entries than fit
  const IdentityResult result = pack_identity(kept(), installer);
  EXPECT_EQ(result.stub, built_launcher());
  ASSERT_EQ(result.notes.size(), 1u);
  EXPECT_NE(result.notes[0].find("the installer's resources are damaged (the resource directory at offset 0x0 lists"),
            std::string::npos)
      << result.notes[0];
  EXPECT_NE(result.notes[0].find("; the launcher keeps its own icon, and it keeps its own version information"),
            std::string::npos);
}

TEST(LauncherIdentity, BadChoicesAreRefusedWithTheReason) {
  NEED_LAUNCHER();
  const std::string long_title(61, 'T');
  const std::string long_url = "https://example.com/" + std::string(167, 'x');  // 187 characters
  std::string wide_url, wide_title;
  for (int i = 0; i < 100; ++i) wide_url += "\xF0\x9F\x98\x80";  // U+1F600
  for (int i = 0; i < 60; ++i) wide_title += "\xF0\x9F\x98\x80";
  const struct {
    const char* what;
    IdentityChoice choice;
    const char* reason;
  } refused[] = {
      {"an icon that is not one", [] { IdentityChoice c; c.icon = Bytes{'G', 'I', 'F', '8', '9', 'a'}; c.icon_file = "logo.gif"; return c; }(),
       "is not an icon file"},
      {"a long title", [&] { IdentityChoice c; c.title = long_title; return c; }(), "--title is 61 characters long; at most 60"},
      {"a control character", [] { IdentityChoice c; c.title = "a\tb"; return c; }(), "--title holds a control character"},
      {"an empty failure title", [] { IdentityChoice c; c.failure_title = ""; return c; }(), "--failure-title is empty"},
      {"a long address", [&] { IdentityChoice c; c.url = long_url; return c; }(), "--url is 187 characters long; at most 186"},
      // 100 characters past U+FFFF: few enough, but 200 UTF-16 units in the launcher's message.
      {"an address of wide characters", [&] { IdentityChoice c; c.url = wide_url; return c; }(),
       "--url takes 200 UTF-16 units (characters past U+FFFF take two); at most 186"},
      {"invalid UTF-8", [] { IdentityChoice c; c.product = "\xFF"; return c; }(), "--product is not valid UTF-8 (invalid UTF-8 at byte 0"},
      {"three numbers", [] { IdentityChoice c; c.product_version = "1.2.3"; return c; }(), "four numbers from 0 to 65535"},
      {"a number past 16 bits", [] { IdentityChoice c; c.product_version = "1.2.3.65536"; return c; }(), "not \"1.2.3.65536\""},
      {"a sign", [] { IdentityChoice c; c.product_version = "1.2.+3.4"; return c; }(), "(A.B.C.D)"},
  };
  for (const auto& t : refused) {
    try {
      pack_identity(t.choice);
      ADD_FAILURE() << t.what << ": accepted";
    } catch (const IdentityError& error) {
      EXPECT_NE(std::string(error.what()).find(t.reason), std::string::npos) << t.what << ": " << error.what();
      if (t.choice.icon) {
        EXPECT_EQ(error.file(), "logo.gif");
      }
    }
  }
  // At the limits exactly, all is well.
  IdentityChoice limits;
  limits.installer_name = "acme-setup";
  limits.title = wide_title;  // 60 characters, counted as characters
  limits.url = std::string(long_url.begin(), long_url.end() - 1);
  limits.product_version = "65535.0.0.65535";
  const LauncherIdentity identity = read_identity(pack_identity(limits).stub);
  EXPECT_EQ(identity.url.size(), 186u);
  EXPECT_EQ(identity.title, wide_title);
  EXPECT_EQ(identity.failure_title, "acme-setup");  // the publisher's face beside the options
}

TEST(LauncherIdentity, AStubThatCannotBeRewrittenIsRefused) {
  const Bytes rsrc_first = make_pe(
      true, {{".rsrc", resources_build({}, test_pe_section_rva(0))}, {".reloc", Bytes(8)}}, 0);
  IdentityChoice choice;
  choice.product = "Setup";
  try {
    apply_identity(rsrc_first, nullptr, 0, choice);
    ADD_FAILURE() << "accepted";
  } catch (const IdentityError& error) {
    EXPECT_NE(std::string(error.what()).find("not its last section"), std::string::npos) << error.what();
  }
}

}  // namespace
