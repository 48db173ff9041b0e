// An installer's resources as `sfx pack` reads them. The input is the installer's image as pack
// hands it to apply_identity (its headers and sections). Whatever its bytes:
//  - read_identity, resources_parse and the parsers pack runs over an installer's resources (icon
//    groups, version information, dialog templates, string tables) throw nothing but
//    ResourceError, and what each of them reads builds again into a resource that reads the same;
//  - apply_identity copying from it into a launcher throws nothing but IdentityError; the launcher
//    it returns reads back whole, with the installer's icon and version information when the
//    installer's were whole, and copying again into that launcher changes nothing; with the
//    publisher's options over the copy, the launcher reads back with the options;
//  - taken for a launcher itself, a program whose resources may be anything, it is rewritten with
//    the options or refused with an IdentityError, and what comes back reads back with them.
#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "fuzz_pe_stub.h"
#include "fuzz_target.h"
#include "icon_file.h"
#include "launcher_identity.h"
#include "pe_image.h"
#include "pe_resources.h"
#include "resource.h"
#include "resource_texts.h"
#include "utf16_text.h"
#include "version_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Runs call; an Allowed error is an answer (nullopt), anything else thrown stops the run.
template <typename Allowed, typename Call>
auto answer(const char* what, Call call) -> std::optional<decltype(call())> {
  try {
    return call();
  } catch (const Allowed&) {
    return std::nullopt;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", what, error.what());
    fuzz_fail("threw something other than the engine's documented error");
  }
}

bool same_version(const VersionInfo& a, const VersionInfo& b) {
  if (a.has_fixed != b.has_fixed || a.translations != b.translations || a.tables.size() != b.tables.size())
    return false;
  const FixedFileInfo &f = a.fixed, &g = b.fixed;
  if (a.has_fixed &&
      (f.struct_version != g.struct_version || f.file_version_ms != g.file_version_ms ||
       f.file_version_ls != g.file_version_ls || f.product_version_ms != g.product_version_ms ||
       f.product_version_ls != g.product_version_ls || f.file_flags_mask != g.file_flags_mask ||
       f.file_flags != g.file_flags || f.file_os != g.file_os || f.file_type != g.file_type ||
       f.file_subtype != g.file_subtype || f.file_date_ms != g.file_date_ms || f.file_date_ls != g.file_date_ls))
    return false;
  for (size_t t = 0; t < a.tables.size(); ++t) {
    const VersionStringTable &x = a.tables[t], &y = b.tables[t];
    if (x.key != y.key || x.strings.size() != y.strings.size()) return false;
    for (size_t s = 0; s < x.strings.size(); ++s)
      if (x.strings[s].key != y.strings[s].key || x.strings[s].value != y.strings[s].value) return false;
  }
  return true;
}

// ---- the parsers, one resource at a time --------------------------------------------------------

void check_icon_group(const std::vector<ResourceEntry>& entries, const ResourceEntry& group) {
  const auto listed = answer<ResourceError>("icon_group_parse", [&] { return icon_group_parse(group.data); });
  const auto images = answer<ResourceError>("icon_group_images", [&] { return icon_group_images(entries, group); });
  if (!images) return;
  if (!listed || listed->size() != images->size()) fuzz_fail("icon_group_images reads a group icon_group_parse does not");
  std::vector<uint16_t> ids;
  for (size_t i = 0; i < images->size(); ++i) {
    const IconImage& image = (*images)[i];
    if (image.data.empty()) fuzz_fail("an icon group image without data");
    describe_icon_image(image);
    ids.push_back((*listed)[i].id);
  }
  const auto again = answer<ResourceError>("icon group built again", [&] {
    return icon_group_parse(icon_group_build(*images, ids));
  });
  if (!again || again->size() != images->size()) fuzz_fail("an icon group built again does not read back");
  for (size_t i = 0; i < images->size(); ++i) {
    const IconGroupEntry &x = (*listed)[i], &y = (*again)[i];
    if (x.width != y.width || x.height != y.height || x.color_count != y.color_count || x.id != y.id ||
        y.bytes != (*images)[i].data.size() || (x.planes != 0 && x.planes != y.planes) ||
        (x.bit_count != 0 && x.bit_count != y.bit_count))
      fuzz_fail("an icon group built again reads differently");
  }
}

void check_version(const Bytes& data) {
  const auto info = answer<ResourceError>("version_info_parse", [&] { return version_info_parse(data.data(), data.size()); });
  if (!info) return;
  const auto built = answer<ResourceError>("version_info_build", [&] { return version_info_build(*info); });
  if (!built) return;  // too large for a version block once laid out afresh
  const auto again = answer<ResourceError>("version built again", [&] {
    return version_info_parse(built->data(), built->size());
  });
  if (!again || !same_version(*info, *again)) fuzz_fail("version information built again reads differently");
}

void check_dialog(const Bytes& data) {
  const auto caption = answer<ResourceError>("dialog_caption", [&] { return dialog_caption(data); });
  if (!caption) return;
  for (const std::u16string& title : {*caption, std::u16string(u"Fuzz \u00e9 title")}) {
    const auto rewritten = answer<ResourceError>("dialog_with_caption", [&] { return dialog_with_caption(data, title); });
    if (!rewritten) fuzz_fail("a dialog whose caption reads cannot take another");
    const auto read = answer<ResourceError>("caption read again", [&] { return dialog_caption(*rewritten); });
    if (!read || *read != title) fuzz_fail("a dialog's new caption reads differently");
  }
}

void check_strings(const Bytes& data) {
  const auto block = answer<ResourceError>("string_block_parse", [&] { return string_block_parse(data); });
  if (!block) return;
  const auto again = answer<ResourceError>("string block built again", [&] {
    return string_block_parse(string_block_build(*block));
  });
  if (!again || *again != *block) fuzz_fail("a string table built again reads differently");
}

// ---- apply_identity ----------------------------------------------------------------------------

IdentityChoice publisher_choice(bool copy) {
  IdentityChoice choice;
  choice.copy_from_installer = copy;
  choice.product = "Fuzz Product \xC3\xA9";
  choice.company = "Fuzz Company";
  choice.product_version = "1.2.3.4";
  choice.title = "Fuzz title";
  choice.failure_title = "Fuzz failure";
  choice.url = "https://fuzz.example/";
  return choice;
}

const std::string* version_string(const LauncherIdentity& identity, const char* key) {
  for (const auto& pair : identity.version_strings)
    if (pair.first == key) return &pair.second;
  return nullptr;
}

void check_options_read_back(const LauncherIdentity& identity, const IdentityChoice& choice) {
  const std::string* product = version_string(identity, "ProductName");
  const std::string* company = version_string(identity, "CompanyName");
  const std::string* version = version_string(identity, "FileVersion");
  if (!product || *product != *choice.product || !company || *company != *choice.company || !version ||
      *version != *choice.product_version || !identity.has_version_numbers ||
      identity.file_version != std::array<uint16_t, 4>{1, 2, 3, 4} ||
      identity.product_version != std::array<uint16_t, 4>{1, 2, 3, 4})
    fuzz_fail("the launcher does not read back with the publisher's version");
  if (identity.title != choice.title || identity.failure_title != *choice.failure_title ||
      identity.url != *choice.url)
    fuzz_fail("the launcher does not read back with the publisher's texts");
}

// The images of the launcher's icon group, as read_identity finds them; stops the run when
// they do not read.
std::vector<IconImage> launcher_icon(const std::vector<ResourceEntry>& entries) {
  const ResourceEntry* group = resources_pick(entries, ResourceName::of_id(RT_GROUP_ICON_ID),
                                              ResourceName::of_id(IDI_LAUNCHER), LAUNCHER_LANGUAGE);
  if (group == nullptr) fuzz_fail("the launcher lost its icon group");
  const auto images = answer<ResourceError>("launcher's icon", [&] { return icon_group_images(entries, *group); });
  if (!images) fuzz_fail("the launcher's icon group does not read");
  return *images;
}

std::vector<ResourceEntry> entries_of(const Bytes& launcher) {
  return resources_parse(launcher.data(), launcher.size(), pe_layout_read(launcher.data(), launcher.size()));
}

bool same_images(const std::vector<IconImage>& a, const std::vector<IconImage>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].data != b[i].data || a[i].width != b[i].width || a[i].height != b[i].height) return false;
  return true;
}

// What the installer gives, as apply_identity is documented to take it: its main icon group's
// images and its first version resource, each only when whole.
struct Expected {
  std::optional<std::vector<IconImage>> icon;
  std::optional<Bytes> version;
};

void check_copy(const uint8_t* data, size_t size, const Expected& expected) {
  const Bytes& stub = fuzz_launcher_stub();
  const IdentityChoice copy;
  const auto result = answer<IdentityError>("apply_identity", [&] { return apply_identity(stub, data, size, copy); });
  if (!result) return;
  const LauncherIdentity identity = fuzz_read_back(result->stub);
  if (!identity.problems.empty()) fuzz_fail("the launcher reads back with damaged resources");
  const std::vector<ResourceEntry> entries = entries_of(result->stub);
  if (expected.icon && !same_images(launcher_icon(entries), *expected.icon))
    fuzz_fail("the launcher's icon is not the installer's");
  if (!expected.icon && !same_images(launcher_icon(entries), launcher_icon(fuzz_launcher_resources())))
    fuzz_fail("the launcher lost its own icon");
  const ResourceEntry* version = resources_pick(entries, ResourceName::of_id(RT_VERSION_ID),
                                                ResourceName::of_id(LAUNCHER_VERSION_NAME), LAUNCHER_LANGUAGE);
  if (expected.version && (version == nullptr || version->data != *expected.version))
    fuzz_fail("the launcher's version information is not the installer's");

  const auto again = answer<IdentityError>("apply_identity again", [&] {
    return apply_identity(result->stub, data, size, copy);
  });
  if (!again || again->stub != result->stub) fuzz_fail("copying again into the copy changes it");

  const IdentityChoice options = publisher_choice(true);
  const auto over = answer<IdentityError>("apply_identity with options", [&] {
    return apply_identity(stub, data, size, options);
  });
  if (!over) return;  // the copied version information with the options does not fit a block
  const LauncherIdentity with_options = fuzz_read_back(over->stub);
  if (!with_options.problems.empty()) fuzz_fail("the launcher reads back with damaged resources");
  check_options_read_back(with_options, options);
  if (expected.icon && !same_images(launcher_icon(entries_of(over->stub)), *expected.icon))
    fuzz_fail("the launcher's icon is not the installer's");
}

// All the options, which need the launcher's progress window, and a product name alone, which
// any program with a resource section can take.
void check_as_launcher(const uint8_t* data, size_t size) {
  const Bytes launcher(data, data + size);
  const IdentityChoice options = publisher_choice(false);
  const auto result = answer<IdentityError>("apply_identity on the input", [&] {
    return apply_identity(launcher, nullptr, 0, options);
  });
  if (result) check_options_read_back(fuzz_read_back(result->stub), options);

  IdentityChoice product;
  product.copy_from_installer = false;
  product.product = options.product;
  const auto named = answer<IdentityError>("apply_identity on the input", [&] {
    return apply_identity(launcher, nullptr, 0, product);
  });
  if (!named) return;
  const LauncherIdentity identity = fuzz_read_back(named->stub);
  const std::string* read = version_string(identity, "ProductName");
  if (read == nullptr || *read != *product.product) fuzz_fail("the launcher does not read back with its product name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  answer<ResourceError>("read_identity", [&] { return read_identity(data, size); });

  Expected expected;
  const auto entries = answer<ResourceError>("resources_parse", [&] {
    return resources_parse(data, size, pe_layout_read(data, size));
  });
  if (entries) {
    for (const ResourceEntry& entry : *entries) {
      if (!entry.type.is_id) continue;
      if (entry.type.id == RT_GROUP_ICON_ID) check_icon_group(*entries, entry);
      if (entry.type.id == RT_VERSION_ID) check_version(entry.data);
      if (entry.type.id == RT_DIALOG_ID) check_dialog(entry.data);
      if (entry.type.id == RT_STRING_ID) check_strings(entry.data);
    }
    // Only a program the payload's own header check takes for one is copied from.
    if (pe_image_read(data, static_cast<uint32_t>(std::min<size_t>(size, PE_HEADER_SPAN_BYTES))).is_pe) {
      if (const ResourceEntry* group = main_icon_group(*entries))
        expected.icon = answer<ResourceError>("main icon", [&] { return icon_group_images(*entries, *group); });
      for (const ResourceEntry& entry : *entries) {
        if (entry.type != ResourceName::of_id(RT_VERSION_ID)) continue;
        if (answer<ResourceError>("version", [&] { return version_info_parse(entry.data.data(), entry.data.size()); }))
          expected.version = entry.data;
        break;
      }
    }
  }
  check_copy(data, size, expected);
  check_as_launcher(data, size);
  return 0;
}
