// A Windows program's resources: the headers that locate them, the three-level resource tree
// read into a flat list of entries, the tree built again from such a list, and the resource
// section of a program replaced.
//
// Everything read here may come from any file (the installer being packed), so every offset and
// size is checked before use, and a damaged image is reported as a ResourceError whose message
// is one line naming the fault; nothing else is thrown for bad bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A damaged or unsuitable image, icon, version resource or text; the message is one line.
class ResourceError : public std::runtime_error {
 public:
  explicit ResourceError(const std::string& reason) : std::runtime_error(reason) {}
};

// ---- the headers ---------------------------------------------------------------------------------

// The loader accepts no more sections than this.
constexpr uint32_t PE_MAX_SECTIONS = 96;
constexpr uint32_t PE_RESOURCE_DIRECTORY = 2;  // index in the optional header's data directories

struct PeSection {
  std::string name;  // up to 8 characters
  uint32_t header_offset;  // file offset of its 40-byte header
  uint32_t virtual_size, virtual_address;
  uint32_t raw_size, raw_offset;
  uint32_t characteristics;
};

struct PeLayout {
  size_t file_bytes;             // the size of the image read
  bool is_pe32;                  // PE32; PE32+ otherwise
  uint32_t optional_offset;      // file offset of the optional header
  uint32_t checksum_offset;      // file offset of the 4-byte CheckSum field
  uint32_t file_alignment, section_alignment;
  uint32_t directory_count;      // NumberOfRvaAndSizes, as far as the optional header holds
  uint32_t directories_offset;   // file offset of the first data directory
  uint32_t resource_rva, resource_size;  // 0 and 0 without resources
  std::vector<PeSection> sections;
};

// Reads the headers of a PE32 or PE32+ image of n bytes. Throws ResourceError for a file that
// is not one, or whose headers or section table do not fit in it.
PeLayout pe_layout_read(const uint8_t* image, size_t n);

// The section whose data in the file holds the bytes [rva, rva + bytes), or nullptr. Only what the
// file holds counts: neither the zeros the loader adds past a section's raw data nor anything past
// the end of the file.
const PeSection* pe_section_holding(const PeLayout& layout, uint32_t rva, uint32_t bytes);

// ---- the resource model --------------------------------------------------------------------------

// A resource type or name: a 16-bit id, or a text (UTF-16, as stored).
struct ResourceName {
  bool is_id = true;
  uint16_t id = 0;
  std::u16string text;

  static ResourceName of_id(uint16_t value);
  static ResourceName of_text(std::u16string value);
};
bool operator==(const ResourceName& a, const ResourceName& b);
bool operator!=(const ResourceName& a, const ResourceName& b);
// The order of a resource directory: named entries first, by their UTF-16 code units, then ids
// ascending. The loader's lookups are binary searches that rely on it.
bool operator<(const ResourceName& a, const ResourceName& b);

// Standard resource types.
enum : uint16_t {
  RT_ICON_ID = 3,
  RT_DIALOG_ID = 5,
  RT_STRING_ID = 6,
  RT_GROUP_ICON_ID = 14,
  RT_VERSION_ID = 16,
  RT_MANIFEST_ID = 24,
};

struct ResourceEntry {
  ResourceName type;
  ResourceName name;
  uint16_t language = 0;
  uint32_t code_page = 0;
  std::vector<uint8_t> data;
};
bool operator==(const ResourceEntry& a, const ResourceEntry& b);

// Limits on what a resource tree may hold; a tree past them is taken for a damaged one. Real
// programs hold a few hundred entries and a few megabytes; the data limit also bounds what a
// tree whose entries all name the same large block could make this tool copy.
constexpr uint32_t MAX_RESOURCE_ENTRIES = 65536;
constexpr uint64_t MAX_RESOURCE_DATA_BYTES = 256u << 20;
// A built section must keep every offset below the flag bit of a directory entry.
constexpr uint64_t MAX_RESOURCE_SECTION_BYTES = MAX_RESOURCE_DATA_BYTES + (64u << 20);
static_assert(MAX_RESOURCE_SECTION_BYTES < 0x80000000u, "directory offsets keep their flag bit clear");

// The image's resources in the directory's order (type, then name, then language, as the tables
// list them), each with a copy of its data. An image without resources gives none. Throws
// ResourceError for a damaged tree: an offset or size outside the section, a directory reached
// twice (a loop, or a shared subtree), a subdirectory where data belongs or data where a
// subdirectory belongs, data outside the image, or a tree past the limits above.
std::vector<ResourceEntry> resources_parse(const uint8_t* image, size_t n, const PeLayout& layout);

// The entries for type and name (any language), in the list's order.
std::vector<const ResourceEntry*> resources_find(const std::vector<ResourceEntry>& entries,
                                                 const ResourceName& type, const ResourceName& name);
// The first entry for type and name in the given language, else in any language, or nullptr.
const ResourceEntry* resources_pick(const std::vector<ResourceEntry>& entries, const ResourceName& type,
                                    const ResourceName& name, uint16_t language);
// Removes every entry for type and name (any language).
void resources_remove(std::vector<ResourceEntry>* entries, const ResourceName& type, const ResourceName& name);
// Replaces the entries for type and name (any language) with one in the given language.
void resources_put(std::vector<ResourceEntry>* entries, const ResourceName& type, const ResourceName& name,
                   uint16_t language, std::vector<uint8_t> data);
// The entries sorted in directory order (stable: the order the list has otherwise).
std::vector<ResourceEntry> resources_sorted(std::vector<ResourceEntry> entries);

// ---- building a section ------------------------------------------------------------------------

// Alignment of each resource's data in a built section, as linkers align it.
constexpr uint32_t RESOURCE_DATA_ALIGNMENT = 8;

// The complete resource section for entries, to be loaded at section_rva: the directory tables
// (root, then the type tables, then the name tables, each in directory order), then the name
// strings, then the data entries, then the data, each block aligned to RESOURCE_DATA_ALIGNMENT.
// Time stamps and versions are zero, so the same entries (in any order) give the same bytes.
// Throws ResourceError for two entries of the same type, name and language, or a section past
// MAX_RESOURCE_SECTION_BYTES.
std::vector<uint8_t> resources_build(const std::vector<ResourceEntry>& entries, uint32_t section_rva);

// ---- replacing the section -----------------------------------------------------------------------

// The section holding the image's resources, when it may be rebuilt: its resource directory
// starts it, its data follows the headers and the section table, it is the last section in the
// table, in memory and in the file, and nothing follows its data in the file (no certificate
// table, symbols or appended bytes, which a rebuilt section would overwrite or cut off). Throws
// ResourceError saying which of these fails.
const PeSection& pe_rebuildable_resource_section(const uint8_t* image, size_t n, const PeLayout& layout);

// The image with its resource section replaced by section (built by resources_build for that
// section's address): the section's VirtualSize and SizeOfRawData (rounded up to the file
// alignment, zero-filled), the resource directory's address and size, SizeOfInitializedData and
// SizeOfImage (rounded up to the section alignment) are updated, and the CheckSum recomputed when
// the image had one (a packer that appends a payload writes it again for the whole file). Every
// other byte before the section is kept; the file ends with the new section. Throws ResourceError
// as pe_rebuildable_resource_section does.
std::vector<uint8_t> pe_replace_resources(const std::vector<uint8_t>& image, const std::vector<uint8_t>& section);
