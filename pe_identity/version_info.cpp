#include "version_info.h"

#include "mem.h"
#include "pe_resources.h"
#include "utf16_text.h"

namespace {

constexpr uint32_t BLOCK_HEADER_BYTES = 6;  // wLength, wValueLength, wType
constexpr uint16_t TYPE_BINARY = 0, TYPE_TEXT = 1;
constexpr uint32_t DEFAULT_TRANSLATION = 0x04B00409;  // U.S. English, code page 1200 (UTF-16)

uint32_t align4(uint32_t value) { return (value + 3) & ~3u; }

// One block of the resource: where it lies, its key and where its value and children lie.
struct Block {
  uint32_t start, end;  // end: start + wLength
  uint16_t value_length, type;
  std::u16string key;
  uint32_t value_at;    // after the key and its padding
  uint32_t children_at; // after the value and its padding
};

class BlockReader {
 public:
  explicit BlockReader(const uint8_t* data) : data_(data) {}

  // The block at offset, which must lie within [offset, limit).
  Block read(uint32_t offset, uint32_t limit, bool text_value_in_units) const {
    if (limit - offset < BLOCK_HEADER_BYTES) throw ResourceError("a version block is cut short");
    Block block;
    block.start = offset;
    const uint32_t length = load_le16(data_ + offset);
    block.value_length = load_le16(data_ + offset + 2);
    block.type = load_le16(data_ + offset + 4);
    if (length < BLOCK_HEADER_BYTES || length > limit - offset)
      throw ResourceError("a version block of " + std::to_string(length) + " bytes does not fit where it lies");
    block.end = offset + length;
    uint32_t at = offset + BLOCK_HEADER_BYTES;
    for (;; at += 2) {
      if (block.end - at < 2) throw ResourceError("a version block's key is not terminated");
      const uint16_t unit = load_le16(data_ + at);
      if (unit == 0) break;
      block.key += static_cast<char16_t>(unit);
    }
    block.value_at = std::min(align4(at + 2), block.end);
    uint32_t value_bytes = block.value_length;
    if (block.type == TYPE_TEXT && text_value_in_units) value_bytes *= 2;
    // Some writers count a text's bytes rather than its units: the value then ends at the block.
    block.children_at = std::min(align4(block.value_at + std::min(value_bytes, block.end - block.value_at)), block.end);
    return block;
  }

  // The blocks within parent's children area.
  std::vector<Block> children(const Block& parent, bool text_values) const {
    std::vector<Block> blocks;
    for (uint32_t at = parent.children_at; at < parent.end;) {
      // Padding between children; a last child may be followed by a few bytes of it.
      if (parent.end - at < BLOCK_HEADER_BYTES) break;
      const Block block = read(at, parent.end, text_values);
      blocks.push_back(block);
      at = align4(block.end);
    }
    return blocks;
  }

  // A text value: the units from value_at up to a zero or the block's end.
  std::u16string text(const Block& block) const {
    std::u16string value;
    if (block.value_length == 0) return value;
    for (uint32_t at = block.value_at; block.end - at >= 2; at += 2) {
      const uint16_t unit = load_le16(data_ + at);
      if (unit == 0) break;
      value += static_cast<char16_t>(unit);
    }
    return value;
  }

  const uint8_t* at(uint32_t offset) const { return data_ + offset; }

 private:
  const uint8_t* data_;
};

// Builds one block: header, key, value, children.
class BlockWriter {
 public:
  // Opens a block at the current end (aligned), returning its start.
  size_t open(const std::u16string& key, uint16_t type, uint16_t value_length) {
    pad();
    const size_t start = out_.size();
    put16(0);  // wLength, filled in by close
    put16(value_length);
    put16(type);
    for (char16_t unit : key) put16(unit);
    put16(0);
    pad();
    return start;
  }
  void text_value(const std::u16string& value) {
    for (char16_t unit : value) put16(unit);
    put16(0);
  }
  void put32(uint32_t value) {
    uint8_t bytes[4];
    store_le32(bytes, value);
    out_.insert(out_.end(), bytes, bytes + 4);
  }
  void close(size_t start) {
    const size_t length = out_.size() - start;
    if (length > MAX_VERSION_INFO_BYTES)
      throw ResourceError("the version information would take " + std::to_string(length) +
                          " bytes, more than a version block may hold");
    store_le16(out_.data() + start, static_cast<uint16_t>(length));
  }
  void pad() {
    while (out_.size() % 4 != 0) out_.push_back(0);
  }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  void put16(uint16_t value) {
    uint8_t bytes[2];
    store_le16(bytes, value);
    out_.insert(out_.end(), bytes, bytes + 2);
  }
  std::vector<uint8_t> out_;
};

void fixed_values(const FixedFileInfo& f, uint32_t* values) {
  const uint32_t all[13] = {VS_FIXEDFILEINFO_SIGNATURE, f.struct_version, f.file_version_ms, f.file_version_ls,
                            f.product_version_ms, f.product_version_ls, f.file_flags_mask, f.file_flags,
                            f.file_os, f.file_type, f.file_subtype, f.file_date_ms, f.file_date_ls};
  std::copy(all, all + 13, values);
}

}  // namespace

VersionInfo version_info_parse(const uint8_t* data, size_t n) {
  if (n > MAX_VERSION_INFO_BYTES + 3) throw ResourceError("version information larger than a version block may be");
  const BlockReader reader(data);
  const Block root = reader.read(0, static_cast<uint32_t>(n), false);
  if (root.key != ascii_utf16("VS_VERSION_INFO")) throw ResourceError("not a VS_VERSIONINFO (its key is not VS_VERSION_INFO)");
  VersionInfo info;
  info.has_fixed = root.value_length != 0;
  if (info.has_fixed) {
    if (root.value_length < VS_FIXEDFILEINFO_BYTES || root.end - root.value_at < VS_FIXEDFILEINFO_BYTES)
      throw ResourceError("the fixed version numbers are cut short");
    const uint8_t* f = reader.at(root.value_at);
    if (load_le32(f) != VS_FIXEDFILEINFO_SIGNATURE) throw ResourceError("the fixed version numbers lack their signature");
    uint32_t* fields[12] = {&info.fixed.struct_version, &info.fixed.file_version_ms, &info.fixed.file_version_ls,
                            &info.fixed.product_version_ms, &info.fixed.product_version_ls,
                            &info.fixed.file_flags_mask, &info.fixed.file_flags, &info.fixed.file_os,
                            &info.fixed.file_type, &info.fixed.file_subtype, &info.fixed.file_date_ms,
                            &info.fixed.file_date_ls};
    for (uint32_t i = 0; i < 12; ++i) *fields[i] = load_le32(f + 4 + 4 * i);
  }
  for (const Block& child : reader.children(root, true)) {
    if (child.key == ascii_utf16("StringFileInfo")) {
      for (const Block& table : reader.children(child, true)) {
        VersionStringTable out{table.key, {}};
        for (const Block& string : reader.children(table, true)) out.strings.push_back({string.key, reader.text(string)});
        info.tables.push_back(std::move(out));
      }
    } else if (child.key == ascii_utf16("VarFileInfo")) {
      for (const Block& var : reader.children(child, true)) {
        if (var.key != ascii_utf16("Translation")) continue;
        const uint32_t bytes = std::min<uint32_t>(var.value_length, var.end - var.value_at);
        for (uint32_t i = 0; i + 4 <= bytes; i += 4) info.translations.push_back(load_le32(reader.at(var.value_at + i)));
      }
    }
  }
  return info;
}

std::vector<uint8_t> version_info_build(const VersionInfo& info) {
  BlockWriter w;
  const size_t root = w.open(ascii_utf16("VS_VERSION_INFO"), TYPE_BINARY,
                             static_cast<uint16_t>(info.has_fixed ? VS_FIXEDFILEINFO_BYTES : 0));
  if (info.has_fixed) {
    uint32_t values[13];
    fixed_values(info.fixed, values);
    for (uint32_t value : values) w.put32(value);
  }
  if (!info.tables.empty()) {
    const size_t file_info = w.open(ascii_utf16("StringFileInfo"), TYPE_TEXT, 0);
    for (const VersionStringTable& table : info.tables) {
      const size_t table_at = w.open(table.key, TYPE_TEXT, 0);
      for (const VersionString& string : table.strings) {
        if (string.value.size() >= MAX_VERSION_INFO_BYTES / 2)
          throw ResourceError("a version text longer than a version block may hold");
        const size_t string_at = w.open(string.key, TYPE_TEXT, static_cast<uint16_t>(string.value.size() + 1));
        w.text_value(string.value);
        w.close(string_at);
      }
      w.close(table_at);
    }
    w.close(file_info);
  }
  if (!info.translations.empty()) {
    const size_t var_info = w.open(ascii_utf16("VarFileInfo"), TYPE_TEXT, 0);
    if (info.translations.size() * 4 > MAX_VERSION_INFO_BYTES) throw ResourceError("too many translations");
    const size_t var = w.open(ascii_utf16("Translation"), TYPE_BINARY, static_cast<uint16_t>(info.translations.size() * 4));
    for (uint32_t translation : info.translations) w.put32(translation);
    w.close(var);
    w.close(var_info);
  }
  w.close(root);
  return w.take();
}

void version_info_set(VersionInfo* info, const std::u16string& key, const std::u16string& value) {
  if (info->tables.empty()) {
    info->tables.push_back(VersionStringTable{ascii_utf16("040904B0"), {}});
    if (info->translations.empty()) info->translations.push_back(DEFAULT_TRANSLATION);
  }
  for (VersionStringTable& table : info->tables) {
    bool found = false;
    for (VersionString& string : table.strings)
      if (string.key == key) string.value = value, found = true;
    if (!found) table.strings.push_back({key, value});
  }
}

const std::u16string* version_info_get(const VersionInfo& info, const std::u16string& key) {
  for (const VersionStringTable& table : info.tables)
    for (const VersionString& string : table.strings)
      if (string.key == key) return &string.value;
  return nullptr;
}

void version_info_set_numbers(VersionInfo* info, const std::array<uint16_t, 4>& v) {
  info->has_fixed = true;
  const uint32_t ms = uint32_t{v[0]} << 16 | v[1];
  const uint32_t ls = uint32_t{v[2]} << 16 | v[3];
  info->fixed.file_version_ms = info->fixed.product_version_ms = ms;
  info->fixed.file_version_ls = info->fixed.product_version_ls = ls;
}
