// The name policy against a model of Windows' rules written plainly here: for any bytes both give
// the same verdict. And the fold: a name and its copy with other ASCII cases (or with the letters
// of the folded blocks upper-cased by the C library's towupper) are one name, for name_fold and
// for the table.
#include <clocale>
#include <cstring>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "name_policy.h"

namespace {

// UTF-8 by the table of well-formed byte sequences: each lead byte with the range its second
// byte must fall in, the later bytes 80..BF.
bool decode(const uint8_t* d, size_t n, std::u32string* out) {
  size_t i = 0;
  while (i < n) {
    const uint8_t b = d[i];
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (b <= 0x7F) length = 1;
    else if (b >= 0xC2 && b <= 0xDF) length = 2;
    else if (b == 0xE0) length = 3, low = 0xA0;
    else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) length = 3;
    else if (b == 0xED) length = 3, high = 0x9F;
    else if (b == 0xF0) length = 4, low = 0x90;
    else if (b >= 0xF1 && b <= 0xF3) length = 4;
    else if (b == 0xF4) length = 4, high = 0x8F;
    else return false;
    if (i + length > n) return false;
    if (length > 1 && (d[i + 1] < low || d[i + 1] > high)) return false;
    for (size_t k = 2; k < length; ++k) {
      if (d[i + k] < 0x80 || d[i + k] > 0xBF) return false;
    }
    char32_t c = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
    for (size_t k = 1; k < length; ++k) c = (c << 6) | (d[i + k] & 0x3F);
    out->push_back(c);
    i += length;
  }
  return true;
}

std::set<std::u32string> device_names() {
  std::set<std::u32string> names = {U"CON", U"PRN", U"AUX", U"NUL", U"CONIN$", U"CONOUT$"};
  for (const char32_t digit : std::u32string(U"0123456789\u00B9\u00B2\u00B3")) {
    names.insert(std::u32string(U"COM") + digit);
    names.insert(std::u32string(U"LPT") + digit);
  }
  return names;
}

NameFault model_component(const std::u32string& c) {
  static const std::set<std::u32string> devices = device_names();
  if (c.empty()) return NAME_EMPTY;
  for (const char32_t ch : c) {
    if (ch < 0x20 || ch == 0x7F) return NAME_CONTROL;
    if (ch == U'\\') return NAME_BACKSLASH;
    if (ch == U':') return NAME_COLON;
    if (std::u32string(U"*?\"<>|").find(ch) != std::u32string::npos) return NAME_RESERVED_CHARACTER;
  }
  if (c == U"." || c == U"..") return NAME_DOT;
  size_t units = 0;
  for (const char32_t ch : c) units += ch > 0xFFFF ? 2 : 1;
  if (units > 255) return NAME_TOO_LONG;
  if (c.back() == U'.' || c.back() == U' ') return NAME_TRAILING_DOT_OR_BLANK;
  std::u32string base = c.substr(0, c.find(U'.'));
  while (!base.empty() && base.back() == U' ') base.pop_back();
  for (char32_t& ch : base) {
    if (ch >= U'a' && ch <= U'z') ch -= 32;
  }
  if (devices.count(base) != 0) return NAME_DEVICE;
  return NAME_OK;
}

NameFault model_check(const uint8_t* d, size_t n) {
  if (n == 0) return NAME_EMPTY;
  if (n > 1024) return NAME_TOO_LONG;
  std::u32string name;
  if (!decode(d, n, &name)) return NAME_NOT_UTF8;
  if (name[0] == U'/' || name[0] == U'\\') return NAME_ABSOLUTE;
  if (name.size() >= 2 && name[1] == U':' &&
      ((name[0] >= U'a' && name[0] <= U'z') || (name[0] >= U'A' && name[0] <= U'Z'))) {
    return NAME_DRIVE;
  }
  std::vector<std::u32string> components(1);
  for (const char32_t ch : name) {
    if (ch == U'/') components.emplace_back();
    else components.back() += ch;
  }
  if (components.size() > 64) return NAME_TOO_DEEP;
  for (const std::u32string& c : components) {
    const NameFault fault = model_component(c);
    if (fault != NAME_OK) return fault;
  }
  return NAME_OK;
}

void append_utf8(std::string* out, char32_t c) {
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

uint64_t fold(const std::string& s) { return name_fold(s.data(), static_cast<uint32_t>(s.size())); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const uint32_t n = static_cast<uint32_t>(size);
  if (name_check(name.data(), n) != model_check(data, n)) fuzz_fail("name_check differs from the model");

  // Other ASCII cases, chosen by the bytes themselves: one name.
  std::string other = name;
  for (size_t i = 0; i < other.size(); ++i) {
    const char c = other[i];
    if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && ((data[(i * 7) % size] >> (i % 8)) & 1)) {
      other[i] = static_cast<char>(c ^ 0x20);
    }
  }
  if (fold(name) != fold(other)) fuzz_fail("names differing only in ASCII case have different keys");

  // The folded blocks upper-cased by the C library: one name too.
  static const bool have_locale = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  std::u32string decoded;
  if (have_locale && decode(data, size, &decoded)) {
    std::string upper;
    for (const char32_t c : decoded) {
      const bool folded = c <= 0x17F || (c >= 0x370 && c <= 0x4FF);
      append_utf8(&upper, folded ? static_cast<char32_t>(std::towupper(static_cast<wint_t>(c))) : c);
    }
    if (fold(name) != fold(upper)) fuzz_fail("a name and its upper case have different keys");
  }

  if (name_check(name.data(), n) == NAME_OK) {
    uint64_t slots[8];
    NameTable table;
    name_table_init(&table, slots, 8);
    if (!name_table_add(&table, name.data(), n, size % 2 == 0)) fuzz_fail("an empty table refused a name");
    if (name_table_add(&table, other.data(), n, size % 3 == 0)) fuzz_fail("the table took one name twice");
    if (name_table_has_directory(&table, other.data(), n) != (size % 2 == 0)) {
      fuzz_fail("the table lost whether a name is a folder's");
    }
  }
  return 0;
}
