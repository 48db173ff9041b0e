// The class of a compound file's root storage.
#include "compound_file.h"

#include <cstdio>
#include <cstring>

#include "mem.h"

namespace {

constexpr uint8_t SIGNATURE[COMPOUND_SIGNATURE_BYTES] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t HEADER_BYTES = 512;
constexpr size_t ENTRY_BYTES = 128;
constexpr uint32_t LAST_REGULAR_SECTOR = 0xFFFFFFF9;  // higher numbers mark free or chain ends
constexpr uint8_t ROOT_STORAGE = 5;

// Windows Installer's classes differ in their first field alone: 000C1084, 000C1086, 000C1082,
// then 0000-0000-C000-000000000046.
constexpr uint32_t PACKAGE_CLASS = 0x000C1084, PATCH_CLASS = 0x000C1086, TRANSFORM_CLASS = 0x000C1082;
constexpr uint8_t INSTALLER_CLASS_REST[12] = {0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

// A CLSID as it is written: its first three fields stored little-endian, the last eight bytes in
// their order.
std::string clsid_text(const uint8_t* id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(load_le32(id)), static_cast<unsigned>(load_le16(id + 4)),
                static_cast<unsigned>(load_le16(id + 6)), id[8], id[9], id[10], id[11], id[12], id[13], id[14],
                id[15]);
  return text;
}

CompoundInfo unreadable(const std::string& problem) {
  CompoundInfo info;
  info.problem = problem;
  return info;
}

}  // namespace

bool is_compound_file(const uint8_t* head, size_t n) {
  return n >= COMPOUND_SIGNATURE_BYTES && std::memcmp(head, SIGNATURE, COMPOUND_SIGNATURE_BYTES) == 0;
}

CompoundInfo compound_file_class(const ReadAt& read_at) {
  uint8_t header[HEADER_BYTES];
  if (read_at(0, header, sizeof header) < sizeof header) return unreadable("it ends inside its 512-byte header");
  if (!is_compound_file(header, sizeof header)) return unreadable("it lacks the signature");
  if (load_le16(header + 0x1C) != 0xFFFE) return unreadable("its header's byte order mark is not FE FF");
  const uint32_t shift = load_le16(header + 0x1E);
  if (shift != 9 && shift != 12)
    return unreadable("its header gives sectors of 2^" + std::to_string(shift) + " bytes, neither 512 nor 4096");
  const uint32_t first = load_le32(header + 0x30);
  if (first > LAST_REGULAR_SECTOR)
    return unreadable("its header names no directory sector (" + std::to_string(first) + ")");
  const uint64_t at = (uint64_t{first} + 1) << shift;
  uint8_t entry[ENTRY_BYTES];
  if (read_at(at, entry, sizeof entry) < sizeof entry)
    return unreadable("its directory (sector " + std::to_string(first) + ", offset " + std::to_string(at) +
                      ") lies past its end");
  if (entry[0x42] != ROOT_STORAGE)
    return unreadable("the first entry of its directory (offset " + std::to_string(at) + ") is not the root storage");

  CompoundInfo info;
  const uint8_t* id = entry + 0x50;
  info.clsid = clsid_text(id);
  info.kind = CompoundClass::OTHER;
  if (std::memcmp(id + 4, INSTALLER_CLASS_REST, sizeof INSTALLER_CLASS_REST) != 0) return info;
  switch (load_le32(id)) {
    case PACKAGE_CLASS: info.kind = CompoundClass::INSTALLER_PACKAGE; break;
    case PATCH_CLASS: info.kind = CompoundClass::INSTALLER_PATCH; break;
    case TRANSFORM_CLASS: info.kind = CompoundClass::INSTALLER_TRANSFORM; break;
    default: break;
  }
  return info;
}
