#include "launcher_identity.h"

#include "pe_image.h"
#include "pe_resources.h"
#include "resource.h"
#include "resource_texts.h"
#include "texts.h"
#include "utf16_text.h"
#include "version_info.h"

namespace {

const ResourceName ICON_TYPE = ResourceName::of_id(RT_ICON_ID);
const ResourceName GROUP_ICON_TYPE = ResourceName::of_id(RT_GROUP_ICON_ID);
const ResourceName DIALOG_TYPE = ResourceName::of_id(RT_DIALOG_ID);
const ResourceName STRING_TYPE = ResourceName::of_id(RT_STRING_ID);
const ResourceName VERSION_TYPE = ResourceName::of_id(RT_VERSION_ID);
const ResourceName PROGRESS_DIALOG = ResourceName::of_id(IDD_PROGRESS);
const ResourceName LAUNCHER_ICON = ResourceName::of_id(IDI_LAUNCHER);
const ResourceName VERSION_NAME = ResourceName::of_id(LAUNCHER_VERSION_NAME);
static_assert(string_block_name(IDS_FAILURE_CAPTION) == string_block_name(IDS_PUBLISHER_ADDRESS),
              "both texts live in one string table block");
const ResourceName TEXTS_BLOCK = ResourceName::of_id(string_block_name(IDS_FAILURE_CAPTION));

[[noreturn]] void refuse(const std::string& what) { throw IdentityError("", what); }

bool is_control(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

// The characters (code points) of a UTF-16 text: a surrogate pair is one.
size_t characters(const std::u16string& text) {
  size_t n = 0;
  for (char16_t unit : text) n += (unit & 0xFC00) != 0xDC00;
  return n;
}

// A text option as UTF-16, checked against its limit in characters and, where the launcher holds
// it in a buffer, in UTF-16 units.
std::u16string checked_text(const std::string& option, const std::string& text, size_t limit, size_t unit_limit = 0) {
  if (text.empty()) refuse(option + " is empty");
  std::u16string wide;
  std::string reason;
  if (!utf8_to_utf16(text, &wide, &reason)) refuse(option + " is not valid UTF-8 (" + reason + ")");
  for (char16_t unit : wide)
    if (is_control(unit)) refuse(option + " holds a control character");
  if (characters(wide) > limit)
    refuse(option + " is " + std::to_string(characters(wide)) + " characters long; at most " + std::to_string(limit) +
           " fit");
  if (unit_limit != 0 && wide.size() > unit_limit)
    refuse(option + " takes " + std::to_string(wide.size()) + " UTF-16 units (characters past U+FFFF take two); at most " +
           std::to_string(unit_limit) + " fit the launcher's message");
  return wide;
}

// The first characters of text, at most limit of them, never splitting a surrogate pair.
std::u16string first_characters(const std::u16string& text, size_t limit) {
  size_t at = 0;
  for (size_t n = 0; at < text.size() && n < limit; ++n)
    at += (text[at] & 0xFC00) == 0xD800 && at + 1 < text.size() ? 2u : 1u;
  return text.substr(0, at);
}

// A name for the launcher's title and caption: the text trimmed of blanks and cut to
// MAX_TITLE_CHARS characters; nothing for a text that is empty or holds a control character.
std::optional<std::u16string> usable_name(const std::u16string& text) {
  size_t first = 0, last = text.size();
  while (first < last && text[first] == u' ') ++first;
  while (last > first && text[last - 1] == u' ') --last;
  const std::u16string trimmed = text.substr(first, last - first);
  if (trimmed.empty()) return std::nullopt;
  for (char16_t unit : trimmed)
    if (is_control(unit)) return std::nullopt;
  return first_characters(trimmed, MAX_TITLE_CHARS);
}

// The choice, checked and converted.
struct Checked {
  std::optional<std::vector<IconImage>> icon;
  std::optional<std::u16string> product, company, version_text, title, failure_title, url;
  std::optional<std::array<uint16_t, 4>> version;
  bool version_changes() const { return product || company || version; }
  bool texts_change() const { return failure_title || url; }
};

Checked check_choice(const IdentityChoice& choice) {
  Checked c;
  if (choice.icon) {
    try {
      c.icon = icon_file_parse(choice.icon->data(), choice.icon->size());
    } catch (const ResourceError& error) {
      throw IdentityError(choice.icon_file, error.what());
    }
  }
  if (choice.product) c.product = checked_text("--product", *choice.product, MAX_VERSION_TEXT_CHARS);
  if (choice.company) c.company = checked_text("--company", *choice.company, MAX_VERSION_TEXT_CHARS);
  if (choice.product_version) {
    std::array<uint16_t, 4> version;
    if (!parse_four_part_version(*choice.product_version, &version))
      refuse("--product-version must be four numbers from 0 to 65535 with dots between them (A.B.C.D), not \"" +
             *choice.product_version + "\"");
    c.version = version;
    c.version_text = ascii_utf16(choice.product_version->c_str());
  }
  if (choice.title) c.title = checked_text("--title", *choice.title, MAX_TITLE_CHARS);
  if (choice.failure_title) c.failure_title = checked_text("--failure-title", *choice.failure_title, MAX_TITLE_CHARS);
  if (choice.url) c.url = checked_text("--url", *choice.url, MAX_ADDRESS_CHARS, MAX_ADDRESS_CHARS);
  return c;
}

// What the installer gives: its icon's images and its version resource, each only when whole.
struct Copied {
  std::optional<std::vector<IconImage>> icon;
  std::optional<std::vector<uint8_t>> version_bytes;
  std::optional<VersionInfo> version;
};

Copied copy_from(const uint8_t* installer, size_t n, bool want_icon, bool face, std::vector<std::string>* notes) {
  const std::string version_instead = face ? "its version information is made from the installer's name"
                                           : "it keeps its own version information";
  Copied copied;
  const PeImage image = pe_image_read(installer, static_cast<uint32_t>(std::min<size_t>(n, PE_HEADER_SPAN_BYTES)));
  if (!image.is_pe) return copied;  // an MSI package, or a program of another kind: nothing to copy
  std::vector<ResourceEntry> entries;
  try {
    const PeLayout layout = pe_layout_read(installer, n);
    entries = resources_parse(installer, n, layout);
  } catch (const ResourceError& error) {
    notes->push_back(std::string("the installer's resources are damaged (") + error.what() +
                     "); the launcher keeps its own icon, and " + version_instead);
    return copied;
  }
  if (want_icon) {
    if (const ResourceEntry* group = main_icon_group(entries)) {
      try {
        copied.icon = icon_group_images(entries, *group);
      } catch (const ResourceError& error) {
        notes->push_back(std::string("the installer's icon is damaged (") + error.what() +
                         "); the launcher keeps its own icon");
      }
    }
  }
  for (const ResourceEntry& entry : entries) {
    if (entry.type != VERSION_TYPE) continue;
    try {
      copied.version = version_info_parse(entry.data.data(), entry.data.size());
      copied.version_bytes = entry.data;
    } catch (const ResourceError& error) {
      notes->push_back(std::string("the installer's version information is damaged (") + error.what() + "); " +
                       (face ? "the launcher's is made from the installer's name" : "the launcher keeps its own"));
    }
    break;
  }
  return copied;
}

// The launcher's resources, or an IdentityError saying why they cannot be rewritten.
std::vector<ResourceEntry> stub_resources(const std::vector<uint8_t>& stub) {
  try {
    const PeLayout layout = pe_layout_read(stub.data(), stub.size());
    return resources_parse(stub.data(), stub.size(), layout);
  } catch (const ResourceError& error) {
    refuse(std::string("the launcher's resources cannot be read: ") + error.what());
  }
}

template <typename Function>
auto for_stub(const char* what, Function function) -> decltype(function()) {
  try {
    return function();
  } catch (const ResourceError& error) {
    refuse(std::string("the launcher's ") + what + " cannot be rewritten: " + error.what());
  }
}

// The name the publisher's face takes by default, and where it came from.
struct FaceName {
  std::u16string name;
  const char* source;
};

FaceName face_name(const Copied& copied, const std::string& installer_name) {
  if (copied.version) {
    for (const char16_t* key : {u"ProductName", u"FileDescription"}) {
      const std::u16string* value = version_info_get(*copied.version, key);
      if (value == nullptr) continue;
      if (const auto name = usable_name(*value))
        return {*name, key[0] == u'P' ? "the installer's ProductName" : "the installer's FileDescription"};
    }
  }
  std::u16string wide;
  std::string reason;
  if (utf8_to_utf16(installer_name, &wide, &reason))
    if (const auto name = usable_name(wide)) return {*name, "the installer's file name"};
  return {u"Setup", "a name of its own, the installer's file name being unusable"};
}

// fresh_name: make version information from this name rather than keep the launcher's own (the
// installer had none to copy).
void apply_version(std::vector<ResourceEntry>* entries, const Copied& copied, const Checked& c,
                   const std::u16string* fresh_name) {
  if (fresh_name != nullptr && !copied.version) {
    VersionInfo info;
    const std::u16string& product = c.product ? *c.product : *fresh_name;
    version_info_set(&info, u"ProductName", product);
    version_info_set(&info, u"FileDescription", product);
    if (c.company) version_info_set(&info, u"CompanyName", *c.company);
    const std::u16string text = c.version_text ? *c.version_text : u"0.0.0.0";
    version_info_set(&info, u"ProductVersion", text);
    version_info_set(&info, u"FileVersion", text);
    version_info_set_numbers(&info, c.version ? *c.version : std::array<uint16_t, 4>{});
    resources_put(entries, VERSION_TYPE, VERSION_NAME, LAUNCHER_LANGUAGE,
                  for_stub("version information", [&] { return version_info_build(info); }));
    return;
  }
  if (!c.version_changes()) {
    if (copied.version_bytes)
      resources_put(entries, VERSION_TYPE, VERSION_NAME, LAUNCHER_LANGUAGE, *copied.version_bytes);
    return;
  }
  VersionInfo info;
  if (copied.version) {
    info = *copied.version;
  } else if (const ResourceEntry* own = resources_pick(*entries, VERSION_TYPE, VERSION_NAME, LAUNCHER_LANGUAGE)) {
    info = for_stub("version information", [&] { return version_info_parse(own->data.data(), own->data.size()); });
  }
  if (c.product) {
    version_info_set(&info, u"ProductName", *c.product);
    version_info_set(&info, u"FileDescription", *c.product);
  }
  if (c.company) version_info_set(&info, u"CompanyName", *c.company);
  if (c.version) {
    version_info_set(&info, u"ProductVersion", *c.version_text);
    version_info_set(&info, u"FileVersion", *c.version_text);
    version_info_set_numbers(&info, *c.version);
  }
  resources_put(entries, VERSION_TYPE, VERSION_NAME, LAUNCHER_LANGUAGE,
                for_stub("version information", [&] { return version_info_build(info); }));
}

// title_given: the title came from --title, and a launcher without the window's template is
// refused; a title of the publisher's face is written only where the template is.
void apply_texts(std::vector<ResourceEntry>* entries, const Checked& c, bool title_given) {
  const ResourceEntry* dialog = resources_pick(*entries, DIALOG_TYPE, PROGRESS_DIALOG, LAUNCHER_LANGUAGE);
  if (c.title && (dialog != nullptr || title_given)) {
    if (dialog == nullptr) refuse("the launcher has no progress window template (dialog 102) to take a title");
    resources_put(entries, DIALOG_TYPE, PROGRESS_DIALOG, LAUNCHER_LANGUAGE,
                  for_stub("progress window", [&] { return dialog_with_caption(dialog->data, *c.title); }));
  }
  if (c.texts_change()) {
    StringBlock block;
    if (const ResourceEntry* own = resources_pick(*entries, STRING_TYPE, TEXTS_BLOCK, LAUNCHER_LANGUAGE)) {
      block = for_stub("string table", [&] { return string_block_parse(own->data); });
    } else {
      block[string_block_index(IDS_FAILURE_CAPTION)] = ascii_utf16(FAILURE_CAPTION);
      block[string_block_index(IDS_PUBLISHER_ADDRESS)] = ascii_utf16(DEFAULT_PUBLISHER_ADDRESS);
    }
    if (c.failure_title) block[string_block_index(IDS_FAILURE_CAPTION)] = *c.failure_title;
    if (c.url) block[string_block_index(IDS_PUBLISHER_ADDRESS)] = *c.url;
    resources_put(entries, STRING_TYPE, TEXTS_BLOCK, LAUNCHER_LANGUAGE, string_block_build(block));
  }
}

}  // namespace

bool parse_four_part_version(const std::string& text, std::array<uint16_t, 4>* version) {
  size_t at = 0;
  for (size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    uint32_t value = 0;
    size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      if (value > 0xFFFF) return false;
    }
    if (digits == 0) return false;
    (*version)[part] = static_cast<uint16_t>(value);
  }
  return at == text.size();
}

IdentityResult apply_identity(const std::vector<uint8_t>& stub, const uint8_t* installer, size_t installer_size,
                              const IdentityChoice& choice) {
  Checked c = check_choice(choice);
  IdentityResult result;
  Copied copied;
  if (choice.copy_from_installer && installer != nullptr)
    copied = copy_from(installer, installer_size, !c.icon, choice.publisher_face, &result.notes);
  std::optional<FaceName> face;
  if (choice.publisher_face) {
    face = face_name(copied, choice.installer_name);
    const std::string name = utf16_to_utf8(face->name);
    if (c.title && c.failure_title)
      result.texts_summary = "title and failure caption from --title and --failure-title";
    else if (c.title)
      result.texts_summary = "title from --title; failure caption \"" + name + "\", from " + face->source;
    else if (c.failure_title)
      result.texts_summary = "title \"" + name + "\", from " + face->source + "; failure caption from --failure-title";
    else
      result.texts_summary = "title and failure caption \"" + name + "\", from " + face->source;
    result.texts_summary += c.url ? "; address from --url" : "; no address in the failure message (--url gives one)";
    if (!c.title) c.title = face->name;
    if (!c.failure_title) c.failure_title = face->name;
    if (!c.url) c.url = std::u16string();  // the message then has no address line
  }
  const bool icon = c.icon || copied.icon;
  if (!icon && !copied.version && !c.version_changes() && !c.title && !c.texts_change()) {
    result.stub = stub;
    return result;
  }

  const std::vector<ResourceEntry> original = stub_resources(stub);
  std::vector<ResourceEntry> entries = original;
  if (icon)
    for_stub("icon", [&] { icon_group_install(&entries, IDI_LAUNCHER, LAUNCHER_LANGUAGE, c.icon ? *c.icon : *copied.icon); });
  apply_version(&entries, copied, c, face ? &face->name : nullptr);
  apply_texts(&entries, c, choice.title.has_value());

  if (resources_sorted(entries) == resources_sorted(original)) {
    result.stub = stub;
    return result;
  }
  result.stub = for_stub("resources", [&] {
    const PeLayout layout = pe_layout_read(stub.data(), stub.size());
    const PeSection& section = pe_rebuildable_resource_section(stub.data(), stub.size(), layout);
    return pe_replace_resources(stub, resources_build(entries, section.virtual_address));
  });
  return result;
}

LauncherIdentity read_identity(const uint8_t* image, size_t n) {
  const PeLayout layout = pe_layout_read(image, n);
  const std::vector<ResourceEntry> entries = resources_parse(image, n, layout);
  LauncherIdentity identity;
  auto problem = [&](const char* what, const ResourceError& error) {
    identity.problems.push_back(std::string(what) + ": " + error.what());
  };

  if (const ResourceEntry* group = resources_pick(entries, GROUP_ICON_TYPE, LAUNCHER_ICON, LAUNCHER_LANGUAGE)) {
    try {
      for (const IconImage& image_ : icon_group_images(entries, *group))
        identity.icons.push_back(describe_icon_image(image_));
    } catch (const ResourceError& error) {
      problem("icon group 107", error);
    }
  }
  if (const ResourceEntry* version = resources_pick(entries, VERSION_TYPE, VERSION_NAME, LAUNCHER_LANGUAGE)) {
    try {
      const VersionInfo info = version_info_parse(version->data.data(), version->data.size());
      if (!info.tables.empty())
        for (const VersionString& string : info.tables.front().strings)
          identity.version_strings.emplace_back(utf16_to_utf8(string.key), utf16_to_utf8(string.value));
      identity.has_version_numbers = info.has_fixed;
      const FixedFileInfo& f = info.fixed;
      identity.file_version = {static_cast<uint16_t>(f.file_version_ms >> 16), static_cast<uint16_t>(f.file_version_ms),
                               static_cast<uint16_t>(f.file_version_ls >> 16), static_cast<uint16_t>(f.file_version_ls)};
      identity.product_version = {
          static_cast<uint16_t>(f.product_version_ms >> 16), static_cast<uint16_t>(f.product_version_ms),
          static_cast<uint16_t>(f.product_version_ls >> 16), static_cast<uint16_t>(f.product_version_ls)};
    } catch (const ResourceError& error) {
      problem("version information", error);
    }
  }
  if (const ResourceEntry* dialog = resources_pick(entries, DIALOG_TYPE, PROGRESS_DIALOG, LAUNCHER_LANGUAGE)) {
    try {
      identity.title = utf16_to_utf8(dialog_caption(dialog->data));
    } catch (const ResourceError& error) {
      problem("progress window template 102", error);
    }
  }
  // A launcher without the texts' block (a bare one) shows its own; with it, an empty caption is
  // the launcher's own too, and an empty address is none: the message names no address.
  identity.failure_title = FAILURE_CAPTION;
  identity.url = DEFAULT_PUBLISHER_ADDRESS;
  if (const ResourceEntry* block = resources_pick(entries, STRING_TYPE, TEXTS_BLOCK, LAUNCHER_LANGUAGE)) {
    try {
      const StringBlock strings = string_block_parse(block->data);
      if (!strings[string_block_index(IDS_FAILURE_CAPTION)].empty())
        identity.failure_title = utf16_to_utf8(strings[string_block_index(IDS_FAILURE_CAPTION)]);
      identity.url = utf16_to_utf8(strings[string_block_index(IDS_PUBLISHER_ADDRESS)]);
    } catch (const ResourceError& error) {
      problem("string table 13", error);
    }
  }
  return identity;
}
