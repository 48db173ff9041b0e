// What a compound file is (the OLE2 container, "compound file binary format"): a Windows Installer
// package (.msi), a patch (.msp) and a transform (.mst) are compound files, and so are the Word and
// Excel documents of old, all with the same 8-byte signature. Windows Installer tells them apart
// by the class (a CLSID) of the file's root storage, and so does pack: the root storage is the
// first entry of the directory, whose first sector the header names.
//
//   header (512 bytes): signature D0 CF 11 E0 A1 B1 1A E1 at 0, byte order FE FF at 0x1C, sector
//     shift at 0x1E (9: 512-byte sectors, 12: 4096), the directory's first sector at 0x30
//   sector n: at file offset (n + 1) << shift
//   directory entry (128 bytes): object type at 0x42 (5: the root storage), CLSID at 0x50
//
// Only what leads to the root entry is read, and every read is bounded: any file gives an answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

constexpr size_t COMPOUND_SIGNATURE_BYTES = 8;
// Whether the first n bytes at head start with the compound file signature.
bool is_compound_file(const uint8_t* head, size_t n);

enum class CompoundClass {
  INSTALLER_PACKAGE,    // {000C1084-0000-0000-C000-000000000046}: .msi
  INSTALLER_PATCH,      // {000C1086-0000-0000-C000-000000000046}: .msp
  INSTALLER_TRANSFORM,  // {000C1082-0000-0000-C000-000000000046}: .mst
  OTHER,                // any other class: a document
  UNREADABLE,           // the root entry cannot be reached: a damaged or cut file
};

struct CompoundInfo {
  CompoundClass kind = CompoundClass::UNREADABLE;
  std::string clsid;   // "{00020906-0000-0000-C000-000000000046}" once the root entry is read
  std::string problem; // why it is UNREADABLE
};

// Reads up to n bytes at offset of the file: the count, fewer only at its end.
using ReadAt = std::function<size_t(uint64_t offset, uint8_t* buffer, size_t n)>;

// The class of the compound file that read_at reads (its signature already seen).
CompoundInfo compound_file_class(const ReadAt& read_at);
