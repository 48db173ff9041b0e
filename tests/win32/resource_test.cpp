// The launcher's resources read back from the built program through the resource API: the
// progress window's template 102 against its table, and icon group 107.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wine_harness.h"

namespace {

const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);

// Reads a DLGTEMPLATE (not the extended form) word by word.
class TemplateReader {
 public:
  TemplateReader(const void* data, DWORD size)
      : at_(static_cast<const uint8_t*>(data)), end_(at_ + size) {}
  bool overrun() const { return overrun_; }
  uint16_t word() {
    if (end_ - at_ < 2) {
      overrun_ = true;
      return 0;
    }
    const uint16_t w = static_cast<uint16_t>(at_[0] | at_[1] << 8);
    at_ += 2;
    return w;
  }
  uint32_t dword() {
    const uint32_t low = word();
    return low | uint32_t{word()} << 16;
  }
  int16_t coordinate() { return static_cast<int16_t>(word()); }
  // A zero-terminated UTF-16 text, ASCII only here.
  std::string text() {
    std::string s;
    for (uint16_t w = word(); w != 0 && !overrun_; w = word()) s += static_cast<char>(w);
    return s;
  }
  // A class or menu field: 0xFFFF and an atom, or a text. Atoms come back as "#<atom>".
  std::string name() {
    const uint16_t first = word();
    if (first == 0xFFFF) return "#" + std::to_string(word());
    std::string s;
    for (uint16_t w = first; w != 0 && !overrun_; w = word()) s += static_cast<char>(w);
    return s;
  }
  void align_dword(const void* base) {
    const auto offset = static_cast<size_t>(at_ - static_cast<const uint8_t*>(base));
    if (offset % 4 != 0) at_ += 4 - offset % 4;
  }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
  bool overrun_ = false;
};

struct Item {
  uint32_t style;
  int16_t x, y, cx, cy;
  uint16_t id;
  std::string window_class;  // "#130" static, "#128" button
  std::string text;
};

// The progress window's controls, as the table gives them.
const std::vector<Item> PROGRESS_ITEMS = {
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 15, 15, 149, 16, 0xFFFF, "#130",
     "Uncompressing setup file:"},
    {WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 5, 1, 169, 52, 0xFFFF, "#128", ""},
    {WS_CHILD | WS_VISIBLE | SS_BLACKFRAME | SS_SUNKEN, 15, 34, 148, 7, 1000, "#130", ""},
};

class LauncherResources : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(LAUNCHER.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << LAUNCHER;
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  // The resource's bytes, or nullptr.
  const void* resource(LPCSTR type, WORD id, DWORD* size) {
    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return nullptr;
    *size = SizeofResource(module_, found);
    return LockResource(LoadResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

TEST_F(LauncherResources, ProgressTemplateMatchesTheTable) {
  DWORD size = 0;
  const void* data = resource(MAKEINTRESOURCEA(5), 102, &size);  // RT_DIALOG
  ASSERT_NE(data, nullptr);
  TemplateReader t(data, size);
  EXPECT_EQ(t.dword(), 0x00C008C2u) << "style";
  EXPECT_EQ(t.dword(), 0u) << "extended style";
  const uint16_t items = t.word();
  EXPECT_EQ(t.coordinate(), 0);
  EXPECT_EQ(t.coordinate(), 0);
  EXPECT_EQ(t.coordinate(), 179);
  EXPECT_EQ(t.coordinate(), 58);
  EXPECT_EQ(t.name(), "") << "menu";
  EXPECT_EQ(t.name(), "") << "class";
  EXPECT_EQ(t.text(), "Quenderby Corvalin Installation");
  EXPECT_EQ(t.word(), 8) << "font size";
  EXPECT_EQ(t.text(), "MS Sans Serif");
  ASSERT_EQ(items, PROGRESS_ITEMS.size());

  for (const Item& want : PROGRESS_ITEMS) {
    SCOPED_TRACE(want.text + " id " + std::to_string(want.id));
    t.align_dword(data);
    EXPECT_EQ(t.dword(), want.style) << "style";
    EXPECT_EQ(t.dword(), 0u) << "extended style";
    EXPECT_EQ(t.coordinate(), want.x);
    EXPECT_EQ(t.coordinate(), want.y);
    EXPECT_EQ(t.coordinate(), want.cx);
    EXPECT_EQ(t.coordinate(), want.cy);
    EXPECT_EQ(t.word(), want.id);
    EXPECT_EQ(t.name(), want.window_class);
    EXPECT_EQ(t.name(), want.text);
    EXPECT_EQ(t.word(), 0) << "creation data";
  }
  EXPECT_FALSE(t.overrun());
}

TEST_F(LauncherResources, IconGroupHoldsBothSizesInBothDepths) {
  DWORD size = 0;
  const auto* group =
      static_cast<const uint8_t*>(resource(MAKEINTRESOURCEA(14), 107, &size));  // RT_GROUP_ICON
  ASSERT_NE(group, nullptr);
  ASSERT_GE(size, 6u);
  const unsigned count = group[4] | group[5] << 8;
  ASSERT_EQ(size, 6 + 14 * count);
  // Each entry: width, height, colours, reserved, planes (2), bit count (2), bytes (4), id (2).
  std::vector<std::string> entries;
  for (unsigned i = 0; i < count; ++i) {
    const uint8_t* e = group + 6 + 14 * i;
    const unsigned bits = e[6] | e[7] << 8;
    entries.push_back(std::to_string(e[0]) + "x" + std::to_string(e[1]) + "x" +
                      std::to_string(bits));
    DWORD image_size = 0;
    EXPECT_NE(resource(MAKEINTRESOURCEA(3), static_cast<WORD>(e[12] | e[13] << 8), &image_size),
              nullptr);  // RT_ICON
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"16x16x4", "16x16x8", "32x32x4", "32x32x8"}));
}

}  // namespace
