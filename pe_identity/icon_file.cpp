#include "icon_file.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "mem.h"

namespace {

constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint16_t ICON_TYPE = 1;  // 2 is a cursor

bool is_png(const std::vector<uint8_t>& data) {
  return data.size() >= sizeof PNG_SIGNATURE && std::memcmp(data.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0;
}

// Planes and bits per pixel from the image itself: the DIB's header, or the PNG's IHDR chunk
// (bit depth times channels). Zero when the image says nothing readable.
void image_depth(const IconImage& image, uint16_t* planes, uint16_t* bit_count) {
  *planes = 0, *bit_count = 0;
  const std::vector<uint8_t>& d = image.data;
  if (is_png(d)) {
    // Signature, chunk length, "IHDR", width, height, bit depth, colour type.
    if (d.size() < 26 || std::memcmp(d.data() + 12, "IHDR", 4) != 0) return;
    static const uint16_t CHANNELS[7] = {1, 0, 3, 1, 2, 0, 4};
    const uint8_t type = d[25];
    if (type > 6 || CHANNELS[type] == 0) return;
    *planes = 1;
    *bit_count = static_cast<uint16_t>(d[24] * CHANNELS[type]);
  } else if (d.size() >= 16 && load_le32(d.data()) >= 16) {
    // BITMAPINFOHEADER: biSize, biWidth, biHeight, biPlanes, biBitCount.
    *planes = load_le16(d.data() + 12);
    *bit_count = load_le16(d.data() + 14);
  }
}

std::vector<uint8_t> group_header(size_t count) {
  std::vector<uint8_t> out(ICONDIR_BYTES, 0);
  store_le16(out.data() + 2, ICON_TYPE);
  store_le16(out.data() + 4, static_cast<uint16_t>(count));
  return out;
}

}  // namespace

std::vector<IconImage> icon_file_parse(const uint8_t* file, size_t n) {
  if (n > MAX_ICON_FILE_BYTES)
    throw ResourceError("is " + std::to_string(n) + " bytes, larger than an icon file may be (" +
                        std::to_string(MAX_ICON_FILE_BYTES) + ")");
  if (n < ICONDIR_BYTES || load_le16(file) != 0 || load_le16(file + 2) != ICON_TYPE)
    throw ResourceError(n >= ICONDIR_BYTES && load_le16(file) == 0 && load_le16(file + 2) == 2
                            ? "is a cursor file, not an icon file"
                            : "is not an icon file (no icon directory at its start)");
  const uint32_t count = load_le16(file + 4);
  if (count == 0) throw ResourceError("is an icon file that holds no image");
  const uint64_t directory_end = ICONDIR_BYTES + uint64_t{ICONDIRENTRY_BYTES} * count;
  if (directory_end > n)
    throw ResourceError("lists " + std::to_string(count) + " images, but the file ends inside its directory");
  std::vector<IconImage> images;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = file + ICONDIR_BYTES + ICONDIRENTRY_BYTES * i;
    const uint32_t bytes = load_le32(entry + 8);
    const uint32_t offset = load_le32(entry + 12);
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (bytes == 0) throw ResourceError(which + " is empty");
    if (offset < directory_end)
      throw ResourceError(which + " (at offset " + std::to_string(offset) + ") overlaps the icon directory");
    if (uint64_t{offset} + bytes > n)
      throw ResourceError(which + " (" + std::to_string(bytes) + " bytes at offset " + std::to_string(offset) +
                          ") runs past the end of the file (" + std::to_string(n) + " bytes)");
    IconImage image;
    image.width = entry[0];
    image.height = entry[1];
    image.color_count = entry[2];
    image.planes = load_le16(entry + 4);
    image.bit_count = load_le16(entry + 6);
    image.data.assign(file + offset, file + offset + bytes);
    images.push_back(std::move(image));
  }
  return images;
}

std::vector<uint8_t> icon_group_build(const std::vector<IconImage>& images, const std::vector<uint16_t>& ids) {
  if (images.empty() || images.size() != ids.size() || images.size() > 0xFFFF)
    throw ResourceError("an icon group needs one id for each of its images");
  std::vector<uint8_t> out = group_header(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    uint16_t planes = image.planes, bit_count = image.bit_count;
    if (planes == 0 || bit_count == 0) {
      uint16_t own_planes, own_bits;
      image_depth(image, &own_planes, &own_bits);
      if (planes == 0) planes = own_planes;
      if (bit_count == 0) bit_count = own_bits;
    }
    uint8_t entry[GRPICONDIRENTRY_BYTES] = {image.width, image.height, image.color_count, 0};
    store_le16(entry + 4, planes);
    store_le16(entry + 6, bit_count);
    store_le32(entry + 8, static_cast<uint32_t>(image.data.size()));
    store_le16(entry + 12, ids[i]);
    out.insert(out.end(), entry, entry + sizeof entry);
  }
  return out;
}

std::vector<IconGroupEntry> icon_group_parse(const std::vector<uint8_t>& group) {
  if (group.size() < ICONDIR_BYTES || load_le16(group.data()) != 0 || load_le16(group.data() + 2) != ICON_TYPE)
    throw ResourceError("an icon group without its header");
  const uint32_t count = load_le16(group.data() + 4);
  if (count == 0) throw ResourceError("an icon group of no image");
  if (ICONDIR_BYTES + uint64_t{GRPICONDIRENTRY_BYTES} * count > group.size())
    throw ResourceError("an icon group of " + std::to_string(count) + " images cut short at " +
                        std::to_string(group.size()) + " bytes");
  std::vector<IconGroupEntry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = group.data() + ICONDIR_BYTES + GRPICONDIRENTRY_BYTES * i;
    entries.push_back(IconGroupEntry{p[0], p[1], p[2], load_le16(p + 4), load_le16(p + 6), load_le32(p + 8),
                                     load_le16(p + 12)});
  }
  return entries;
}

const ResourceEntry* main_icon_group(const std::vector<ResourceEntry>& entries) {
  const ResourceEntry* lowest = nullptr;
  for (const ResourceEntry& entry : entries) {
    if (entry.type != ResourceName::of_id(RT_GROUP_ICON_ID)) continue;
    if (!entry.name.is_id) return &entry;
    if (lowest == nullptr || entry.name.id < lowest->name.id) lowest = &entry;
  }
  return lowest;
}

std::vector<IconImage> icon_group_images(const std::vector<ResourceEntry>& entries, const ResourceEntry& group) {
  std::vector<IconImage> images;
  uint64_t total = 0;
  for (const IconGroupEntry& entry : icon_group_parse(group.data)) {
    const ResourceEntry* icon =
        resources_pick(entries, ResourceName::of_id(RT_ICON_ID), ResourceName::of_id(entry.id), group.language);
    if (icon == nullptr || icon->data.empty())
      throw ResourceError("the icon group names icon " + std::to_string(entry.id) + ", which the program lacks");
    total += icon->data.size();
    if (total > MAX_ICON_FILE_BYTES)
      throw ResourceError("the icon group's images add up to more than an icon file may hold (" +
                          std::to_string(MAX_ICON_FILE_BYTES) + " bytes)");
    IconImage image;
    image.width = entry.width;
    image.height = entry.height;
    image.color_count = entry.color_count;
    image.planes = entry.planes;
    image.bit_count = entry.bit_count;
    image.data = icon->data;
    images.push_back(std::move(image));
  }
  return images;
}

void icon_group_install(std::vector<ResourceEntry>* entries, uint16_t group_id, uint16_t language,
                        const std::vector<IconImage>& images) {
  const ResourceName icon_type = ResourceName::of_id(RT_ICON_ID);
  const ResourceName group_type = ResourceName::of_id(RT_GROUP_ICON_ID);
  const ResourceName group_name = ResourceName::of_id(group_id);
  // The icons the old group named go with it; a damaged old group takes none along.
  std::set<uint16_t> old_icons;
  for (const ResourceEntry* old : resources_find(*entries, group_type, group_name)) {
    try {
      for (const IconGroupEntry& entry : icon_group_parse(old->data)) old_icons.insert(entry.id);
    } catch (const ResourceError&) {
    }
  }
  resources_remove(entries, group_type, group_name);
  for (uint16_t id : old_icons) resources_remove(entries, icon_type, ResourceName::of_id(id));

  std::set<uint16_t> used;
  for (const ResourceEntry& entry : *entries)
    if (entry.type == icon_type && entry.name.is_id) used.insert(entry.name.id);
  std::vector<uint16_t> ids;
  for (uint32_t id = 1; ids.size() < images.size(); ++id) {
    if (id > 0xFFFF) throw ResourceError("no free icon ids are left");
    if (used.count(static_cast<uint16_t>(id)) == 0) ids.push_back(static_cast<uint16_t>(id));
  }
  for (size_t i = 0; i < images.size(); ++i)
    resources_put(entries, icon_type, ResourceName::of_id(ids[i]), language, images[i].data);
  resources_put(entries, group_type, group_name, language, icon_group_build(images, ids));
}

IconDescription describe_icon_image(const IconImage& image) {
  IconDescription description{image.width == 0 ? 256u : image.width, image.height == 0 ? 256u : image.height,
                              image.bit_count, is_png(image.data)};
  if (description.bit_count == 0) {
    uint16_t planes, bits;
    image_depth(image, &planes, &bits);
    description.bit_count = bits;
  }
  return description;
}
