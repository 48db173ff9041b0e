#include "fuzz_pe_stub.h"

#include <cstdio>

#include "fuzz_target.h"
#include "icon_file.h"
#include "mem.h"
#include "pe_checksum.h"
#include "resource.h"
#include "resource_texts.h"
#include "texts.h"
#include "utf16_text.h"
#include "version_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t FILE_ALIGNMENT = 0x200;
constexpr uint32_t SECTION_ALIGNMENT = 0x1000;
constexpr uint32_t HEADER_BYTES = 0x400;
constexpr uint32_t PE_AT = 0x80;
constexpr uint32_t OPT = PE_AT + 24;
constexpr uint32_t CODE_RVA = SECTION_ALIGNMENT;
constexpr uint32_t RESOURCE_RVA = 2 * SECTION_ALIGNMENT;

uint32_t align_up(size_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

void put16(Bytes* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}
void put32(Bytes* out, uint32_t value) {
  put16(out, static_cast<uint16_t>(value));
  put16(out, static_cast<uint16_t>(value >> 16));
}
void put_text(Bytes* out, const char* text) {
  for (const char16_t unit : ascii_utf16(text)) put16(out, unit);
  put16(out, 0);
}
void pad4(Bytes* out) {
  while (out->size() % 4 != 0) out->push_back(0);
}

// A square icon image as a DIB of bits per pixel: the header (twice the height: colours, then
// the mask), the palette, the colour rows and the mask rows, each row padded to 4 bytes.
IconImage dib_icon(uint32_t side, uint16_t bits) {
  IconImage image;
  image.width = image.height = static_cast<uint8_t>(side);
  image.color_count = static_cast<uint8_t>(bits < 8 ? 1u << bits : 0);
  image.planes = 1;
  image.bit_count = bits;
  Bytes& d = image.data;
  put32(&d, 40);
  put32(&d, side);
  put32(&d, 2 * side);
  put16(&d, 1);
  put16(&d, bits);
  d.resize(40, 0);
  const uint32_t palette = bits <= 8 ? 4u << bits : 0;
  const uint32_t colour_rows = (side * bits + 31) / 32 * 4 * side;
  const uint32_t mask_rows = (side + 31) / 32 * 4 * side;
  for (uint32_t i = 0; i < palette + colour_rows; ++i) d.push_back(static_cast<uint8_t>(i * 37));
  d.resize(d.size() + mask_rows, 0);
  return image;
}

// The progress window as launcher.rc declares it.
Bytes progress_dialog() {
  Bytes d;
  put32(&d, 0x00C008C2);  // WS_CAPTION | DS_MODALFRAME | DS_CENTER | DS_SETFONT | DS_SYSMODAL
  put32(&d, 0);
  put16(&d, 3);
  for (const int v : {0, 0, 179, 58}) put16(&d, static_cast<uint16_t>(v));
  put16(&d, 0);  // no menu
  put16(&d, 0);  // the standard class
  put_text(&d, "Quenderby Corvalin Installation");
  put16(&d, 8);
  put_text(&d, "MS Sans Serif");
  struct Item {
    uint32_t style;
    uint16_t x, y, cx, cy, id, atom;
    const char* text;
  };
  const Item items[] = {{0x50020000, 15, 15, 149, 16, 0xFFFF, 0x0082, "Uncompressing setup file:"},
                        {0x50000007, 5, 1, 169, 52, 0xFFFF, 0x0080, ""},
                        {0x50001007, 15, 34, 148, 7, IDC_PROGRESS_BAR, 0x0082, ""}};
  for (const Item& item : items) {
    pad4(&d);
    put32(&d, item.style);
    put32(&d, 0);
    for (const uint16_t v : {item.x, item.y, item.cx, item.cy, item.id}) put16(&d, v);
    put16(&d, 0xFFFF);
    put16(&d, item.atom);
    put_text(&d, item.text);
    put16(&d, 0);  // no creation data
  }
  return d;
}

ResourceEntry resource(uint16_t type, uint16_t name, Bytes data) {
  ResourceEntry entry;
  entry.type = ResourceName::of_id(type);
  entry.name = ResourceName::of_id(name);
  entry.language = LAUNCHER_LANGUAGE;
  entry.data = std::move(data);
  return entry;
}

}  // namespace

std::vector<uint8_t> fuzz_pe_image(const std::vector<ResourceEntry>& resources, bool pe32) {
  const uint32_t optional_bytes = pe32 ? 224 : 240;
  const uint32_t directories = OPT + (pe32 ? 96 : 112);
  const Bytes section = resources_build(resources, RESOURCE_RVA);
  const uint32_t section_raw = align_up(section.size(), FILE_ALIGNMENT);

  Bytes out(HEADER_BYTES, 0);
  uint8_t* const p = out.data();
  p[0] = 'M', p[1] = 'Z';
  store_le32(p + 0x3C, PE_AT);
  p[PE_AT] = 'P', p[PE_AT + 1] = 'E';
  store_le16(p + PE_AT + 4, pe32 ? 0x14C : 0x8664);
  store_le16(p + PE_AT + 6, 2);
  store_le16(p + PE_AT + 20, static_cast<uint16_t>(optional_bytes));
  store_le16(p + PE_AT + 22, pe32 ? 0x0102 : 0x0022);  // executable; 32-bit words or large addresses
  store_le16(p + OPT, pe32 ? 0x10B : 0x20B);
  store_le32(p + OPT + 4, FILE_ALIGNMENT);   // SizeOfCode
  store_le32(p + OPT + 8, section_raw);      // SizeOfInitializedData
  store_le32(p + OPT + 16, CODE_RVA);        // AddressOfEntryPoint
  store_le32(p + OPT + 20, CODE_RVA);        // BaseOfCode
  if (pe32)
    store_le32(p + OPT + 28, 0x400000);
  else
    store_le64(p + OPT + 24, 0x140000000);
  store_le32(p + OPT + 32, SECTION_ALIGNMENT);
  store_le32(p + OPT + 36, FILE_ALIGNMENT);
  store_le16(p + OPT + 40, 4);  // the oldest Windows it runs on: 4.0
  store_le16(p + OPT + 48, 4);
  store_le32(p + OPT + 56, RESOURCE_RVA + align_up(section.size(), SECTION_ALIGNMENT));
  store_le32(p + OPT + 60, HEADER_BYTES);
  store_le16(p + OPT + 68, 2);  // a GUI program
  store_le32(p + directories - 4, 16);
  store_le32(p + directories + 8 * PE_RESOURCE_DIRECTORY, RESOURCE_RVA);
  store_le32(p + directories + 8 * PE_RESOURCE_DIRECTORY + 4, static_cast<uint32_t>(section.size()));

  struct Section {
    const char* name;
    uint32_t virtual_size, rva, raw_size, characteristics;
  };
  const Section sections[] = {{".text", 1, CODE_RVA, FILE_ALIGNMENT, 0x60000020},
                              {".rsrc", static_cast<uint32_t>(section.size()), RESOURCE_RVA, section_raw, 0x40000040}};
  uint32_t raw_at = HEADER_BYTES;
  for (size_t i = 0; i < 2; ++i) {
    uint8_t* header = p + OPT + optional_bytes + 40 * i;
    for (size_t k = 0; sections[i].name[k] != '\0'; ++k) header[k] = static_cast<uint8_t>(sections[i].name[k]);
    store_le32(header + 8, sections[i].virtual_size);
    store_le32(header + 12, sections[i].rva);
    store_le32(header + 16, sections[i].raw_size);
    store_le32(header + 20, raw_at);
    store_le32(header + 36, sections[i].characteristics);
    raw_at += sections[i].raw_size;
  }
  out.resize(HEADER_BYTES + FILE_ALIGNMENT, 0);
  out[HEADER_BYTES] = 0xC3;  // the code: a return
  out.insert(out.end(), section.begin(), section.end());
  out.resize(raw_at, 0);
  store_le32(out.data() + OPT + 64, pe_checksum(out.data(), out.size(), OPT + 64));
  return out;
}

std::vector<ResourceEntry> fuzz_launcher_resources() {
  std::vector<ResourceEntry> entries;
  const char manifest[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>\n";
  entries.push_back(resource(RT_MANIFEST_ID, 1, Bytes(manifest, manifest + sizeof manifest - 1)));

  const std::vector<IconImage> icons = {dib_icon(16, 4), dib_icon(32, 1)};
  for (uint16_t i = 0; i < icons.size(); ++i) entries.push_back(resource(RT_ICON_ID, i + 1, icons[i].data));
  entries.push_back(resource(RT_GROUP_ICON_ID, IDI_LAUNCHER, icon_group_build(icons, {1, 2})));

  VersionInfo version;
  version_info_set_numbers(&version, {0, 1, 0, 0});
  version_info_set(&version, u"CompanyName", u"Quenderby");
  version_info_set(&version, u"FileDescription", u"Quenderby Corvalin Installation");
  version_info_set(&version, u"FileVersion", u"0.1.0");
  version_info_set(&version, u"ProductName", u"Corvalin self-extracting launcher");
  version_info_set(&version, u"ProductVersion", u"0.1.0");
  entries.push_back(resource(RT_VERSION_ID, LAUNCHER_VERSION_NAME, version_info_build(version)));

  entries.push_back(resource(RT_DIALOG_ID, IDD_PROGRESS, progress_dialog()));

  StringBlock texts;
  texts[string_block_index(IDS_FAILURE_CAPTION)] = ascii_utf16(FAILURE_CAPTION);
  texts[string_block_index(IDS_PUBLISHER_ADDRESS)] = ascii_utf16(DEFAULT_PUBLISHER_ADDRESS);
  entries.push_back(resource(RT_STRING_ID, string_block_name(IDS_FAILURE_CAPTION), string_block_build(texts)));
  return entries;
}

const std::vector<uint8_t>& fuzz_launcher_stub() {
  static const Bytes stub = fuzz_pe_image(fuzz_launcher_resources(), true);
  return stub;
}

LauncherIdentity fuzz_read_back(const std::vector<uint8_t>& launcher) {
  try {
    const PeLayout layout = pe_layout_read(launcher.data(), launcher.size());
    resources_parse(launcher.data(), launcher.size(), layout);
    return read_identity(launcher);
  } catch (const ResourceError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    fuzz_fail("a launcher the engine wrote does not read back");
  }
}
