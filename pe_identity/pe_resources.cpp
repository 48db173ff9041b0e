#include "pe_resources.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "mem.h"
#include "pe_checksum.h"
#include "utf16_text.h"

namespace {

constexpr uint32_t COFF_HEADER_BYTES = 20;
constexpr uint32_t SECTION_HEADER_BYTES = 40;
constexpr uint32_t CERTIFICATE_DIRECTORY = 4;
constexpr uint32_t SCN_CNT_INITIALIZED_DATA = 0x40;
constexpr uint32_t DIRECTORY_TABLE_BYTES = 16;
constexpr uint32_t DIRECTORY_ENTRY_BYTES = 8;
constexpr uint32_t DATA_ENTRY_BYTES = 16;
constexpr uint32_t HIGH_BIT = 0x80000000u;

// Offsets in the optional header, the same in PE32 and PE32+.
constexpr uint32_t OPT_SIZE_OF_INITIALIZED_DATA = 8;
constexpr uint32_t OPT_SECTION_ALIGNMENT = 32;
constexpr uint32_t OPT_FILE_ALIGNMENT = 36;
constexpr uint32_t OPT_SIZE_OF_IMAGE = 56;
constexpr uint32_t OPT_CHECKSUM = 64;

std::string hex(uint64_t value) {
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), DIGITS[value % 16]);
    value /= 16;
  } while (value != 0);
  return "0x" + text;
}

uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

bool is_power_of_two(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// How many bytes of the section the file holds at its address: what lies in memory beyond its
// raw data is zeros the loader supplies, and what lies beyond the end of the file is missing.
uint64_t section_extent(const PeSection& section, size_t file_bytes) {
  uint64_t extent = section.raw_size;
  if (section.virtual_size != 0) extent = std::min<uint64_t>(extent, section.virtual_size);
  if (section.raw_offset >= file_bytes) return 0;
  return std::min<uint64_t>(extent, file_bytes - section.raw_offset);
}

std::string describe(const ResourceName& name) {
  return name.is_id ? std::to_string(name.id) : "\"" + utf16_to_utf8(name.text) + "\"";
}

// Reads one resource tree, refusing anything that does not fit or repeats.
class TreeReader {
 public:
  TreeReader(const uint8_t* image, const PeLayout& layout, const uint8_t* root, uint32_t span)
      : image_(image), layout_(layout), root_(root), span_(span) {}

  void directory(uint32_t offset, int level, const ResourceName& type, const ResourceName& name) {
    if (!visited_.insert(offset).second)
      throw ResourceError("the resource directory at offset " + hex(offset) + " is reached twice (a loop)");
    if (offset > span_ || span_ - offset < DIRECTORY_TABLE_BYTES)
      throw ResourceError("a resource directory at offset " + hex(offset) + " lies outside the section");
    const uint8_t* table = root_ + offset;
    const uint32_t count = uint32_t{load_le16(table + 12)} + load_le16(table + 14);
    if ((span_ - offset - DIRECTORY_TABLE_BYTES) / DIRECTORY_ENTRY_BYTES < count)
      throw ResourceError("the resource directory at offset " + hex(offset) + " lists " + std::to_string(count) +
                          " entries, more than the section holds");
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* entry = table + DIRECTORY_TABLE_BYTES + DIRECTORY_ENTRY_BYTES * i;
      const ResourceName key = entry_name(load_le32(entry));
      const uint32_t target = load_le32(entry + 4);
      if (level < 2) {
        if ((target & HIGH_BIT) == 0)
          throw ResourceError("resource directory entry " + describe(key) + " at offset " + hex(offset) +
                              " names data where a subdirectory belongs");
        if (level == 0)
          directory(target & ~HIGH_BIT, 1, key, ResourceName{});
        else
          directory(target & ~HIGH_BIT, 2, type, key);
      } else {
        if ((target & HIGH_BIT) != 0)
          throw ResourceError("resource " + describe(type) + "/" + describe(name) +
                              " has a subdirectory where its languages' data belong");
        if (!key.is_id)
          throw ResourceError("resource " + describe(type) + "/" + describe(name) + " names a language by text");
        data_entry(target, type, name, key.id);
      }
    }
  }

  std::vector<ResourceEntry> take() { return std::move(entries_); }

 private:
  ResourceName entry_name(uint32_t field) const {
    if ((field & HIGH_BIT) == 0) {
      if (field > 0xFFFF) throw ResourceError("a resource id past 65535 (" + hex(field) + ")");
      return ResourceName::of_id(static_cast<uint16_t>(field));
    }
    const uint32_t offset = field & ~HIGH_BIT;
    if (offset > span_ || span_ - offset < 2)
      throw ResourceError("a resource name at offset " + hex(offset) + " lies outside the section");
    const uint32_t length = load_le16(root_ + offset);
    if ((span_ - offset - 2) / 2 < length)
      throw ResourceError("the resource name at offset " + hex(offset) + " runs past the section");
    std::u16string text(length, u'\0');
    for (uint32_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(load_le16(root_ + offset + 2 + 2 * i));
    return ResourceName::of_text(std::move(text));
  }

  void data_entry(uint32_t offset, const ResourceName& type, const ResourceName& name, uint16_t language) {
    const std::string what = "resource " + describe(type) + "/" + describe(name) + "/" + std::to_string(language);
    if (offset > span_ || span_ - offset < DATA_ENTRY_BYTES)
      throw ResourceError("the data entry of " + what + " lies outside the section");
    if (entries_.size() >= MAX_RESOURCE_ENTRIES)
      throw ResourceError("the resource tree holds more than " + std::to_string(MAX_RESOURCE_ENTRIES) + " entries");
    const uint8_t* entry = root_ + offset;
    const uint32_t rva = load_le32(entry);
    const uint32_t bytes = load_le32(entry + 4);
    data_bytes_ += bytes;
    if (data_bytes_ > MAX_RESOURCE_DATA_BYTES)
      throw ResourceError("the resources' data add up to more than " + std::to_string(MAX_RESOURCE_DATA_BYTES) +
                          " bytes");
    ResourceEntry out;
    out.type = type;
    out.name = name;
    out.language = language;
    out.code_page = load_le32(entry + 8);
    if (bytes != 0) {
      const PeSection* section = pe_section_holding(layout_, rva, bytes);
      if (section == nullptr)
        throw ResourceError("the data of " + what + " (" + std::to_string(bytes) + " bytes at address " + hex(rva) +
                            ") lies outside the image's sections");
      const uint8_t* at = image_ + section->raw_offset + (rva - section->virtual_address);
      out.data.assign(at, at + bytes);
    }
    entries_.push_back(std::move(out));
  }

  const uint8_t* image_;
  const PeLayout& layout_;
  const uint8_t* root_;
  uint32_t span_;
  std::set<uint32_t> visited_;
  uint64_t data_bytes_ = 0;
  std::vector<ResourceEntry> entries_;
};

bool same_key(const ResourceEntry& a, const ResourceEntry& b) {
  return a.type == b.type && a.name == b.name && a.language == b.language;
}

bool entry_less(const ResourceEntry& a, const ResourceEntry& b) {
  if (a.type != b.type) return a.type < b.type;
  if (a.name != b.name) return a.name < b.name;
  return a.language < b.language;
}

}  // namespace

// ---- the headers ---------------------------------------------------------------------------------

PeLayout pe_layout_read(const uint8_t* image, size_t n) {
  if (n < 0x40 || image[0] != 'M' || image[1] != 'Z') throw ResourceError("not a Windows program (no MZ header)");
  const uint64_t pe = load_le32(image + 0x3C);
  if (pe + 4 + COFF_HEADER_BYTES > n || image[pe] != 'P' || image[pe + 1] != 'E' || image[pe + 2] != 0 ||
      image[pe + 3] != 0)
    throw ResourceError("not a Windows program (no PE header)");
  const uint8_t* coff = image + pe + 4;
  const uint32_t section_count = load_le16(coff + 2);
  const uint32_t optional_bytes = load_le16(coff + 16);
  const uint64_t optional = pe + 4 + COFF_HEADER_BYTES;
  if (optional + optional_bytes > n || optional_bytes < 2)
    throw ResourceError("the optional header runs past the end of the file");

  PeLayout layout{};
  layout.file_bytes = n;
  const uint32_t magic = load_le16(image + optional);
  uint32_t count_at, directories_at;
  if (magic == 0x10B) {
    layout.is_pe32 = true, count_at = 92, directories_at = 96;
  } else if (magic == 0x20B) {
    layout.is_pe32 = false, count_at = 108, directories_at = 112;
  } else {
    throw ResourceError("the optional header is neither PE32 nor PE32+ (magic " + hex(magic) + ")");
  }
  if (optional_bytes < directories_at) throw ResourceError("the optional header is cut short");
  const uint8_t* opt = image + optional;
  layout.optional_offset = static_cast<uint32_t>(optional);
  layout.checksum_offset = static_cast<uint32_t>(optional + OPT_CHECKSUM);
  layout.section_alignment = load_le32(opt + OPT_SECTION_ALIGNMENT);
  layout.file_alignment = load_le32(opt + OPT_FILE_ALIGNMENT);
  layout.directories_offset = static_cast<uint32_t>(optional + directories_at);
  layout.directory_count =
      std::min<uint32_t>(load_le32(opt + count_at), (optional_bytes - directories_at) / DIRECTORY_ENTRY_BYTES);
  if (layout.directory_count > PE_RESOURCE_DIRECTORY) {
    const uint8_t* entry = image + layout.directories_offset + DIRECTORY_ENTRY_BYTES * PE_RESOURCE_DIRECTORY;
    layout.resource_rva = load_le32(entry);
    layout.resource_size = load_le32(entry + 4);
  }

  if (section_count > PE_MAX_SECTIONS)
    throw ResourceError("the section table lists " + std::to_string(section_count) + " sections, more than " +
                        std::to_string(PE_MAX_SECTIONS));
  const uint64_t table = optional + optional_bytes;
  if (table + uint64_t{SECTION_HEADER_BYTES} * section_count > n)
    throw ResourceError("the section table runs past the end of the file");
  for (uint32_t i = 0; i < section_count; ++i) {
    const uint8_t* header = image + table + SECTION_HEADER_BYTES * i;
    PeSection section;
    section.name.assign(reinterpret_cast<const char*>(header),
                        strnlen(reinterpret_cast<const char*>(header), 8));
    section.header_offset = static_cast<uint32_t>(table + SECTION_HEADER_BYTES * i);
    section.virtual_size = load_le32(header + 8);
    section.virtual_address = load_le32(header + 12);
    section.raw_size = load_le32(header + 16);
    section.raw_offset = load_le32(header + 20);
    section.characteristics = load_le32(header + 36);
    layout.sections.push_back(std::move(section));
  }
  return layout;
}

const PeSection* pe_section_holding(const PeLayout& layout, uint32_t rva, uint32_t bytes) {
  for (const PeSection& section : layout.sections) {
    if (rva < section.virtual_address) continue;
    const uint64_t at = rva - section.virtual_address;
    if (at + bytes <= section_extent(section, layout.file_bytes)) return &section;
  }
  return nullptr;
}

// ---- the resource model --------------------------------------------------------------------------

ResourceName ResourceName::of_id(uint16_t value) {
  ResourceName name;
  name.id = value;
  return name;
}

ResourceName ResourceName::of_text(std::u16string value) {
  ResourceName name;
  name.is_id = false;
  name.text = std::move(value);
  return name;
}

bool operator==(const ResourceName& a, const ResourceName& b) {
  return a.is_id == b.is_id && (a.is_id ? a.id == b.id : a.text == b.text);
}
bool operator!=(const ResourceName& a, const ResourceName& b) { return !(a == b); }
bool operator<(const ResourceName& a, const ResourceName& b) {
  if (a.is_id != b.is_id) return !a.is_id;
  return a.is_id ? a.id < b.id : a.text < b.text;
}

bool operator==(const ResourceEntry& a, const ResourceEntry& b) {
  return same_key(a, b) && a.code_page == b.code_page && a.data == b.data;
}

std::vector<ResourceEntry> resources_parse(const uint8_t* image, size_t n, const PeLayout& layout) {
  if (layout.resource_rva == 0 && layout.resource_size == 0) return {};
  const PeSection* section = pe_section_holding(layout, layout.resource_rva, DIRECTORY_TABLE_BYTES);
  if (section == nullptr)
    throw ResourceError("the resource directory (address " + hex(layout.resource_rva) +
                        ") lies outside the image's sections");
  const uint64_t at = layout.resource_rva - section->virtual_address;
  const uint64_t extent = section_extent(*section, n);
  if (at + DIRECTORY_TABLE_BYTES > extent) throw ResourceError("the resource section is cut short by the end of the file");
  // The tree's own offsets count from its root and stay within the section's data.
  TreeReader reader(image, layout, image + section->raw_offset + at, static_cast<uint32_t>(extent - at));
  reader.directory(0, 0, ResourceName{}, ResourceName{});
  return reader.take();
}

std::vector<const ResourceEntry*> resources_find(const std::vector<ResourceEntry>& entries,
                                                 const ResourceName& type, const ResourceName& name) {
  std::vector<const ResourceEntry*> found;
  for (const ResourceEntry& entry : entries)
    if (entry.type == type && entry.name == name) found.push_back(&entry);
  return found;
}

const ResourceEntry* resources_pick(const std::vector<ResourceEntry>& entries, const ResourceName& type,
                                    const ResourceName& name, uint16_t language) {
  const std::vector<const ResourceEntry*> found = resources_find(entries, type, name);
  for (const ResourceEntry* entry : found)
    if (entry->language == language) return entry;
  return found.empty() ? nullptr : found.front();
}

void resources_remove(std::vector<ResourceEntry>* entries, const ResourceName& type, const ResourceName& name) {
  entries->erase(std::remove_if(entries->begin(), entries->end(),
                                [&](const ResourceEntry& entry) { return entry.type == type && entry.name == name; }),
                 entries->end());
}

void resources_put(std::vector<ResourceEntry>* entries, const ResourceName& type, const ResourceName& name,
                   uint16_t language, std::vector<uint8_t> data) {
  resources_remove(entries, type, name);
  ResourceEntry entry;
  entry.type = type;
  entry.name = name;
  entry.language = language;
  entry.data = std::move(data);
  entries->push_back(std::move(entry));
}

std::vector<ResourceEntry> resources_sorted(std::vector<ResourceEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(), entry_less);
  return entries;
}

// ---- building a section ------------------------------------------------------------------------

std::vector<uint8_t> resources_build(const std::vector<ResourceEntry>& unsorted, uint32_t section_rva) {
  const std::vector<ResourceEntry> entries = resources_sorted(unsorted);
  for (size_t i = 1; i < entries.size(); ++i)
    if (same_key(entries[i - 1], entries[i]))
      throw ResourceError("two resources " + describe(entries[i].type) + "/" + describe(entries[i].name) + "/" +
                          std::to_string(entries[i].language));

  // The tree: per type its names, per name the entries (one per language).
  struct Name {
    size_t first, count;  // in entries
  };
  struct Type {
    std::vector<Name> names;
  };
  std::vector<Type> types;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || entries[i].type != entries[i - 1].type) types.push_back(Type{});
    std::vector<Name>& names = types.back().names;
    if (names.empty() || entries[i].name != entries[names.back().first].name)
      names.push_back(Name{i, 0});
    ++names.back().count;
  }

  // Where everything goes.
  uint64_t size = DIRECTORY_TABLE_BYTES + uint64_t{DIRECTORY_ENTRY_BYTES} * types.size();
  std::vector<uint64_t> type_tables, name_tables;
  for (const Type& type : types) {
    type_tables.push_back(size);
    size += DIRECTORY_TABLE_BYTES + uint64_t{DIRECTORY_ENTRY_BYTES} * type.names.size();
  }
  for (const Type& type : types)
    for (const Name& name : type.names) {
      name_tables.push_back(size);
      size += DIRECTORY_TABLE_BYTES + uint64_t{DIRECTORY_ENTRY_BYTES} * name.count;
    }
  std::vector<uint64_t> type_strings, name_strings;  // offsets of the texts, in the order of the tables
  for (const Type& type : types) {
    const ResourceName& key = entries[type.names.front().first].type;
    type_strings.push_back(key.is_id ? 0 : size);
    if (!key.is_id) size += 2 + 2 * uint64_t{key.text.size()};
  }
  for (const Type& type : types)
    for (const Name& name : type.names) {
      const ResourceName& key = entries[name.first].name;
      name_strings.push_back(key.is_id ? 0 : size);
      if (!key.is_id) size += 2 + 2 * uint64_t{key.text.size()};
    }
  size = align_up(size, RESOURCE_DATA_ALIGNMENT);
  const uint64_t data_entries = size;
  size += uint64_t{DATA_ENTRY_BYTES} * entries.size();
  std::vector<uint64_t> data_offsets;
  for (const ResourceEntry& entry : entries) {
    size = align_up(size, RESOURCE_DATA_ALIGNMENT);
    data_offsets.push_back(size);
    size += entry.data.size();
  }
  size = align_up(size, RESOURCE_DATA_ALIGNMENT);
  if (size > MAX_RESOURCE_SECTION_BYTES || size > uint64_t{UINT32_MAX} - section_rva)
    throw ResourceError("the resources would take " + std::to_string(size) + " bytes, more than a section may hold");

  std::vector<uint8_t> out(static_cast<size_t>(size), 0);
  uint8_t* const base = out.data();
  auto table_header = [&](uint64_t at, size_t named, size_t ids) {
    store_le16(base + at + 12, static_cast<uint16_t>(named));
    store_le16(base + at + 14, static_cast<uint16_t>(ids));
  };
  auto name_field = [](const ResourceName& key, uint64_t string_at) {
    return key.is_id ? uint32_t{key.id} : HIGH_BIT | static_cast<uint32_t>(string_at);
  };
  auto put_string = [&](const ResourceName& key, uint64_t at) {
    if (key.is_id) return;
    store_le16(base + at, static_cast<uint16_t>(key.text.size()));
    for (size_t i = 0; i < key.text.size(); ++i) store_le16(base + at + 2 + 2 * i, key.text[i]);
  };
  // A table's entries are in directory order already: texts first, then ids ascending.
  auto named_count = [](const std::vector<ResourceName>& keys) {
    return static_cast<size_t>(std::count_if(keys.begin(), keys.end(), [](const ResourceName& k) { return !k.is_id; }));
  };
  for (const ResourceEntry& entry : entries)
    if (entry.name.is_id == false && entry.name.text.size() > 0xFFFF)
      throw ResourceError("a resource name longer than 65,535 characters");

  std::vector<ResourceName> keys;
  for (const Type& type : types) keys.push_back(entries[type.names.front().first].type);
  table_header(0, named_count(keys), keys.size() - named_count(keys));
  size_t name_index = 0;
  for (size_t t = 0; t < types.size(); ++t) {
    uint8_t* entry = base + DIRECTORY_TABLE_BYTES + DIRECTORY_ENTRY_BYTES * t;
    store_le32(entry, name_field(keys[t], type_strings[t]));
    store_le32(entry + 4, HIGH_BIT | static_cast<uint32_t>(type_tables[t]));
    put_string(keys[t], type_strings[t]);

    std::vector<ResourceName> names;
    for (const Name& name : types[t].names) names.push_back(entries[name.first].name);
    table_header(type_tables[t], named_count(names), names.size() - named_count(names));
    for (size_t k = 0; k < names.size(); ++k, ++name_index) {
      uint8_t* name_entry = base + type_tables[t] + DIRECTORY_TABLE_BYTES + DIRECTORY_ENTRY_BYTES * k;
      store_le32(name_entry, name_field(names[k], name_strings[name_index]));
      store_le32(name_entry + 4, HIGH_BIT | static_cast<uint32_t>(name_tables[name_index]));
      put_string(names[k], name_strings[name_index]);

      const Name& name = types[t].names[k];
      table_header(name_tables[name_index], 0, name.count);
      for (size_t l = 0; l < name.count; ++l) {
        const size_t e = name.first + l;
        uint8_t* language_entry = base + name_tables[name_index] + DIRECTORY_TABLE_BYTES + DIRECTORY_ENTRY_BYTES * l;
        store_le32(language_entry, entries[e].language);
        store_le32(language_entry + 4, static_cast<uint32_t>(data_entries + DATA_ENTRY_BYTES * e));
      }
    }
  }
  for (size_t e = 0; e < entries.size(); ++e) {
    uint8_t* data_entry = base + data_entries + DATA_ENTRY_BYTES * e;
    store_le32(data_entry, section_rva + static_cast<uint32_t>(data_offsets[e]));
    store_le32(data_entry + 4, static_cast<uint32_t>(entries[e].data.size()));
    store_le32(data_entry + 8, entries[e].code_page);
    if (!entries[e].data.empty())
      std::copy(entries[e].data.begin(), entries[e].data.end(), out.begin() + static_cast<ptrdiff_t>(data_offsets[e]));
  }
  return out;
}

// ---- replacing the section -----------------------------------------------------------------------

const PeSection& pe_rebuildable_resource_section(const uint8_t* image, size_t n, const PeLayout& layout) {
  if (layout.resource_rva == 0) throw ResourceError("the program has no resource section");
  const PeSection* holder = nullptr;
  for (const PeSection& section : layout.sections) {
    const uint64_t span = std::max(section.virtual_size, section.raw_size);
    if (layout.resource_rva >= section.virtual_address && layout.resource_rva - section.virtual_address < span)
      holder = &section;
  }
  if (holder == nullptr) throw ResourceError("the program's resource directory lies in none of its sections");
  if (holder->virtual_address != layout.resource_rva)
    throw ResourceError("the program's resources do not start their section (" + holder->name + ")");
  // The headers are kept and the section written again after them, so its data must follow them:
  // headers lying in it would be overwritten, or written past the end of the rebuilt file.
  const uint64_t headers_end = uint64_t{layout.sections.back().header_offset} + SECTION_HEADER_BYTES;
  if (holder->raw_offset < headers_end)
    throw ResourceError("the program's resources (" + holder->name + ") lie over its headers in the file");
  const PeSection& last = layout.sections.back();
  if (holder != &last)
    throw ResourceError("the program's resources (" + holder->name + ") are not its last section (" + last.name +
                        " is); link it with its resources last");
  for (const PeSection& section : layout.sections) {
    if (&section == holder) continue;
    if (section.virtual_address > holder->virtual_address)
      throw ResourceError("section " + section.name + " lies after the resources in memory");
    if (section.raw_size != 0 && uint64_t{section.raw_offset} + section.raw_size > holder->raw_offset)
      throw ResourceError("section " + section.name + " lies after the resources in the file");
  }
  if (!is_power_of_two(layout.file_alignment) || layout.file_alignment > 0x10000 ||
      !is_power_of_two(layout.section_alignment))
    throw ResourceError("the program's file or section alignment is not a power of two");
  if (layout.directory_count > CERTIFICATE_DIRECTORY) {
    // Said before the bytes at the end, as a signature is what most often lies there.
    const uint8_t* entry = image + layout.directories_offset + DIRECTORY_ENTRY_BYTES * CERTIFICATE_DIRECTORY;
    if (load_le32(entry) != 0 && load_le32(entry + 4) != 0)
      throw ResourceError("the program is signed (a certificate table at offset " + std::to_string(load_le32(entry)) +
                          "); rebuild an unsigned one and sign the packed file");
  }
  const uint64_t end = uint64_t{holder->raw_offset} + holder->raw_size;
  if (end > n) throw ResourceError("the file ends inside its resource section");
  if (end < n)
    throw ResourceError(std::to_string(n - end) +
                        " bytes follow the resource section (a signature, symbols or appended data), "
                        "which a rebuilt section would cut off");
  return *holder;
}

std::vector<uint8_t> pe_replace_resources(const std::vector<uint8_t>& image, const std::vector<uint8_t>& section) {
  const PeLayout layout = pe_layout_read(image.data(), image.size());
  const PeSection& old = pe_rebuildable_resource_section(image.data(), image.size(), layout);
  const uint64_t raw_size = align_up(section.size(), layout.file_alignment);
  const uint64_t image_size = align_up(uint64_t{old.virtual_address} + section.size(), layout.section_alignment);
  if (image_size > UINT32_MAX || raw_size > UINT32_MAX) throw ResourceError("the rebuilt program would be too large");

  std::vector<uint8_t> out(image.begin(), image.begin() + static_cast<ptrdiff_t>(old.raw_offset));
  out.insert(out.end(), section.begin(), section.end());
  out.resize(static_cast<size_t>(old.raw_offset + raw_size), 0);

  uint8_t* header = out.data() + old.header_offset;
  store_le32(header + 8, static_cast<uint32_t>(section.size()));
  store_le32(header + 16, static_cast<uint32_t>(raw_size));
  store_le32(out.data() + layout.directories_offset + DIRECTORY_ENTRY_BYTES * PE_RESOURCE_DIRECTORY + 4,
             static_cast<uint32_t>(section.size()));
  uint8_t* opt = out.data() + layout.optional_offset;
  if ((old.characteristics & SCN_CNT_INITIALIZED_DATA) != 0) {
    // The field sums the raw sizes of the initialized data sections.
    const uint64_t total = load_le32(opt + OPT_SIZE_OF_INITIALIZED_DATA);
    const uint64_t others = total >= old.raw_size ? total - old.raw_size : 0;
    store_le32(opt + OPT_SIZE_OF_INITIALIZED_DATA, static_cast<uint32_t>(std::min<uint64_t>(others + raw_size, UINT32_MAX)));
  }
  store_le32(opt + OPT_SIZE_OF_IMAGE, static_cast<uint32_t>(image_size));
  if (load_le32(opt + OPT_CHECKSUM) != 0)
    store_le32(opt + OPT_CHECKSUM, pe_checksum(out.data(), out.size(), layout.checksum_offset));
  return out;
}
