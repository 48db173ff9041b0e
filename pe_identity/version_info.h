// Version information (the RT_VERSION resource, VS_VERSIONINFO): the fixed numbers, the tables
// of text values Explorer shows (StringFileInfo) and the translations (VarFileInfo), read from
// a resource and built again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD;
constexpr uint32_t VS_FIXEDFILEINFO_BYTES = 52;
// Each block's length is a 16-bit field.
constexpr uint32_t MAX_VERSION_INFO_BYTES = 0xFFFF;

// VS_FIXEDFILEINFO, without its signature.
struct FixedFileInfo {
  uint32_t struct_version = 0x00010000;
  uint32_t file_version_ms = 0, file_version_ls = 0;
  uint32_t product_version_ms = 0, product_version_ls = 0;
  uint32_t file_flags_mask = 0x3F, file_flags = 0;
  uint32_t file_os = 0x00040004;  // VOS_NT_WINDOWS32
  uint32_t file_type = 1;         // VFT_APP
  uint32_t file_subtype = 0;
  uint32_t file_date_ms = 0, file_date_ls = 0;
};

struct VersionString {
  std::u16string key, value;
};
struct VersionStringTable {
  std::u16string key;  // language and code page in 8 hex digits, "040904B0"
  std::vector<VersionString> strings;
};

struct VersionInfo {
  bool has_fixed = true;
  FixedFileInfo fixed;
  std::vector<VersionStringTable> tables;
  // VarFileInfo's Translation: language in the low word, code page in the high word. None: no
  // VarFileInfo block.
  std::vector<uint32_t> translations;
};

// Reads a VS_VERSIONINFO resource. Blocks other than StringFileInfo and VarFileInfo's
// Translation are left out. Throws ResourceError for a resource whose blocks do not nest within
// their lengths, whose keys are not terminated, or that is not a VS_VERSIONINFO (the 16-bit
// form of old programs included).
VersionInfo version_info_parse(const uint8_t* data, size_t n);

// The resource for info, as resource compilers lay it out: each block's key and value, then its
// children, every one aligned to 4 bytes; a text's value length counts its UTF-16 units and the
// terminating zero. The same info gives the same bytes. Throws ResourceError when a block would
// exceed MAX_VERSION_INFO_BYTES.
std::vector<uint8_t> version_info_build(const VersionInfo& info);

// Sets key to value in every string table, adding the key where it is missing; with no table,
// adds one for U.S. English and Unicode ("040904B0", translation 0x0409, 1200) first.
void version_info_set(VersionInfo* info, const std::u16string& key, const std::u16string& value);
// The value of key in the first table that has it, or nullptr.
const std::u16string* version_info_get(const VersionInfo& info, const std::u16string& key);

// Sets the fixed FileVersion and ProductVersion numbers (and adds the fixed block if missing).
void version_info_set_numbers(VersionInfo* info, const std::array<uint16_t, 4>& version);
