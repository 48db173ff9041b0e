// The resource formats one at a time: .ico files and icon groups, VS_VERSIONINFO, dialog
// captions, string tables, and UTF-8 to UTF-16.
#include <gtest/gtest.h>

#include "icon_file.h"
#include "identity_test_util.h"
#include "mem.h"
#include "pe_resources.h"
#include "resource_texts.h"
#include "utf16_text.h"
#include "version_info.h"

namespace {

const ResourceEntry* launcher_resource(uint16_t type, uint16_t name) {
  static const std::vector<ResourceEntry> entries = [] {
    const Bytes& stub = built_launcher();
    return stub.empty() ? std::vector<ResourceEntry>{}
                        : resources_parse(stub.data(), stub.size(), pe_layout_read(stub.data(), stub.size()));
  }();
  return resources_pick(entries, ResourceName::of_id(type), ResourceName::of_id(name), 1033);
}

template <typename Function>
std::string refusal(Function function) {
  try {
    function();
  } catch (const ResourceError& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(IconFile, IcotoolFilesReadImageByImage) {
  TempFolder folder;
  if (!make_icons(folder)) GTEST_SKIP() << "needs icotool and ImageMagick";
  for (const char* name : {"plain.ico", "png.ico"}) {
    const Bytes file = read_bytes(folder.file(name));
    const std::vector<IconImage> images = icon_file_parse(file.data(), file.size());
    ASSERT_EQ(images.size(), 2u);
    for (size_t i = 0; i < images.size(); ++i) {
      const uint8_t* entry = file.data() + 6 + 16 * i;
      const Bytes expected(file.begin() + load_le32(entry + 12), file.begin() + load_le32(entry + 12) + load_le32(entry + 8));
      EXPECT_EQ(images[i].data, expected) << name << " image " << i;
    }
  }
  const Bytes png = read_bytes(folder.file("png.ico"));
  const std::vector<IconImage> images = icon_file_parse(png.data(), png.size());
  const IconDescription small = describe_icon_image(images[0]), large = describe_icon_image(images[1]);
  EXPECT_EQ(small.width, 16u);
  EXPECT_FALSE(small.png);
  EXPECT_EQ(large.width, 256u);
  EXPECT_EQ(large.height, 256u);
  EXPECT_EQ(large.bit_count, 32u);
  EXPECT_TRUE(large.png);
}

TEST(IconFile, GroupBytesAndDepthFromTheImage) {
  IconImage dib;  // a directory entry without planes or bit count: they come from the DIB header
  dib.width = 16, dib.height = 16;
  dib.data = Bytes(40, 0);
  store_le32(dib.data.data(), 40);
  store_le16(dib.data.data() + 12, 1);
  store_le16(dib.data.data() + 14, 4);
  IconImage png;
  png.data = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
              0, 0, 1, 0, 0, 0, 1, 0, 8, 6};  // 256x256, 8 bits, RGBA
  const Bytes expected = {
      0, 0, 1, 0, 2, 0,                                 // reserved, type 1 (icon), 2 images
      16, 16, 0, 0, 1, 0, 4, 0, 40, 0, 0, 0, 5, 0,      // 16x16, 1 plane, 4 bits, 40 bytes, id 5
      0, 0, 0, 0, 1, 0, 32, 0, 26, 0, 0, 0, 9, 0,       // 256x256, 1 plane, 32 bits, 26 bytes, id 9
  };
  EXPECT_EQ(icon_group_build({dib, png}, {5, 9}), expected);
  const std::vector<IconGroupEntry> entries = icon_group_parse(expected);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].id, 9);
  EXPECT_EQ(entries[1].bit_count, 32);
}

TEST(IconFile, RefusedFiles) {
  auto ico = [](std::vector<std::array<uint32_t, 2>> images, size_t size, uint16_t type = 1) {
    Bytes file(std::max<size_t>(size, 6 + 16 * images.size()), 0);
    store_le16(&file[2], type);
    store_le16(&file[4], static_cast<uint16_t>(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
      store_le32(&file[6 + 16 * i + 8], images[i][0]);   // bytes
      store_le32(&file[6 + 16 * i + 12], images[i][1]);  // offset
    }
    file.resize(size);
    return file;
  };
  const struct {
    const char* what;
    Bytes file;
    const char* reason;
  } refused[] = {
      {"a PNG file", Bytes{0x89, 'P', 'N', 'G', 0, 0, 0, 0}, "not an icon file"},
      {"a cursor", ico({{10, 22}}, 32, 2), "cursor file"},
      {"no image", ico({}, 6), "holds no image"},
      {"a cut directory", Bytes(ico({{10, 38}, {10, 48}}, 22)), "ends inside its directory"},
      {"an image over the directory", ico({{10, 6}}, 40), "overlaps the icon directory"},
      {"an image past the end", ico({{100, 22}}, 40), "runs past the end of the file"},
      {"an empty image", ico({{0, 22}}, 40), "is empty"},
      {"over a megabyte", ico({{10, 22}}, MAX_ICON_FILE_BYTES + 1), "larger than an icon file may be"},
  };
  for (const auto& t : refused) {
    const std::string reason = refusal([&] { icon_file_parse(t.file.data(), t.file.size()); });
    EXPECT_NE(reason.find(t.reason), std::string::npos) << t.what << ": " << reason;
  }
  EXPECT_NO_THROW(icon_file_parse(ico({{10, 22}}, 32).data(), 32));
}

TEST(IconFile, TheMainGroupIsTheFirstNamedElseTheLowestId) {
  auto group = [](ResourceName name) {
    ResourceEntry e;
    e.type = ResourceName::of_id(RT_GROUP_ICON_ID);
    e.name = std::move(name);
    return e;
  };
  const ResourceName id5 = ResourceName::of_id(5), id3 = ResourceName::of_id(3);
  const ResourceName b = ResourceName::of_text(u"B"), a = ResourceName::of_text(u"A");
  const struct {
    std::vector<ResourceName> groups;  // in directory order
    size_t main;
  } cases[] = {
      {{id5, id3}, 1},
      {{a, b, id3}, 0},
      {{b, a, id3}, 0},  // directory order, not the names' order
      {{id3, b}, 1},
  };
  for (const auto& c : cases) {
    std::vector<ResourceEntry> entries;
    for (const ResourceName& name : c.groups) entries.push_back(group(name));
    entries.insert(entries.begin(), ResourceEntry{});  // a resource of another type
    EXPECT_EQ(main_icon_group(entries), &entries[c.main + 1]);
  }
  EXPECT_EQ(main_icon_group({}), nullptr);
}

TEST(VersionInfo, TheLaunchersReadsAndBuildsBackByteForByte) {
  const ResourceEntry* own = launcher_resource(16, 1);
  if (own == nullptr) GTEST_SKIP() << "the build made no Windows launcher";
  const VersionInfo info = version_info_parse(own->data.data(), own->data.size());
  EXPECT_EQ(info.fixed.file_version_ms, 0x00000001u);  // 0.1
  ASSERT_EQ(info.tables.size(), 1u);
  EXPECT_EQ(info.tables[0].key, u"040904B0");
  ASSERT_NE(version_info_get(info, u"CompanyName"), nullptr);
  EXPECT_EQ(*version_info_get(info, u"CompanyName"), u"Quenderby");
  EXPECT_EQ(info.translations, std::vector<uint32_t>{0x04B00409});
  // windres lays the blocks out as this builder does.
  EXPECT_EQ(version_info_build(info), own->data);
}

TEST(VersionInfo, GoldenBytesAndTheOverrides) {
  VersionInfo info;
  info.has_fixed = false;
  info.tables.push_back({u"040904B0", {{u"A", u"xy"}}});
  // clang-format off
  const Bytes expected = {
      0x76, 0, 0, 0, 0, 0,  'V',0,'S',0,'_',0,'V',0,'E',0,'R',0,'S',0,'I',0,'O',0,'N',0,'_',0,'I',0,'N',0,'F',0,'O',0,0,0,
      0, 0,                                                  // to 4 bytes (no fixed numbers)
      0x4E, 0, 0, 0, 1, 0,  'S',0,'t',0,'r',0,'i',0,'n',0,'g',0,'F',0,'i',0,'l',0,'e',0,'I',0,'n',0,'f',0,'o',0,0,0,
      0x2A, 0, 0, 0, 1, 0,  '0',0,'4',0,'0',0,'9',0,'0',0,'4',0,'B',0,'0',0,0,0,
      0x12, 0, 3, 0, 1, 0,  'A',0,0,0,  0,0,                 // 3 units: "xy" and its zero
      'x',0,'y',0,0,0,                                       // the lengths end here, unpadded
  };
  // clang-format on
  EXPECT_EQ(version_info_build(info), expected);
  const VersionInfo back = version_info_parse(expected.data(), expected.size());
  EXPECT_FALSE(back.has_fixed);
  EXPECT_EQ(*version_info_get(back, u"A"), u"xy");

  version_info_set(&info, u"A", u"z");
  version_info_set(&info, u"B", u"w");
  version_info_set_numbers(&info, {1, 2, 3, 65535});
  const VersionInfo changed = version_info_parse(version_info_build(info).data(), version_info_build(info).size());
  EXPECT_EQ(*version_info_get(changed, u"A"), u"z");
  EXPECT_EQ(*version_info_get(changed, u"B"), u"w");
  EXPECT_EQ(changed.fixed.product_version_ms, 0x00010002u);
  EXPECT_EQ(changed.fixed.file_version_ls, 0x0003FFFFu);
}

TEST(VersionInfo, RefusedResources) {
  VersionInfo info;
  info.tables.push_back({u"040904B0", {{u"CompanyName", u"Q"}}});
  const Bytes good = version_info_build(info);
  auto changed = [&](size_t at, uint16_t value) {
    Bytes bad = good;
    store_le16(&bad[at], value);
    return bad;
  };
  const struct {
    const char* what;
    Bytes data;
    const char* reason;
  } refused[] = {
      {"cut inside the header", Bytes(good.begin(), good.begin() + 4), "cut short"},
      {"a length past the data", changed(0, static_cast<uint16_t>(good.size() + 2)), "does not fit"},
      {"another key", changed(6, 'X'), "not a VS_VERSIONINFO"},
      {"fixed numbers without their signature", changed(40, 0), "lack their signature"},
      {"a key without its zero", Bytes{10, 0, 0, 0, 0, 0, 'V', 0, 'S', 0}, "not terminated"},
  };
  for (const auto& t : refused) {
    const std::string reason = refusal([&] { version_info_parse(t.data.data(), t.data.size()); });
    EXPECT_NE(reason.find(t.reason), std::string::npos) << t.what << ": " << reason;
  }
}

TEST(DialogCaption, ReplacedWithTheItemsKept) {
  const ResourceEntry* dialog = launcher_resource(5, 102);
  if (dialog == nullptr) GTEST_SKIP() << "the build made no Windows launcher";
  const Bytes& old = dialog->data;
  EXPECT_EQ(dialog_caption(old), u"Quenderby Corvalin Installation");
  // Items start at the first 4-byte boundary after the font name "MS Sans Serif".
  auto items_at = [](const Bytes& d) {
    size_t at = 18 + 2 + 2;  // header, no menu, no class
    while (load_le16(&d[at]) != 0) at += 2;
    at += 2 + 2;             // the caption's zero, the point size
    while (load_le16(&d[at]) != 0) at += 2;
    return (at + 2 + 3) & ~size_t{3};
  };
  for (const std::u16string caption : {u"", u"A", u"AB", u"Über Setup", u"0123456789012345678901234567890123456789"}) {
    const Bytes replaced = dialog_with_caption(old, caption);
    EXPECT_EQ(dialog_caption(replaced), caption);
    EXPECT_TRUE(std::equal(old.begin(), old.begin() + 22, replaced.begin()));
    EXPECT_EQ(Bytes(replaced.begin() + static_cast<ptrdiff_t>(items_at(replaced)), replaced.end()),
              Bytes(old.begin() + static_cast<ptrdiff_t>(items_at(old)), old.end()));
  }
  EXPECT_EQ(dialog_with_caption(old, dialog_caption(old)), old);

  Bytes extended = old;
  store_le16(&extended[0], 1);
  store_le16(&extended[2], 0xFFFF);
  EXPECT_NE(refusal([&] { dialog_caption(extended); }).find("DLGTEMPLATEEX"), std::string::npos);
  EXPECT_NE(refusal([&] { dialog_caption(Bytes(old.begin(), old.begin() + 30)); }).find("ends inside its caption"),
            std::string::npos);
}

TEST(StringBlock, BuiltAndReadBack) {
  StringBlock block;
  block[8] = u"Fail";
  block[9] = u"https://x";
  const Bytes bytes = string_block_build(block);
  ASSERT_EQ(bytes.size(), 16 * 2 + 2 * 4 + 2 * 9);
  EXPECT_EQ(load_le16(&bytes[16]), 4);  // strings 0 to 7 are empty: one zero length each
  EXPECT_EQ(load_le16(&bytes[18]), u'F');
  EXPECT_TRUE(string_block_parse(bytes) == block);
  Bytes padded = bytes;
  padded.resize(padded.size() + 2);
  EXPECT_TRUE(string_block_parse(padded) == block);
  EXPECT_NE(refusal([&] { string_block_parse(Bytes(bytes.begin(), bytes.end() - 14)); }).find("string 9 of the string table runs past"),
            std::string::npos);
  EXPECT_NE(refusal([&] { string_block_parse(Bytes(30, 0)); }).find("ends before string 15"), std::string::npos);
  EXPECT_EQ(string_block_name(200), 13);
  EXPECT_EQ(string_block_index(201), 9u);
}

TEST(Utf8, ConvertedOrRefusedWithTheOffset) {
  const struct {
    std::string text;
    std::u16string wide;  // for a valid text
    const char* reason;   // for an invalid one
  } cases[] = {
      {"Setup", u"Setup", nullptr},
      {"\xC3\xBC" "ber", u"\u00FCber", nullptr},
      {"\xE2\x82\xAC", u"\u20AC", nullptr},
      {"\xF0\x9F\x98\x80", u"\U0001F600", nullptr},  // a surrogate pair
      {"a\x80", u"", "at byte 1: a continuation byte without a lead byte"},
      {"\xC0\xAF", u"", "at byte 0: a byte that never occurs"},
      {"\xE0\x80\xAF", u"", "an overlong form"},
      {"\xED\xA0\x80", u"", "a UTF-16 surrogate"},
      {"\xF4\x90\x80\x80", u"", "past U+10FFFF"},
      {"ab\xE2\x82", u"", "at byte 2: the text ends inside a character"},
      {"\xE2(\xAC", u"", "at byte 1: a character cut short"},
  };
  for (const auto& c : cases) {
    std::u16string wide;
    std::string reason;
    const bool ok = utf8_to_utf16(c.text, &wide, &reason);
    if (c.reason == nullptr) {
      EXPECT_TRUE(ok) << reason;
      EXPECT_EQ(wide, c.wide);
      EXPECT_EQ(utf16_to_utf8(wide), c.text);
    } else {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
  }
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xEF\xBF\xBDx");
}

}  // namespace
