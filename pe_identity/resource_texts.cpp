#include "resource_texts.h"

#include "mem.h"
#include "pe_resources.h"

namespace {

constexpr uint32_t DS_SETFONT = 0x40;
constexpr uint32_t DLGTEMPLATE_BYTES = 18;  // style, extended style, item count, x, y, cx, cy

// Where the parts of a classic template lie.
struct DialogLayout {
  size_t caption_at, caption_end;  // the caption's units, without its zero
  size_t header_end;               // after the font (or the caption, without DS_SETFONT)
};

size_t skip_text(const std::vector<uint8_t>& d, size_t at, const char* what) {
  for (;; at += 2) {
    if (d.size() < at + 2) throw ResourceError(std::string("the dialog template ends inside its ") + what);
    if (load_le16(d.data() + at) == 0) return at;
  }
}

// A menu or class field: nothing (0), an ordinal (0xFFFF and a word), or a text.
size_t skip_name(const std::vector<uint8_t>& d, size_t at, const char* what) {
  if (d.size() < at + 2) throw ResourceError(std::string("the dialog template ends before its ") + what);
  const uint16_t first = load_le16(d.data() + at);
  if (first == 0) return at + 2;
  if (first == 0xFFFF) {
    if (d.size() < at + 4) throw ResourceError(std::string("the dialog template ends inside its ") + what);
    return at + 4;
  }
  return skip_text(d, at, what) + 2;
}

DialogLayout dialog_layout(const std::vector<uint8_t>& d) {
  if (d.size() >= 4 && load_le16(d.data()) == 1 && load_le16(d.data() + 2) == 0xFFFF)
    throw ResourceError("the dialog template is an extended one (DLGTEMPLATEEX), not a classic DLGTEMPLATE");
  if (d.size() < DLGTEMPLATE_BYTES) throw ResourceError("the dialog template is cut short");
  DialogLayout layout;
  size_t at = skip_name(d, DLGTEMPLATE_BYTES, "menu");
  at = skip_name(d, at, "class");
  layout.caption_at = at;
  layout.caption_end = skip_text(d, at, "caption");
  at = layout.caption_end + 2;
  if ((load_le32(d.data()) & DS_SETFONT) != 0) {
    if (d.size() < at + 2) throw ResourceError("the dialog template ends before its font");
    at = skip_text(d, at + 2, "font name") + 2;
  }
  layout.header_end = at;
  return layout;
}

}  // namespace

std::u16string dialog_caption(const std::vector<uint8_t>& dialog) {
  const DialogLayout layout = dialog_layout(dialog);
  std::u16string caption;
  for (size_t at = layout.caption_at; at < layout.caption_end; at += 2)
    caption += static_cast<char16_t>(load_le16(dialog.data() + at));
  return caption;
}

std::vector<uint8_t> dialog_with_caption(const std::vector<uint8_t>& dialog, const std::u16string& caption) {
  if (caption.find(u'\0') != std::u16string::npos) throw ResourceError("a dialog caption holding a zero");
  const DialogLayout layout = dialog_layout(dialog);
  const auto begin = dialog.begin();
  std::vector<uint8_t> out(begin, begin + static_cast<ptrdiff_t>(layout.caption_at));
  for (char16_t unit : caption) {
    uint8_t bytes[2];
    store_le16(bytes, unit);
    out.insert(out.end(), bytes, bytes + 2);
  }
  // The zero, then the font, as they were.
  out.insert(out.end(), begin + static_cast<ptrdiff_t>(layout.caption_end), begin + static_cast<ptrdiff_t>(layout.header_end));
  // The items start at the next 4-byte boundary, old and new.
  const size_t old_items = std::min(dialog.size(), (layout.header_end + 3) & ~size_t{3});
  if (old_items < dialog.size()) {
    while (out.size() % 4 != 0) out.push_back(0);
    out.insert(out.end(), begin + static_cast<ptrdiff_t>(old_items), dialog.end());
  }
  return out;
}

StringBlock string_block_parse(const std::vector<uint8_t>& block) {
  StringBlock strings;
  size_t at = 0;
  for (uint32_t i = 0; i < STRINGS_PER_BLOCK; ++i) {
    if (block.size() < at + 2) throw ResourceError("the string table ends before string " + std::to_string(i));
    const size_t length = load_le16(block.data() + at);
    at += 2;
    if ((block.size() - at) / 2 < length)
      throw ResourceError("string " + std::to_string(i) + " of the string table runs past its end");
    for (size_t k = 0; k < length; ++k, at += 2) strings[i] += static_cast<char16_t>(load_le16(block.data() + at));
  }
  return strings;
}

std::vector<uint8_t> string_block_build(const StringBlock& strings) {
  std::vector<uint8_t> out;
  auto put16 = [&](uint16_t value) {
    uint8_t bytes[2];
    store_le16(bytes, value);
    out.insert(out.end(), bytes, bytes + 2);
  };
  for (const std::u16string& text : strings) {
    if (text.size() > 0xFFFF) throw ResourceError("a string longer than a string table holds");
    put16(static_cast<uint16_t>(text.size()));
    for (char16_t unit : text) put16(unit);
  }
  return out;
}
