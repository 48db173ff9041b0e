// An icon file as `sfx pack --icon` reads it. Whatever its bytes, icon_file_parse throws nothing
// but ResourceError, and each image it returns is the bytes its directory entry places inside
// the file, after the directory, with the entry's sizes and depth. apply_identity agrees with it:
// a file it refuses is refused as the file's fault (an IdentityError naming it), and one it takes
// goes into the launcher whole, which then reads back with exactly those images.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

#include "fuzz_pe_stub.h"
#include "fuzz_target.h"
#include "icon_file.h"
#include "launcher_identity.h"
#include "mem.h"
#include "pe_resources.h"
#include "resource.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char ICON_NAME[] = "fuzz.ico";

[[noreturn]] void fail_with(const char* what, const std::exception& error) {
  std::fprintf(stderr, "%s\n", error.what());
  fuzz_fail(what);
}

std::optional<std::vector<IconImage>> parsed(const uint8_t* data, size_t size) {
  try {
    return icon_file_parse(data, size);
  } catch (const ResourceError&) {
    return std::nullopt;
  } catch (const std::exception& error) {
    fail_with("icon_file_parse threw something other than ResourceError", error);
  }
}

void check_images(const uint8_t* data, size_t size, const std::vector<IconImage>& images) {
  if (size < ICONDIR_BYTES || images.size() != load_le16(data + 4)) fuzz_fail("not one image per directory entry");
  const uint64_t directory_end = ICONDIR_BYTES + uint64_t{ICONDIRENTRY_BYTES} * images.size();
  for (size_t i = 0; i < images.size(); ++i) {
    const uint8_t* entry = data + ICONDIR_BYTES + ICONDIRENTRY_BYTES * i;
    const uint64_t bytes = load_le32(entry + 8), offset = load_le32(entry + 12);
    const IconImage& image = images[i];
    if (bytes == 0 || offset < directory_end || offset + bytes > size || image.data.size() != bytes)
      fuzz_fail("an image outside the file, over its directory, or empty");
    if (!std::equal(image.data.begin(), image.data.end(), data + offset))
      fuzz_fail("an image that is not the bytes its entry places");
    if (image.width != entry[0] || image.height != entry[1] || image.color_count != entry[2] ||
        image.planes != load_le16(entry + 4) || image.bit_count != load_le16(entry + 6))
      fuzz_fail("an image whose sizes or depth are not its entry's");
  }
}

// The launcher with the icon: apply_identity refuses exactly what icon_file_parse refuses, and
// what it writes reads back as the images given, in their order.
void check_installed(const uint8_t* data, size_t size, const std::optional<std::vector<IconImage>>& images) {
  IdentityChoice choice;
  choice.copy_from_installer = false;
  choice.icon = Bytes(data, data + size);
  choice.icon_file = ICON_NAME;
  IdentityResult result;
  try {
    result = apply_identity(fuzz_launcher_stub(), nullptr, 0, choice);
  } catch (const IdentityError& error) {
    if (images) fail_with("apply_identity refused an icon icon_file_parse takes", error);
    if (error.file() != ICON_NAME) fail_with("apply_identity refused an icon without naming it", error);
    return;
  } catch (const std::exception& error) {
    fail_with("apply_identity threw something other than IdentityError", error);
  }
  if (!images) fuzz_fail("apply_identity took an icon icon_file_parse refuses");

  const LauncherIdentity identity = fuzz_read_back(result.stub);
  if (!identity.problems.empty() || identity.icons.size() != images->size())
    fuzz_fail("the launcher's icon does not read back whole");
  const std::vector<ResourceEntry> entries =
      resources_parse(result.stub.data(), result.stub.size(), pe_layout_read(result.stub.data(), result.stub.size()));
  const ResourceEntry* group = resources_pick(entries, ResourceName::of_id(RT_GROUP_ICON_ID),
                                              ResourceName::of_id(IDI_LAUNCHER), LAUNCHER_LANGUAGE);
  if (group == nullptr) fuzz_fail("the launcher lost its icon group");
  const std::vector<IconImage> installed = icon_group_images(entries, *group);
  if (installed.size() != images->size()) fuzz_fail("the launcher's icon group lists other images");
  for (size_t i = 0; i < images->size(); ++i) {
    const IconImage &given = (*images)[i], &got = installed[i];
    const IconDescription want = describe_icon_image(given), seen = identity.icons[i];
    if (got.data != given.data || got.width != given.width || got.height != given.height ||
        got.color_count != given.color_count || want.width != seen.width || want.height != seen.height ||
        want.bit_count != seen.bit_count || want.png != seen.png)
      fuzz_fail("the launcher's icon reads back differently");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<std::vector<IconImage>> images = parsed(data, size);
  if (images) check_images(data, size, *images);
  check_installed(data, size, images);
  return 0;
}
