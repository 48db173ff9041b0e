// Bundles under wine, end to end: folders packed by this tree's sfx.exe around an NSIS installer,
// a Windows Installer package, a command script and a program that plants a link, and hostile
// bundles packed by hand past the tool. Each runs silently, as a deployment runs it: the
// program's code comes back, and nothing is left in the temporary directory or written outside
// the private folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "integrity.h"
#include "launcher.h"
#include "payload_builder.h"
#include "tar_builder.h"
#include "wine_harness.h"
#include "wine_test_files.h"

namespace {

const std::string TOOL = windows_path(SFX_TOOL_EXE);
const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);
const std::string CHILD = windows_path(SFX_CHILD_EXE);
const std::string PLANT = windows_path(SFX_PLANT_EXE);
const std::string NSIS_SETUP = std::string(SFX_BUNDLE_SETUP).empty() ? "" : windows_path(SFX_BUNDLE_SETUP);
const std::string MSI_PACKAGE = std::string(SFX_MSI_PACKAGES).empty() ? "" : windows_path(SFX_MSI_PACKAGES);

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }



using Files = std::vector<std::pair<std::string, Bytes>>;  // names with '/', and their bytes

// Makes the folder <scratch>\<name> of files, packs it with sfx.exe to start run, and runs the
// packed launcher with tail and <scratch>\temp as its temporary directory.
LauncherRun pack_and_run(const ScratchFolder& scratch, const std::string& name, const Files& files,
                         const std::string& run, const std::string& tail) {
  const std::string root = scratch.make(name);
  for (const auto& [file_name, bytes] : files) {
    for (size_t slash = file_name.find('/'); slash != std::string::npos; slash = file_name.find('/', slash + 1)) {
      scratch.make(name + "\\" + file_name.substr(0, slash));
    }
    EXPECT_TRUE(write_file(root + "\\" + file_name, bytes)) << file_name;
  }
  const std::string packed = root + "-sfx.exe";
  EXPECT_EQ(run_program(TOOL, wide("pack -q \"" + root + "\" --run \"" + run + "\" -o \"" + packed + "\"")), 0u);
  return run_launcher(packed, tail, scratch.make("temp"), scratch.make("out"));
}

TEST(Bundle, AnNsisInstallerReadsItsFilesFromItsOwnFolder) {
  if (NSIS_SETUP.empty()) GTEST_SKIP() << "no makensis";
  ScratchFolder scratch("bundle-nsis");
  const std::string record = scratch.make("out") + "\\record.txt";
  SetEnvironmentVariableW(L"SFX_BUNDLE_RECORD", wide(record).c_str());
  const LauncherRun run = pack_and_run(scratch, "setup",
                                       {{"setup.exe", file_bytes(NSIS_SETUP)},
                                        {"readme.txt", text_bytes("alpha")},
                                        {"données/ünï.txt", text_bytes("beta")},
                                        {"données/Ελληνικά/файл.txt", text_bytes("gamma")},
                                        {"a/b/c/d/deep.txt", text_bytes("delta")}},
                                       "setup.exe", "/S");
  SetEnvironmentVariableW(L"SFX_BUNDLE_RECORD", nullptr);
  EXPECT_EQ(run.exit_status, 7u) << "the installer's own code";
  const Bytes seen = file_bytes(record);  // the installer writes UTF-16
  EXPECT_EQ(utf8(std::wstring(reinterpret_cast<const wchar_t*>(seen.data()), seen.size() / 2)),
            "readme.txt=alpha\r\ndonnées\\ünï.txt=beta\r\ndonnées\\Ελληνικά\\файл.txt=gamma\r\n"
            "a\\b\\c\\d\\deep.txt=delta\r\n");
  EXPECT_TRUE(everything_in(scratch.path() + "\\temp").empty());
  EXPECT_TRUE(run.titles_seen.empty()) << "asked to be silent, it shows no window";
}

TEST(Bundle, APackageAtTheTopIsInstalledThroughMsiexecWithItsCodeBack) {
  if (MSI_PACKAGE.empty()) GTEST_SKIP() << "no wixl";
  ScratchFolder scratch("bundle-msi");
  const std::string failing_package = MSI_PACKAGE.substr(0, MSI_PACKAGE.size() - 5) + "1.msi";
  for (const auto& [name, package, status] : {std::make_tuple("installs", MSI_PACKAGE, 0u),
                                              std::make_tuple("fails", failing_package, 1603u)}) {
    const LauncherRun run = pack_and_run(
        scratch, name, {{"product.msi", file_bytes(package)}, {"notes/licence.txt", text_bytes("x")}}, "product.msi",
        "/qn");
    EXPECT_EQ(run.exit_status, status) << name;
    EXPECT_TRUE(everything_in(scratch.path() + "\\temp").empty()) << name;
  }
}

// The script runs through cmd, in its own folder, with the launcher's switches.
TEST(Bundle, ACommandScriptRunsThroughCmdInItsOwnFolder) {
  ScratchFolder scratch("bundle-cmd");
  const std::string record = scratch.make("out") + "\\record.txt";
  SetEnvironmentVariableW(L"SFX_BUNDLE_RECORD", wide(record).c_str());
  const std::string script = "@echo off\r\n>\"%SFX_BUNDLE_RECORD%\" echo %CD%\r\n>>\"%SFX_BUNDLE_RECORD%\" echo %*\r\n"
                             "exit /b 5\r\n";
  const LauncherRun run = pack_and_run(scratch, "tools", {{"bin/run me.cmd", text_bytes(script)}}, "bin/run me.cmd",
                                       "/S x");
  SetEnvironmentVariableW(L"SFX_BUNDLE_RECORD", nullptr);
  EXPECT_EQ(run.exit_status, 5u) << "the script's own code";
  const Bytes seen = file_bytes(record);
  const std::string lines(seen.begin(), seen.end());
  EXPECT_EQ(lines.rfind(scratch.path() + "\\temp\\SFX", 0), 0u) << lines;
  EXPECT_NE(lines.find("\\bin\r\n/S x\r\n"), std::string::npos) << lines;
  EXPECT_TRUE(everything_in(scratch.path() + "\\temp").empty());
}

// Under wine, the Unix path of a Windows one; empty elsewhere.
std::string unix_path(const std::string& path) {
  using UnixNameFn = char*(CDECL*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixNameFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unix_name != nullptr ? unix_name(wide(path).c_str()) : nullptr;
  const std::string found = name != nullptr ? name : "";
  if (name != nullptr) HeapFree(GetProcessHeap(), 0, name);
  return found;
}

// A link the program plants in its private folder is never followed: what it points to is
// untouched. Wine 8 can remove no Unix symbolic link through a Windows call: there the link, and
// the folders it is in, are all that is left.
TEST(Bundle, ALinkPlantedInThePrivateFolderIsNeverFollowed) {
  if (unix_path("C:\\").empty()) GTEST_SKIP() << "the program plants its link the wine way";
  ScratchFolder scratch("bundle-link");
  const std::string outside = scratch.make("outside");
  ASSERT_TRUE(write_file(outside + "\\canary.txt", text_bytes("still here")));
  SetEnvironmentVariableW(L"SFX_BUNDLE_LINK_TARGET", wide(outside).c_str());
  const LauncherRun run = pack_and_run(scratch, "plant", {{"plant.exe", file_bytes(PLANT)}}, "plant.exe", "/S");
  SetEnvironmentVariableW(L"SFX_BUNDLE_LINK_TARGET", nullptr);
  EXPECT_EQ(run.exit_status, 0u) << "the program planted its link";
  EXPECT_EQ(file_bytes(outside + "\\canary.txt"), text_bytes("still here"));
  const std::vector<std::string> left = everything_in(scratch.path() + "\\temp");
  ASSERT_EQ(left.size(), 1u);
  const std::string folder = scratch.path() + "\\temp\\" + left[0];
  EXPECT_EQ(everything_in(folder), std::vector<std::string>{"inner"});
  ASSERT_EQ(everything_in(folder + "\\inner"), std::vector<std::string>{"link"});
  // The link goes the Unix way, before the scratch folder's removal could follow it.
  std::wstring line = wide("rm \"" + unix_path(folder + "\\inner\\link") + "\"");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\rm", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 300 && file_exists(folder + "\\inner\\link"); ++i) Sleep(20);
}

// ---- packed by hand past the tool ----------------------------------------------------------------

struct HostileCase {
  const char* name;
  Bytes stream;        // the bundle's tar stream
  uint32_t run_entry;  // the record's entry to start
};

std::vector<HostileCase> hostile_cases() {
  using namespace tar_builder;
  const Bytes child = file_bytes(CHILD);
  const Bytes setup = file("setup.exe", child, 0755);
  const Bytes x = text_bytes("x");
  return {
      {"dot_dot", join({setup, file("../sfx-escaped.txt", x), end()}), 0},
      {"drive_relative", join({setup, file("C:sfx-escaped.txt", x), end()}), 0},
      {"backslash", join({setup, folder("a"), file("a\\sfx-escaped.txt", x), end()}), 0},
      {"device", join({setup, file("CON", x), end()}), 0},
      {"symbolic_link", join({setup, header("link", '2', 0, 0777, "../../.."), file("link/sfx-escaped.txt", x), end()}), 0},
      {"trailing_data", join({setup, end(), x}), 0},
      {"run_entry_a_folder", join({folder("bin"), file("bin/setup.exe", child, 0755), end()}), 0},
      {"run_entry_past_the_end", join({setup, end()}), 1},
  };
}

class HostileBundle : public testing::TestWithParam<HostileCase> {};

// Each is a damaged payload: silent, nothing started, 110, nothing left or written anywhere.
TEST_P(HostileBundle, StartsNothingAndLeavesNothing) {
  const HostileCase& c = GetParam();
  ScratchFolder scratch(c.name);
  Bytes packed = file_bytes(LAUNCHER);
  const Bytes payload = payload_builder::checked_payload(c.stream, 64000, true, INTEGRITY_FLAG_BUNDLE, c.run_entry);
  packed.insert(packed.end(), payload.begin(), payload.end());
  ASSERT_TRUE(write_file(scratch.path() + "\\hostile.exe", packed));
  const std::string out = scratch.make("out");
  const LauncherRun run = run_launcher(scratch.path() + "\\hostile.exe", "/S", scratch.make("temp"), out);
  EXPECT_EQ(run.exit_status, static_cast<DWORD>(LAUNCHER_EXIT_BAD_PAYLOAD));
  EXPECT_FALSE(run.message_shown);
  EXPECT_TRUE(run.titles_seen.empty());
  EXPECT_FALSE(wait_for_child(out, 500)) << "nothing was started";
  EXPECT_TRUE(everything_in(scratch.path() + "\\temp").empty());
  for (const std::string& place : {scratch.path(), std::string("C:"), std::string("Z:")}) {
    EXPECT_FALSE(file_exists(place + "\\sfx-escaped.txt")) << place;
  }
}

INSTANTIATE_TEST_SUITE_P(Payloads, HostileBundle, testing::ValuesIn(hostile_cases()),
                         [](const testing::TestParamInfo<HostileCase>& param_info) { return param_info.param.name; });

}  // namespace
