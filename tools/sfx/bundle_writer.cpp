// The bundle's tar stream, written as bundle_writer.h says. The name policy and the table of
// names are the core's (name_policy.h): what this writer lets through, the launcher's reader
// takes.
#include "bundle_writer.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "bundle.h"
#include "file_io.h"
#include "name_policy.h"
#include "tool_error.h"
#include "utf16_text.h"

namespace {

constexpr size_t BLOCK = BUNDLE_BLOCK_BYTES;
constexpr size_t USTAR_NAME_BYTES = 100;
constexpr size_t USTAR_PREFIX_BYTES = 155;
// The largest size 11 octal digits hold; a larger one goes in a pax "size" record.
constexpr uint64_t USTAR_MAX_SIZE = 077777777777ull;
// The entry's last component in the pax header's own name is cut to this.
constexpr size_t PAX_NAME_PART_BYTES = 80;

// The ustar header's fields: offsets and widths.
enum : size_t {
  NAME_AT = 0, MODE_AT = 100, UID_AT = 108, GID_AT = 116, SIZE_AT = 124, MTIME_AT = 136,
  CHECKSUM_AT = 148, TYPE_AT = 156, MAGIC_AT = 257, VERSION_AT = 263, DEVMAJOR_AT = 329,
  DEVMINOR_AT = 337, PREFIX_AT = 345,
};

// value in octal, zero-filled to width - 1 digits and a NUL.
void put_octal(uint8_t* header, size_t at, size_t width, uint64_t value) {
  for (size_t i = width - 1; i-- > 0; value >>= 3) header[at + i] = static_cast<uint8_t>('0' + (value & 7));
  header[at + width - 1] = 0;
}

void put_text(uint8_t* header, size_t at, const std::string& text) {
  std::memcpy(header + at, text.data(), text.size());
}

bool is_ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// The name as ASCII for fields that must be: each character past ASCII as one '_'.
std::string ascii_form(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80)
      out += c;
    else if (byte >= 0xC0)  // the first byte of a character; the bytes that continue it are left out
      out += '_';
  }
  return out;
}

// Splits an ASCII name into ustar's prefix and name fields: the longest prefix that fits, ending
// at a '/' (the name keeps at least one byte). False when no split fits.
bool split_ustar(const std::string& full, std::string* prefix, std::string* name) {
  if (full.size() <= USTAR_NAME_BYTES) {
    prefix->clear();
    *name = full;
    return true;
  }
  const size_t last = std::min(USTAR_PREFIX_BYTES, full.size() - 2);
  const size_t slash = full.rfind('/', last);
  if (slash == std::string::npos || full.size() - slash - 1 > USTAR_NAME_BYTES) return false;
  *prefix = full.substr(0, slash);
  *name = full.substr(slash + 1);
  return true;
}

// One 512-byte ustar header with the fixed fields.
void ustar_header(uint8_t header[BLOCK], const std::string& prefix, const std::string& name, unsigned mode,
                  uint64_t size, char type) {
  std::memset(header, 0, BLOCK);
  put_text(header, NAME_AT, name);
  put_octal(header, MODE_AT, 8, mode);
  put_octal(header, UID_AT, 8, 0);
  put_octal(header, GID_AT, 8, 0);
  put_octal(header, SIZE_AT, 12, size);
  put_octal(header, MTIME_AT, 12, 0);
  header[TYPE_AT] = static_cast<uint8_t>(type);
  put_text(header, MAGIC_AT, std::string("ustar\0", 6));
  put_text(header, VERSION_AT, "00");
  put_octal(header, DEVMAJOR_AT, 8, 0);
  put_octal(header, DEVMINOR_AT, 8, 0);
  put_text(header, PREFIX_AT, prefix);
  // The checksum: the header's bytes added with its own field as blanks, written as six octal
  // digits, a NUL and a blank.
  std::memset(header + CHECKSUM_AT, ' ', 8);
  uint32_t sum = 0;
  for (size_t i = 0; i < BLOCK; ++i) sum += header[i];
  put_octal(header, CHECKSUM_AT, 7, sum);
}

// A pax record: "<length> <key>=<value>\n", the length counting itself.
std::string pax_record(const std::string& key, const std::string& value) {
  const size_t rest = 1 + key.size() + 1 + value.size() + 1;
  size_t length = rest + 1;
  while (std::to_string(length).size() + rest != length) length = std::to_string(length).size() + rest;
  return std::to_string(length) + " " + key + "=" + value + "\n";
}

void write_padding(OutputFile& out, uint64_t size) {
  static const uint8_t zeros[BLOCK] = {};
  out.write(zeros, (BLOCK - size % BLOCK) % BLOCK);
}

// The headers of one entry: a pax header when its name or size needs one, then its own.
void write_headers(OutputFile& out, const BundleItem& item) {
  const std::string full = item.directory ? item.name + "/" : item.name;
  const uint64_t size = item.directory ? 0 : item.size;
  std::string prefix, name;
  const bool name_fits = is_ascii(full) && split_ustar(full, &prefix, &name);
  const bool size_fits = size <= USTAR_MAX_SIZE;
  uint8_t header[BLOCK];
  if (!name_fits || !size_fits) {
    std::string records;
    if (!name_fits) records += pax_record("path", full);
    if (!size_fits) records += pax_record("size", std::to_string(size));
    const size_t slash = item.name.rfind('/');
    std::string part = ascii_form(slash == std::string::npos ? item.name : item.name.substr(slash + 1));
    if (part.size() > PAX_NAME_PART_BYTES) part.resize(PAX_NAME_PART_BYTES);
    ustar_header(header, "", "PaxHeader/" + part, 0644, records.size(), 'x');
    out.write(header, BLOCK);
    out.write(reinterpret_cast<const uint8_t*>(records.data()), records.size());
    write_padding(out, records.size());
    if (!name_fits) {
      // The name's ASCII form where it fits, for readers that know no pax header; else its end.
      const std::string ascii = ascii_form(full);
      if (!split_ustar(ascii, &prefix, &name)) {
        prefix.clear();
        name = ascii.substr(ascii.size() - USTAR_NAME_BYTES);
      }
    }
  }
  const unsigned mode = item.directory || item.executable ? 0755 : 0644;
  ustar_header(header, prefix, name, mode, size_fits ? size : 0, item.directory ? '5' : '0');
  out.write(header, BLOCK);
}

// Pre-order with each folder's entries sorted by their names' bytes is the order of the names
// compared byte by byte with '/' taken as lower than any other byte.
bool stream_order(const BundleItem& a, const BundleItem& b) {
  const size_t n = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<uint8_t>(a.name[i]), y = static_cast<uint8_t>(b.name[i]);
    if (x == y) continue;
    if (x == '/') return true;
    if (y == '/') return false;
    return x < y;
  }
  return a.name.size() < b.name.size();
}

}  // namespace

std::string quoted_entry(const std::string& name) {
  std::u16string ignored;
  std::string reason;
  const bool utf8 = utf8_to_utf16(name, &ignored, &reason);
  std::string out = "'";
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
      static const char digits[] = "0123456789abcdef";
      out += "\\x";
      out += digits[byte >> 4];
      out += digits[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "'";
}

void check_bundle_items(std::vector<BundleItem>* items, const std::string& where) {
  std::stable_sort(items->begin(), items->end(), stream_order);
  if (items->size() > BUNDLE_MAX_ENTRIES)
    throw ToolError(SFX_EXIT_USAGE, where,
                    "holds " + std::to_string(items->size()) + " entries; a bundle may hold at most " +
                        std::to_string(BUNDLE_MAX_ENTRIES) + " (files and folders together)");
  std::vector<uint64_t> slots(NAME_TABLE_SLOTS);
  NameTable table;
  name_table_init(&table, slots.data(), NAME_TABLE_SLOTS);
  std::unordered_map<uint64_t, size_t> first_of_key;  // for naming the entry met first
  for (size_t i = 0; i < items->size(); ++i) {
    const BundleItem& item = (*items)[i];
    const auto n = static_cast<uint32_t>(std::min<size_t>(item.name.size(), UINT32_MAX));
    const NameFault fault = name_check(item.name.data(), n);
    if (fault != NAME_OK)
      throw ToolError(SFX_EXIT_USAGE, where,
                      quoted_entry(item.name) + " " + name_fault_text(fault) +
                          "; the launcher takes no such name, so a bundle holds none");
    const size_t slash = item.name.rfind('/');
    if (slash != std::string::npos && !name_table_has_directory(&table, item.name.data(), static_cast<uint32_t>(slash)))
      throw ToolError(SFX_EXIT_USAGE, where, quoted_entry(item.name) + " lies in a folder that is not an entry");
    if (!name_table_add(&table, item.name.data(), n, item.directory)) {
      const auto earlier = first_of_key.find(name_fold(item.name.data(), n));
      const std::string other = earlier == first_of_key.end() ? "an earlier entry" : quoted_entry((*items)[earlier->second].name);
      throw ToolError(SFX_EXIT_USAGE, where,
                      quoted_entry(item.name) + " and " + other +
                          " are one name for Windows, which ignores case; a bundle holds each name once");
    }
    first_of_key.emplace(name_fold(item.name.data(), n), i);
  }
}

BundleLayout write_bundle(std::vector<BundleItem> items, OutputFile& out,
                          const std::function<void(const BundleItem&, OutputFile&)>& copy) {
  BundleLayout layout;
  const uint64_t start = out.bytes_written();
  layout.data_offset.assign(items.size(), 0);
  for (size_t i = 0; i < items.size(); ++i) {
    const BundleItem& item = items[i];
    write_headers(out, item);
    if (item.directory) continue;
    layout.data_offset[i] = out.bytes_written() - start;
    copy(item, out);
    if (out.bytes_written() - start - layout.data_offset[i] != item.size)
      throw ToolError(SFX_EXIT_USAGE, "", "internal error: " + quoted_entry(item.name) + " was not copied whole");
    write_padding(out, item.size);
    ++layout.files;
    layout.file_bytes += item.size;
  }
  static const uint8_t end[2 * BLOCK] = {};
  out.write(end, sizeof end);
  layout.stream_bytes = out.bytes_written() - start;
  layout.items = std::move(items);
  return layout;
}
