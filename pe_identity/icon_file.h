// Icons: .ico files, the RT_ICON and RT_GROUP_ICON resources made from them, and the icon group
// of a program read back (to copy an installer's icon, and to list a launcher's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pe_resources.h"

// An icon file larger than this is refused: the largest a Windows icon needs (a 256x256 PNG
// image beside a few small ones) is a few hundred kilobytes.
constexpr size_t MAX_ICON_FILE_BYTES = 1u << 20;
constexpr uint32_t ICONDIR_BYTES = 6;
constexpr uint32_t ICONDIRENTRY_BYTES = 16;
constexpr uint32_t GRPICONDIRENTRY_BYTES = 14;

// One image of an icon, as the directory describes it, with its bytes (a DIB without its file
// header, or a PNG file) kept byte for byte.
struct IconImage {
  uint8_t width = 0, height = 0;  // 0 means 256
  uint8_t color_count = 0;
  uint16_t planes = 0, bit_count = 0;
  std::vector<uint8_t> data;
};

// The images of a .ico file of n bytes. Throws ResourceError for a file over
// MAX_ICON_FILE_BYTES, one that is not an icon file (a cursor included), one with no image, or
// one whose images lie outside the file, overlap its directory or are empty.
std::vector<IconImage> icon_file_parse(const uint8_t* file, size_t n);

// An RT_GROUP_ICON resource for images, whose RT_ICON resources have the ids given. A directory
// entry that gives no planes or bit count gets them from the image itself, so that the system
// can choose the image that suits a display.
std::vector<uint8_t> icon_group_build(const std::vector<IconImage>& images, const std::vector<uint16_t>& ids);

struct IconGroupEntry {
  uint8_t width, height, color_count;
  uint16_t planes, bit_count;
  uint32_t bytes;
  uint16_t id;  // of its RT_ICON resource
};
// The entries of an RT_GROUP_ICON resource. Throws ResourceError for one that is cut short or
// is not an icon group.
std::vector<IconGroupEntry> icon_group_parse(const std::vector<uint8_t>& group);

// The group a program's icon is: the one Explorer shows, the first group with a name in
// directory order, else the group with the lowest id; nullptr when it has none.
const ResourceEntry* main_icon_group(const std::vector<ResourceEntry>& entries);

// The images of group, with the data of its RT_ICON resources (those in the group's language
// first). Throws ResourceError for a damaged group, one that names an icon it lacks, or one whose
// images add up to more than MAX_ICON_FILE_BYTES, as an icon file's may not: a group may name
// one icon many times, and each time is a copy.
std::vector<IconImage> icon_group_images(const std::vector<ResourceEntry>& entries, const ResourceEntry& group);

// Replaces icon group group_id (any language) and the icons it named with images: RT_ICON
// resources numbered from the lowest ids no other icon of the program uses, and the group, all
// in the given language.
void icon_group_install(std::vector<ResourceEntry>* entries, uint16_t group_id, uint16_t language,
                        const std::vector<IconImage>& images);

// What a listing says of an image: its size in pixels and its colour depth. A directory that
// gives no bit count has it read from the image (its DIB header, or its PNG header).
struct IconDescription {
  uint32_t width, height, bit_count;
  bool png;
};
IconDescription describe_icon_image(const IconImage& image);
