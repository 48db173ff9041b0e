// The publisher's identity written into the launcher by the tool's engine, read back by the
// system itself: the version API, the string and dialog managers, the icon loader and imagehlp's
// checksum; and the rewritten launcher still unpacks and starts its program.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "launcher_identity.h"
#include "mem.h"
#include "pe_checksum.h"
#include "pe_resources.h"
#include "wine_harness.h"
#include "wine_test_files.h"

namespace {

const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);
const std::string CHILD = windows_path(SFX_CHILD_EXE);


// A one-image .ico: 48x48, 32 bits per pixel, a DIB with its colour rows and its mask.
Bytes icon_file_48() {
  constexpr uint32_t SIDE = 48, COLOUR = SIDE * SIDE * 4, MASK = SIDE * 8, DIB = 40 + COLOUR + MASK;
  Bytes file(6 + 16 + DIB, 0);
  store_le16(&file[2], 1);
  store_le16(&file[4], 1);
  file[6] = SIDE, file[7] = SIDE;
  store_le16(&file[10], 1);
  store_le16(&file[12], 32);
  store_le32(&file[14], DIB);
  store_le32(&file[18], 22);
  uint8_t* dib = &file[22];
  store_le32(dib, 40);
  store_le32(dib + 4, SIDE);
  store_le32(dib + 8, 2 * SIDE);  // colour and mask
  store_le16(dib + 12, 1);
  store_le16(dib + 14, 32);
  for (uint32_t i = 0; i < SIDE * SIDE; ++i) store_le32(dib + 40 + 4 * i, 0xFF2060A0);
  return file;
}

IdentityChoice full_choice() {
  IdentityChoice choice;
  choice.icon = icon_file_48();
  choice.product = "Acme Wörks";
  choice.company = "Acme";
  choice.product_version = "3.1.4.15";
  choice.title = "Acme Wörks Setup";
  choice.failure_title = "Acme Setup Cancelled";
  choice.url = "https://acme.example/support";
  return choice;
}

INT_PTR CALLBACK ignore_messages(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class RewrittenLauncher : public testing::Test {
 protected:
  void SetUp() override {
    const IdentityResult result = apply_identity(file_bytes(LAUNCHER), nullptr, 0, full_choice());
    stub_ = result.stub;
    path_ = scratch_.path() + "\\setup.exe";
    ASSERT_TRUE(write_file(path_, stub_));
  }
  ScratchFolder scratch_{"identity"};
  Bytes stub_;
  std::string path_;
};

TEST_F(RewrittenLauncher, VersionApiReadsTheTextsAndNumbers) {
  const std::wstring path = wide(path_);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  auto text = [&](const wchar_t* key) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueW(info.data(), query.c_str(), &value, &length)) return std::string("(missing)");
    return utf8(std::wstring(static_cast<const wchar_t*>(value)));
  };
  EXPECT_EQ(text(L"ProductName"), "Acme Wörks");
  EXPECT_EQ(text(L"FileDescription"), "Acme Wörks");
  EXPECT_EQ(text(L"CompanyName"), "Acme");
  EXPECT_EQ(text(L"ProductVersion"), "3.1.4.15");
  EXPECT_EQ(text(L"FileVersion"), "3.1.4.15");
  void* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &fixed, &length));
  const auto* numbers = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  EXPECT_EQ(numbers->dwFileVersionMS, 0x00030001u);
  EXPECT_EQ(numbers->dwProductVersionLS, 0x0004000Fu);
}

TEST_F(RewrittenLauncher, StringsDialogAndIconLoad) {
  HMODULE module = LoadLibraryExW(wide(path_).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr);
  wchar_t buffer[256];
  ASSERT_GT(LoadStringW(module, 200, buffer, 256), 0);
  EXPECT_EQ(utf8(buffer), "Acme Setup Cancelled");
  ASSERT_GT(LoadStringW(module, 201, buffer, 256), 0);
  EXPECT_EQ(utf8(buffer), "https://acme.example/support");

  // The dialog manager builds the progress window from the template (hidden: no WS_VISIBLE).
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(5));
  ASSERT_NE(found, nullptr);
  const auto* dialog = static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(module, found)));
  HWND window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialog, nullptr,
                                           ignore_messages, 0);
  ASSERT_NE(window, nullptr);
  ASSERT_GT(GetWindowTextW(window, buffer, 256), 0);
  EXPECT_EQ(utf8(buffer), "Acme Wörks Setup");
  EXPECT_NE(GetDlgItem(window, 1000), nullptr) << "the bar's frame";
  DestroyWindow(window);

  HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(107), IMAGE_ICON, 48, 48, 0));
  ASSERT_NE(icon, nullptr);
  ICONINFO parts{};
  ASSERT_TRUE(GetIconInfo(icon, &parts));
  BITMAP colour{};
  GetObjectW(parts.hbmColor, sizeof colour, &colour);
  EXPECT_EQ(colour.bmWidth, 48);
  DeleteObject(parts.hbmColor);
  DeleteObject(parts.hbmMask);
  DestroyIcon(icon);
  FreeLibrary(module);
}

TEST_F(RewrittenLauncher, ImagehlpChecksumMatchesOnTheStubAndAfterAPayload) {
  DWORD stored = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumW(wide(path_).c_str(), &stored, &computed), CHECKSUM_SUCCESS);
  EXPECT_EQ(stored, computed);

  // The stub and an odd-length payload streamed in uneven chunks, the field patched at the end.
  const PeLayout layout = pe_layout_read(stub_.data(), stub_.size());
  Bytes file = stub_;
  for (uint32_t i = 0; i < 100001; ++i) file.push_back(static_cast<uint8_t>(i * 7 + (i >> 9)));
  PeChecksum checksum(layout.checksum_offset);
  for (size_t at = 0; at < file.size(); at += 4097) checksum.update(file.data() + at, std::min<size_t>(4097, file.size() - at));
  store_le32(&file[layout.checksum_offset], checksum.value());
  const std::string packed = scratch_.path() + "\\packed.exe";
  ASSERT_TRUE(write_file(packed, file));
  ASSERT_EQ(MapFileAndCheckSumW(wide(packed).c_str(), &stored, &computed), CHECKSUM_SUCCESS);
  EXPECT_EQ(computed, checksum.value());
  EXPECT_EQ(stored, computed);
}

TEST(RewrittenLauncherRuns, UnpacksAndStartsItsProgram) {
  ScratchFolder scratch("identity-run");
  IdentityChoice choice = full_choice();
  choice.title.reset();  // the harness knows the progress window by its usual caption
  const Bytes stub = apply_identity(file_bytes(LAUNCHER), nullptr, 0, choice).stub;
  ASSERT_NE(stub, file_bytes(LAUNCHER));
  Bytes packed = stub;
  const Bytes payload = make_payload(file_bytes(CHILD));
  packed.insert(packed.end(), payload.begin(), payload.end());
  const std::string launcher = scratch.make("app") + "\\setup.exe";
  ASSERT_TRUE(write_file(launcher, packed));
  const std::string out = scratch.make("out");
  const LauncherRun run = run_launcher(launcher, "", scratch.make("temp"), out);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_FALSE(run.message_shown) << run.message_text;
  EXPECT_TRUE(wait_for_child(out, 30000)) << "the unpacked program did not run";
}

}  // namespace
