#include "pe_image.h"

#include <cstring>

#include "mem.h"

namespace {

constexpr uint32_t COFF_HEADER_BYTES = 20;
constexpr uint32_t SECURITY_DIRECTORY = 4;
constexpr uint32_t IMAGE_FILE_DLL = 0x2000;

}  // namespace

PeImage pe_image_read(const uint8_t* head, uint32_t n) {
  PeImage image{};
  if (n > PE_HEADER_SPAN_BYTES) n = PE_HEADER_SPAN_BYTES;
  if (n < 0x40 || head[0] != 'M' || head[1] != 'Z') return image;
  const uint32_t pe = load_le32(head + 0x3C);
  // The signature and the COFF header, then the optional header's fields up to its directories.
  if (pe > n || n - pe < 4 + COFF_HEADER_BYTES + 2) return image;
  if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) return image;
  const uint8_t* coff = head + pe + 4;
  const uint32_t optional_bytes = load_le16(coff + 16);
  const uint8_t* optional = coff + COFF_HEADER_BYTES;
  const uint32_t optional_at = pe + 4 + COFF_HEADER_BYTES;
  if (optional_bytes > n - optional_at || optional_bytes < 2) return image;

  const uint32_t magic = load_le16(optional);
  uint32_t count_at, directories_at;
  if (magic == 0x10B) {
    count_at = 92;
    directories_at = 96;
  } else if (magic == 0x20B) {
    count_at = 108;
    directories_at = 112;
  } else {
    return image;
  }
  if (optional_bytes < directories_at) return image;
  image.is_pe = true;
  image.is_pe32 = magic == 0x10B;
  image.machine = static_cast<uint16_t>(load_le16(coff));
  image.subsystem = static_cast<uint16_t>(load_le16(optional + 68));
  image.is_dll = (load_le16(coff + 18) & IMAGE_FILE_DLL) != 0;

  const uint32_t directories = load_le32(optional + count_at);
  const uint32_t entry = directories_at + SECURITY_DIRECTORY * 8;
  if (directories > SECURITY_DIRECTORY && entry + 8 <= optional_bytes) {
    // The security directory holds a file offset, not an address in memory.
    const uint32_t offset = load_le32(optional + entry);
    const uint32_t bytes = load_le32(optional + entry + 4);
    if (offset != 0 && bytes != 0) {
      image.has_certificates = true;
      image.certificates_offset = offset;
      image.certificates_bytes = bytes;
    }
  }
  return image;
}

bool is_elf_header(const uint8_t* head, uint32_t n) {
  static const uint8_t ELF_MAGIC[] = {0x7F, 'E', 'L', 'F'};
  return n >= sizeof ELF_MAGIC && std::memcmp(head, ELF_MAGIC, sizeof ELF_MAGIC) == 0;
}
