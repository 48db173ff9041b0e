// Deployment and the publisher's identity under wine, end to end: installers made by the real
// tools (an NSIS installer, Windows Installer packages made by wixl), packed by this tree's
// sfx.exe, run by the packed launcher as a deployment tool or a user would run them.
#include <windows.h>

#include <imagehlp.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "integrity.h"
#include "payload_builder.h"
#include "resource.h"
#include "wine_harness.h"

namespace {

const std::string TOOL = windows_path(SFX_TOOL_EXE);
const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);
const std::string CHILD = windows_path(SFX_CHILD_EXE);
const std::string NSIS_INSTALLER = std::string(SFX_NSIS_INSTALLER).empty() ? "" : windows_path(SFX_NSIS_INSTALLER);
const std::string MSI_PACKAGE = std::string(SFX_MSI_PACKAGES).empty() ? "" : windows_path(SFX_MSI_PACKAGES);
const std::string RELAUNCH_INSTALLER =
    std::string(SFX_RELAUNCH_INSTALLER).empty() ? "" : windows_path(SFX_RELAUNCH_INSTALLER);

// Runs sfx.exe with the arguments, each quoted, and returns its exit status.
DWORD run_tool(const std::vector<std::string>& args) {
  std::wstring line;
  for (const std::string& arg : args) line += L" \"" + wide(arg) + L"\"";
  return run_program(TOOL, line);
}

std::string read_text(const std::string& path) {
  Bytes bytes;
  return read_file(path, &bytes) ? std::string(bytes.begin(), bytes.end()) : std::string();
}

// The folders the launcher leaves in the temporary directory.
std::vector<std::string> left_in(const std::string& temp) { return list_files(temp, "*", true); }

// ---- the wait contract ------------------------------------------------------------------------

// The NSIS installer records its command line and SFX_LAUNCHER_PATH in SFX_NSIS_RECORD, sleeps
// SFX_NSIS_SLEEP milliseconds when set, and ends with SetErrorLevel 7.
TEST(WaitContract, AnNsisInstallerSeesItsSwitchesAndTheLauncherEndsWithItsCode) {
  if (NSIS_INSTALLER.empty()) GTEST_SKIP() << "no makensis";
  ScratchFolder scratch("wait");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string waiting = scratch.path() + "\\setup-sfx.exe";
  const std::string starting = scratch.path() + "\\setup-start.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "--wait", NSIS_INSTALLER, "-o", waiting}), 0u);
  ASSERT_EQ(run_tool({"pack", "-q", NSIS_INSTALLER, "-o", starting}), 0u);
  const std::string record = out + "\\record.txt";
  SetEnvironmentVariableW(L"SFX_NSIS_RECORD", wide(record).c_str());

  const LauncherRun run = run_launcher(waiting, "/S", temp, out);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 7u) << "the installer's own code";
  const std::string seen = read_text(record);
  ASSERT_FALSE(seen.empty()) << "the installer ended before the launcher did";
  const size_t line_end = seen.find("\r\n");
  EXPECT_NE(seen.substr(0, line_end).find("\\EXE"), std::string::npos) << seen;
  EXPECT_NE(seen.substr(0, line_end).find(".tmp\" /S"), std::string::npos) << "the quoted file, then /S: " << seen;
  EXPECT_EQ(seen.substr(line_end + 2, seen.find("\r\n", line_end + 2) - line_end - 2), waiting)
      << "SFX_LAUNCHER_PATH";
  EXPECT_TRUE(left_in(temp).empty()) << "neither the file nor its folder is left";
  EXPECT_TRUE(run.titles_seen.empty()) << "asked to be silent, it shows no window";

  // A slow installer, run without a silent switch: the launcher's (hidden) window answers all
  // the while it waits.
  DeleteFileW(wide(record).c_str());
  SetEnvironmentVariableW(L"SFX_NSIS_SLEEP", L"3000");
  const LauncherRun slow = run_launcher(waiting, "/D=C:\\Acme", temp, out, true);
  ASSERT_TRUE(slow.finished);
  EXPECT_EQ(slow.exit_status, 7u);
  EXPECT_GE(slow.answers, 8) << "pinged through the wait";
  EXPECT_EQ(slow.ping_timeouts, 0) << slow.answers << " of " << slow.pings << " pings answered";
  EXPECT_TRUE(left_in(temp).empty());

  // Without --wait: today's contract, the launcher's path as the one argument and 1 at once.
  DeleteFileW(wide(record).c_str());
  SetEnvironmentVariableW(L"SFX_NSIS_SLEEP", nullptr);
  const LauncherRun started = run_launcher(starting, "/S", temp, out);
  ASSERT_TRUE(started.finished);
  EXPECT_EQ(started.exit_status, 1u);
  for (int i = 0; i < 200 && !file_exists(record); ++i) Sleep(50);
  EXPECT_NE(read_text(record).find(starting), std::string::npos) << "its own path as the argument";
  SetEnvironmentVariableW(L"SFX_NSIS_RECORD", nullptr);
}

// The numbers of the running processes whose program file is named name.
std::vector<DWORD> processes_named(const wchar_t* name) {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, name) == 0) found.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return found;
}

// The installer hands its work on and exits with 3: the launcher waits for the copy of itself it
// started from its folder (which ends with 7 once its work is done), and not for a program from
// elsewhere (the system's notepad, which runs until it is ended).
TEST(WaitContract, TheWaitLastsAsLongAsTheProgramsFromThePrivateFolder) {
  if (RELAUNCH_INSTALLER.empty()) GTEST_SKIP() << "no makensis";
  ScratchFolder scratch("relaunch");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string packed = scratch.path() + "\\relaunch-sfx.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "--wait", RELAUNCH_INSTALLER, "-o", packed}), 0u);
  const std::string mark = out + "\\mark.txt";
  SetEnvironmentVariableW(L"SFX_RELAUNCH_MARK", wide(mark).c_str());
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::string notepad = utf8(system) + "\\notepad.exe";
  struct Case {
    const char* name;
    std::string outside;  // the program the installer starts instead of its copy
    DWORD status;
  };
  for (const Case& c : {Case{"copy", "", 7}, Case{"outside", notepad, 3}}) {
    SCOPED_TRACE(c.name);
    DeleteFileW(wide(mark).c_str());
    SetEnvironmentVariableW(L"SFX_RELAUNCH_OUTSIDE", c.outside.empty() ? nullptr : wide(c.outside).c_str());
    const LauncherRun run = run_launcher(packed, "/S", temp, out);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(file_exists(mark), c.outside.empty()) << "the copy had done its work when the launcher returned";
    EXPECT_TRUE(left_in(temp).empty());
    const std::vector<DWORD> running = processes_named(L"notepad.exe");
    EXPECT_EQ(running.empty(), c.outside.empty()) << "the program from elsewhere still runs";
    for (DWORD id : running) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
  }
  SetEnvironmentVariableW(L"SFX_RELAUNCH_OUTSIDE", nullptr);
  SetEnvironmentVariableW(L"SFX_RELAUNCH_MARK", nullptr);
}

TEST(WaitContract, AWindowsInstallerPackageInstallsThroughMsiexec) {
  if (MSI_PACKAGE.empty()) GTEST_SKIP() << "no wixl";
  ScratchFolder scratch("msi");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string failing_package = MSI_PACKAGE.substr(0, MSI_PACKAGE.size() - 5) + "1.msi";
  struct Case {
    const char* name;
    std::string package;
    DWORD status;
  };
  for (const Case& c : {Case{"installs", MSI_PACKAGE, 0}, Case{"fails", failing_package, 1603}}) {
    SCOPED_TRACE(c.name);
    const std::string packed = scratch.path() + "\\" + c.name + ".exe";
    ASSERT_EQ(run_tool({"pack", "-q", c.package, "-o", packed}), 0u) << "a package always waits";
    const LauncherRun run = run_launcher(packed, "/qn", temp, out);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_status, c.status) << "msiexec's own code";
    EXPECT_FALSE(run.message_shown);
    EXPECT_TRUE(left_in(temp).empty());
  }
  EXPECT_TRUE(file_exists("C:\\Program Files (x86)\\AcmeTest\\readme.txt") ||
              file_exists("C:\\Program Files\\AcmeTest\\readme.txt"))
      << "the package's file is installed";
}

bool acme_installed() {
  return file_exists("C:\\Program Files (x86)\\AcmeTest\\readme.txt") ||
         file_exists("C:\\Program Files\\AcmeTest\\readme.txt");
}

// The launcher's switches name msiexec's action: installed with /qn, the package is removed again
// with /x /qn.
TEST(WaitContract, MsiexecsActionComesFromTheSwitches) {
  if (MSI_PACKAGE.empty()) GTEST_SKIP() << "no wixl";
  ScratchFolder scratch("msi-action");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string packed = scratch.path() + "\\product-setup.exe";
  ASSERT_EQ(run_tool({"pack", "-q", MSI_PACKAGE, "-o", packed}), 0u);
  struct Step {
    const char* tail;
    bool installed;
  };
  for (const Step& step : {Step{"/qn", true}, Step{"/x /qn", false}}) {
    SCOPED_TRACE(step.tail);
    const LauncherRun run = run_launcher(packed, step.tail, temp, out);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_status, 0u);
    EXPECT_EQ(acme_installed(), step.installed);
    EXPECT_TRUE(left_in(temp).empty());
  }
}

// The names of the files in the launcher's folders in temp, gathered while it runs.
struct TempNames {
  std::string temp;
  std::vector<std::string> names;
};

void note_temp_names(void* context) {
  auto* seen = static_cast<TempNames*>(context);
  for (const std::string& folder : left_in(seen->temp)) {
    for (const std::string& name : list_files(seen->temp + "\\" + folder, "*")) {
      if (std::find(seen->names.begin(), seen->names.end(), name) == seen->names.end()) seen->names.push_back(name);
    }
  }
}

// A patch is unpacked as EXE….msp and given to msiexec /p, which takes a package that is no patch
// for a patch it cannot open (1635, 1636; wine's msiexec ends with 87 for it), not for a package to
// install (0) or one it cannot open (1619, 1620).
TEST(WaitContract, APatchIsAppliedThroughMsiexecP) {
  if (MSI_PACKAGE.empty()) GTEST_SKIP() << "no wixl";
  ScratchFolder scratch("msp");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  // Packed by hand: the tool marks no patch yet.
  Bytes packed, package;
  ASSERT_TRUE(read_file(LAUNCHER, &packed) && read_file(MSI_PACKAGE, &package));
  const Bytes payload = payload_builder::checked_payload(
      package, 64000, true, INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH | INTEGRITY_FLAG_WAIT);
  packed.insert(packed.end(), payload.begin(), payload.end());
  ASSERT_TRUE(write_file(scratch.path() + "\\patch.exe", packed));
  TempNames seen{temp, {}};
  const LauncherRun run = run_launcher(scratch.path() + "\\patch.exe", "/qn", temp, out, false, note_temp_names, &seen);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(seen.names.size(), 1u);
  EXPECT_EQ(seen.names[0].substr(seen.names[0].size() - 4), ".msp");
  EXPECT_TRUE(run.exit_status == 1635 || run.exit_status == 1636 || run.exit_status == 87) << run.exit_status;
  EXPECT_TRUE(left_in(temp).empty());
}

// ---- one judgement of a payload ----------------------------------------------------------------

TEST(Judgement, ABarePayloadCutAtABlockBoundaryStartsNothing) {
  ScratchFolder scratch("cut");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string packed = scratch.path() + "\\setup-sfx.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "--no-record", "-b", "4096", CHILD, "-o", packed}), 0u);
  Bytes file;
  ASSERT_TRUE(read_file(packed, &file));
  // The first block after the marker ends where the second's length begins.
  const std::string marker = "WOMBIXINSTALL";
  const auto at = std::search(file.begin(), file.end(), marker.begin(), marker.end()) - file.begin() + 13;
  const size_t first_end = static_cast<size_t>(at) + 2 + ((size_t{file[static_cast<size_t>(at)]} << 8) |
                                                         file[static_cast<size_t>(at) + 1]);
  file.resize(first_end);
  ASSERT_TRUE(write_file(packed, file));
  const LauncherRun run = run_launcher(packed, "", temp, out);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 0u);
  EXPECT_TRUE(run.message_shown);
  EXPECT_FALSE(wait_for_child(out, 500));
  EXPECT_TRUE(left_in(temp).empty());
}

// ---- the publisher's identity ------------------------------------------------------------------

TEST(Identity, TheWindowAndTheMessageCarryThePublishersTexts) {
  ScratchFolder scratch("texts");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string packed = scratch.path() + "\\acme-sfx.exe";
  // The child with 64 MB after its image (it runs the same): an unpack long enough to be seen.
  const std::string installer = scratch.path() + "\\setup.exe";
  Bytes program;
  ASSERT_TRUE(read_file(CHILD, &program));
  program.resize(program.size() + (64u << 20), 0);
  ASSERT_TRUE(write_file(installer, program));
  ASSERT_EQ(run_tool({"pack", "-q", installer, "-o", packed, "--title", "Acme Tool Setup", "--failure-title",
                      "Acme Setup Stopped", "--url", "https://acme.example/help"}),
            0u);
  SetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", L"1");
  const LauncherRun run = run_launcher(packed, "", temp, out);
  SetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", nullptr);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_NE(std::find(run.titles_seen.begin(), run.titles_seen.end(), "Acme Tool Setup"), run.titles_seen.end());

  // Damaged, the message names the publisher's caption and address.
  Bytes file;
  ASSERT_TRUE(read_file(packed, &file));
  file.resize(file.size() - 3);
  ASSERT_TRUE(write_file(packed, file));
  const LauncherRun damaged = run_launcher(packed, "", temp, out);
  ASSERT_TRUE(damaged.finished);
  EXPECT_TRUE(damaged.message_shown);
  EXPECT_EQ(damaged.message_caption, "Acme Setup Stopped");
  EXPECT_EQ(damaged.message_text,
            "Unable to load installation data.\nThe installation data in this file is damaged or cut short.\n\n"
            "Visit  https://acme.example/help  for more information.    ");
}

// The version strings of a file, as Explorer reads them.
std::string version_string(const std::string& file, const char* key) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide(file).c_str(), &ignored);
  std::vector<uint8_t> info(size);
  if (size == 0 || !GetFileVersionInfoW(wide(file).c_str(), 0, size, info.data())) return "";
  struct Translation {
    WORD language, code_page;
  }* translation = nullptr;
  UINT n = 0;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &n) ||
      n < sizeof *translation) {
    return "";
  }
  wchar_t path[128];
  wsprintfW(path, L"\\StringFileInfo\\%04x%04x\\%hs", translation->language, translation->code_page, key);
  wchar_t* value = nullptr;
  return VerQueryValueW(info.data(), path, reinterpret_cast<void**>(&value), &n) && n > 0 ? utf8(value) : "";
}

// The images of a program's icon group, as the system loads them.
std::vector<Bytes> icon_images(const std::string& file, const wchar_t* group) {
  std::vector<Bytes> images;
  HMODULE module = LoadLibraryExW(wide(file).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return images;
  HRSRC found = FindResourceW(module, group, reinterpret_cast<LPCWSTR>(RT_GROUP_ICON));
  const auto* dir = found != nullptr ? static_cast<const uint8_t*>(LockResource(LoadResource(module, found))) : nullptr;
  const uint16_t count = dir != nullptr ? static_cast<uint16_t>(dir[4] | (dir[5] << 8)) : 0;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* entry = dir + 6 + 14 * i;
    const uint16_t id = static_cast<uint16_t>(entry[12] | (entry[13] << 8));
    HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), reinterpret_cast<LPCWSTR>(RT_ICON));
    if (image == nullptr) continue;
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, image)));
    images.emplace_back(bytes, bytes + SizeofResource(module, image));
  }
  FreeLibrary(module);
  return images;
}

// Packed with no option, the launcher carries the installer's icon and version information; it
// still starts its installer, verifies, has a right checksum, and packs to the same bytes twice.
TEST(Identity, AnInstallersOwnIconAndVersionAreCopied) {
  if (NSIS_INSTALLER.empty()) GTEST_SKIP() << "no makensis";
  ScratchFolder scratch("copy");
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const std::string packed = scratch.path() + "\\acme-sfx.exe";
  const std::string again = scratch.path() + "\\acme-sfx-again.exe";
  ASSERT_EQ(run_tool({"pack", "-q", NSIS_INSTALLER, "-o", packed}), 0u);
  ASSERT_EQ(run_tool({"pack", "-q", NSIS_INSTALLER, "-o", again}), 0u);
  Bytes first, second;
  ASSERT_TRUE(read_file(packed, &first) && read_file(again, &second));
  EXPECT_TRUE(first == second) << "the same inputs give the same bytes";

  for (const char* key : {"ProductName", "CompanyName", "FileDescription", "FileVersion", "ProductVersion"}) {
    EXPECT_EQ(version_string(packed, key), version_string(NSIS_INSTALLER, key)) << key;
    EXPECT_FALSE(version_string(packed, key).empty()) << key;
  }
  const std::vector<Bytes> installer_icons = icon_images(NSIS_INSTALLER, MAKEINTRESOURCEW(103));
  ASSERT_FALSE(installer_icons.empty());
  EXPECT_EQ(icon_images(packed, MAKEINTRESOURCEW(IDI_LAUNCHER)), installer_icons) << "byte for byte";

  DWORD stored = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumW(wide(packed).c_str(), &stored, &computed), CHECKSUM_SUCCESS);
  EXPECT_EQ(stored, computed) << "the checksum covers the whole packed file";
  EXPECT_EQ(run_tool({"verify", "-q", packed}), 0u);

  const std::string record = out + "\\record.txt";
  SetEnvironmentVariableW(L"SFX_NSIS_RECORD", wide(record).c_str());
  const LauncherRun run = run_launcher(packed, "", temp, out);
  SetEnvironmentVariableW(L"SFX_NSIS_RECORD", nullptr);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  for (int i = 0; i < 200 && !file_exists(record); ++i) Sleep(50);
  EXPECT_TRUE(file_exists(record)) << "the installer ran";

  // The launcher wears the installer's name, and never this project's: damaged, its message is
  // captioned with the product's name and names no address.
  first.resize(first.size() - 3);
  ASSERT_TRUE(write_file(packed, first));
  const LauncherRun damaged = run_launcher(packed, "", temp, out);
  ASSERT_TRUE(damaged.finished);
  EXPECT_TRUE(damaged.message_shown);
  EXPECT_EQ(damaged.message_caption, "Acme Tool");
  EXPECT_EQ(damaged.message_text,
            "Unable to load installation data.\nThe installation data in this file is damaged or cut short.");
  HMODULE module = LoadLibraryExW(wide(again).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC dialog = FindResourceW(module, MAKEINTRESOURCEW(IDD_PROGRESS), reinterpret_cast<LPCWSTR>(RT_DIALOG));
  ASSERT_NE(dialog, nullptr);
  // A DIALOG template: style, extended style, item count, position and size, then the menu and
  // class (none: a zero each) and the caption.
  const auto* caption = reinterpret_cast<const wchar_t*>(
      static_cast<const uint8_t*>(LockResource(LoadResource(module, dialog))) + 18 + 2 + 2);
  EXPECT_EQ(utf8(caption), "Acme Tool");
  FreeLibrary(module);
}

}  // namespace
