// The launcher's texts in its resources: the progress window's caption in its dialog template,
// and the failure caption and publisher's address in a string table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- dialog templates ----------------------------------------------------------------------------

// The caption of a DLGTEMPLATE (the classic form, not DLGTEMPLATEEX). Throws ResourceError for
// an extended template or one cut short before its caption ends.
std::u16string dialog_caption(const std::vector<uint8_t>& dialog);

// The template with its caption replaced. Everything else is kept byte for byte: the header, the
// menu and class, the font, and the items, which move as one block to the next 4-byte boundary
// (items are aligned from the template's start, so they stay aligned). Throws ResourceError as
// dialog_caption does, and for a caption holding a zero.
std::vector<uint8_t> dialog_with_caption(const std::vector<uint8_t>& dialog, const std::u16string& caption);

// ---- string tables -------------------------------------------------------------------------------

// An RT_STRING resource holds 16 strings: block b (its name) holds the ids 16 * (b - 1) to
// 16 * (b - 1) + 15, each a length and that many UTF-16 units, with no terminating zero; an
// absent string is an empty one.
constexpr uint32_t STRINGS_PER_BLOCK = 16;
using StringBlock = std::array<std::u16string, STRINGS_PER_BLOCK>;

constexpr uint16_t string_block_name(uint16_t string_id) {
  return static_cast<uint16_t>(string_id / STRINGS_PER_BLOCK + 1);
}
constexpr uint32_t string_block_index(uint16_t string_id) { return string_id % STRINGS_PER_BLOCK; }

// Throws ResourceError for a block that ends before its 16th string does; bytes after it (the
// padding some compilers add) are ignored.
StringBlock string_block_parse(const std::vector<uint8_t>& block);
std::vector<uint8_t> string_block_build(const StringBlock& strings);
