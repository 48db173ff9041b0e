#include "utf16_text.h"

#include <cstdint>

namespace {

std::string fault(size_t offset, const char* what) {
  return "invalid UTF-8 at byte " + std::to_string(offset) + ": " + what;
}

void append_utf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool utf8_to_utf16(const std::string& text, std::u16string* out, std::string* reason) {
  out->clear();
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const auto lead = static_cast<uint8_t>(text[i]);
    uint32_t c;
    size_t length;
    uint32_t least;  // the smallest code point the length may carry (shorter forms are overlong)
    if (lead < 0x80) {
      *out += static_cast<char16_t>(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      c = lead & 0x1Fu, length = 2, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      c = lead & 0x0Fu, length = 3, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      c = lead & 0x07u, length = 4, least = 0x10000;
    } else {
      *reason = fault(i, lead >= 0x80 && lead < 0xC0 ? "a continuation byte without a lead byte"
                                                     : "a byte that never occurs in UTF-8");
      return false;
    }
    if (n - i < length) {
      *reason = fault(i, "the text ends inside a character");
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        *reason = fault(i + k, "a character cut short");
        return false;
      }
      c = (c << 6) | (next & 0x3Fu);
    }
    if (c < least) {
      *reason = fault(i, "an overlong form");
      return false;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      *reason = fault(i, "a UTF-16 surrogate");
      return false;
    }
    if (c > 0x10FFFF) {
      *reason = fault(i, "a code point past U+10FFFF");
      return false;
    }
    if (c < 0x10000) {
      *out += static_cast<char16_t>(c);
    } else {
      c -= 0x10000;
      *out += static_cast<char16_t>(0xD800 + (c >> 10));
      *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
    i += length;
  }
  return true;
}

std::string utf16_to_utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(&out, c);
  }
  return out;
}

std::u16string ascii_utf16(const char* text) {
  std::u16string out;
  for (; *text != 0; ++text) out += static_cast<char16_t>(static_cast<uint8_t>(*text));
  return out;
}
