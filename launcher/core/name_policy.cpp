// The name policy (name_policy.h). Linked into the launcher stubs: no C++ library, no allocation.
#include "name_policy.h"

#include <cassert>
#include <cstring>

namespace {

// The code point at s[i] (i < n) in strict UTF-8: its length in bytes and *cp, or 0 for bytes
// that are not UTF-8 there (a stray or missing continuation byte, an overlong form, a surrogate,
// a code point past U+10FFFF).
uint32_t utf8_next(const uint8_t* s, uint32_t n, uint32_t i, uint32_t* cp) {
  const uint32_t lead = s[i];
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  uint32_t length, c, least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (n - i < length) return 0;
  for (uint32_t k = 1; k < length; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) return 0;
    c = c << 6 | (s[i + k] & 0x3Fu);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return length;
}

uint8_t ascii_upper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

bool same_ascii_upper(const uint8_t* s, const char* upper, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    if (ascii_upper(s[i]) != static_cast<uint8_t>(upper[i])) return false;
  }
  return true;
}

// Whether a component names a device Windows reserves in every folder: the part before its first
// dot, blanks at its end left out (Windows drops them), is CON, PRN, AUX, NUL, CONIN$, CONOUT$,
// or COM or LPT and one digit, superscript ¹ ² ³ (UTF-8 C2 B9, C2 B2, C2 B3) included.
bool is_device(const uint8_t* c, uint32_t n) {
  uint32_t base = 0;
  while (base < n && c[base] != '.') ++base;
  while (base > 0 && c[base - 1] == ' ') --base;
  if (base == 3) {
    return same_ascii_upper(c, "CON", 3) || same_ascii_upper(c, "PRN", 3) ||
           same_ascii_upper(c, "AUX", 3) || same_ascii_upper(c, "NUL", 3);
  }
  if (base == 6) return same_ascii_upper(c, "CONIN$", 6);
  if (base == 7) return same_ascii_upper(c, "CONOUT$", 7);
  if (base != 4 && base != 5) return false;
  if (!same_ascii_upper(c, "COM", 3) && !same_ascii_upper(c, "LPT", 3)) return false;
  if (base == 4) return c[3] >= '0' && c[3] <= '9';
  return c[3] == 0xC2 && (c[4] == 0xB9 || c[4] == 0xB2 || c[4] == 0xB3);
}

// One component (between slashes) of a name already known to be UTF-8.
NameFault component_check(const uint8_t* c, uint32_t n) {
  if (n == 0) return NAME_EMPTY;
  uint32_t units = 0;
  for (uint32_t i = 0; i < n;) {
    uint32_t cp = 0;
    i += utf8_next(c, n, i, &cp);
    if (cp < 0x20 || cp == 0x7F) return NAME_CONTROL;
    if (cp == '\\') return NAME_BACKSLASH;
    if (cp == ':') return NAME_COLON;
    if (cp == '*' || cp == '?' || cp == '"' || cp == '<' || cp == '>' || cp == '|') {
      return NAME_RESERVED_CHARACTER;
    }
    units += cp >= 0x10000 ? 2 : 1;
  }
  if (c[0] == '.' && (n == 1 || (n == 2 && c[1] == '.'))) return NAME_DOT;
  if (units > NAME_MAX_COMPONENT_UNITS) return NAME_TOO_LONG;
  if (c[n - 1] == '.' || c[n - 1] == ' ') return NAME_TRAILING_DOT_OR_BLANK;
  if (is_device(c, n)) return NAME_DEVICE;
  return NAME_OK;
}

// Unicode's simple upper-case mapping (UnicodeData.txt, checked against Unicode 14) of every code
// point of the blocks Basic Latin, Latin-1 Supplement, Latin Extended-A (U+0000 to U+017F), Greek
// and Coptic (U+0370 to U+03FF) and Cyrillic (U+0400 to U+04FF); every other code point folds to
// itself. A range maps by adding delta to each of its code points, or with every_other to every
// second one from first (the blocks that alternate capital and small letters). The simple mapping
// maps one code point to one, so 'ß' stays 'ß' (Windows too keeps "Straße" and "STRASSE" apart).
// It folds a little more than NTFS's own table (ı, ſ, ς, ϐ, ...): two names it takes for one
// that Windows would not are refused, never the other way round.
struct FoldRange {
  uint16_t first, last;
  int16_t delta;
  uint8_t every_other;
};
constexpr FoldRange FOLD_RANGES[] = {
    {0x0061, 0x007A, -32, 0},  {0x00B5, 0x00B5, 743, 0},  {0x00E0, 0x00F6, -32, 0},
    {0x00F8, 0x00FE, -32, 0},  {0x00FF, 0x00FF, 121, 0},  {0x0101, 0x012F, -1, 1},
    {0x0131, 0x0131, -232, 0}, {0x0133, 0x0137, -1, 1},   {0x013A, 0x0148, -1, 1},
    {0x014B, 0x0177, -1, 1},   {0x017A, 0x017E, -1, 1},   {0x017F, 0x017F, -300, 0},
    {0x0371, 0x0373, -1, 1},   {0x0377, 0x0377, -1, 0},   {0x037B, 0x037D, 130, 0},
    {0x03AC, 0x03AC, -38, 0},  {0x03AD, 0x03AF, -37, 0},  {0x03B1, 0x03C1, -32, 0},
    {0x03C2, 0x03C2, -31, 0},  {0x03C3, 0x03CB, -32, 0},  {0x03CC, 0x03CC, -64, 0},
    {0x03CD, 0x03CE, -63, 0},  {0x03D0, 0x03D0, -62, 0},  {0x03D1, 0x03D1, -57, 0},
    {0x03D5, 0x03D5, -47, 0},  {0x03D6, 0x03D6, -54, 0},  {0x03D7, 0x03D7, -8, 0},
    {0x03D9, 0x03EF, -1, 1},   {0x03F0, 0x03F0, -86, 0},  {0x03F1, 0x03F1, -80, 0},
    {0x03F2, 0x03F2, 7, 0},    {0x03F3, 0x03F3, -116, 0}, {0x03F5, 0x03F5, -96, 0},
    {0x03F8, 0x03F8, -1, 0},   {0x03FB, 0x03FB, -1, 0},   {0x0430, 0x044F, -32, 0},
    {0x0450, 0x045F, -80, 0},  {0x0461, 0x0481, -1, 1},   {0x048B, 0x04BF, -1, 1},
    {0x04C2, 0x04CE, -1, 1},   {0x04CF, 0x04CF, -15, 0},  {0x04D1, 0x04FF, -1, 1},
};

uint32_t fold_upper(uint32_t cp) {
  if (cp > 0x04FF) return cp;
  for (const FoldRange& r : FOLD_RANGES) {
    if (cp >= r.first && cp <= r.last && (!r.every_other || ((cp - r.first) & 1) == 0)) {
      return static_cast<uint32_t>(static_cast<int32_t>(cp) + r.delta);
    }
  }
  return cp;
}

// A slot holds a name's key with bit 1 set (0 is an empty slot) and bit 0 set for a directory.
constexpr uint64_t KEY_USED = 2, KEY_DIRECTORY = 1;

// The slot that holds key (a directory's or a file's), else the empty slot where it would go.
uint32_t probe(const NameTable* table, uint64_t key) {
  const uint32_t mask = table->capacity - 1;
  uint32_t i = static_cast<uint32_t>(key >> 32) & mask;
  while (table->slots[i] != 0 && (table->slots[i] | KEY_DIRECTORY) != key) i = (i + 1) & mask;
  return i;
}

uint64_t table_key(const char* name, uint32_t n) {
  return name_fold(name, n) | KEY_USED | KEY_DIRECTORY;
}

}  // namespace

// The checks run in this order, and the first that fails is the verdict: the name's length in
// bytes, UTF-8, a leading slash or backslash, a drive, the number of components, then each
// component from the left (its characters from the left, ".", "..", its length in UTF-16 units,
// a trailing dot or blank, a device name).
NameFault name_check(const char* name, uint32_t n) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(name);
  if (n == 0) return NAME_EMPTY;
  if (n > NAME_MAX_BYTES) return NAME_TOO_LONG;
  uint32_t components = 1;
  for (uint32_t i = 0; i < n;) {
    uint32_t cp = 0;
    const uint32_t length = utf8_next(s, n, i, &cp);
    if (length == 0) return NAME_NOT_UTF8;
    if (cp == '/') ++components;
    i += length;
  }
  if (s[0] == '/' || s[0] == '\\') return NAME_ABSOLUTE;
  if (n >= 2 && s[1] == ':' && ascii_upper(s[0]) >= 'A' && ascii_upper(s[0]) <= 'Z') return NAME_DRIVE;
  if (components > NAME_MAX_COMPONENTS) return NAME_TOO_DEEP;
  for (uint32_t start = 0; start <= n;) {
    uint32_t end = start;
    while (end < n && s[end] != '/') ++end;
    const NameFault fault = component_check(s + start, end - start);
    if (fault != NAME_OK) return fault;
    start = end + 1;
  }
  return NAME_OK;
}


// FNV-1a over three bytes per folded code point (a byte that is not UTF-8 goes in as a value
// past U+10FFFF, so it matches no character), then MurmurHash3's 64-bit finaliser so that every
// bit of the key, the table's slot bits included, depends on every byte. Two different names
// share a key with a chance of about 2^-62 per pair once the table takes two bits.
uint64_t name_fold(const char* name, uint32_t n) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(name);
  uint64_t h = 0xCBF29CE484222325u;
  for (uint32_t i = 0; i < n;) {
    uint32_t cp = 0;
    uint32_t length = utf8_next(s, n, i, &cp);
    if (length == 0) cp = 0x110000u + s[i], length = 1;
    cp = fold_upper(cp);
    for (uint32_t shift = 0; shift < 24; shift += 8) {
      h = (h ^ ((cp >> shift) & 0xFF)) * 0x100000001B3u;
    }
    i += length;
  }
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDu;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53u;
  h ^= h >> 33;
  return h;
}

void name_table_init(NameTable* table, uint64_t* slots, uint32_t capacity) {
  assert(capacity >= 2 && (capacity & (capacity - 1)) == 0 && "a power of two");
  table->slots = slots;
  table->capacity = capacity;
  table->count = 0;
  std::memset(slots, 0, capacity * sizeof *slots);
}

// The table holds at most half its capacity, which keeps an empty slot to end every probe and
// the probes short.
bool name_table_add(NameTable* table, const char* name, uint32_t n, bool directory) {
  if (table->count >= table->capacity / 2) return false;
  const uint64_t key = table_key(name, n);
  const uint32_t i = probe(table, key);
  if (table->slots[i] != 0) return false;
  table->slots[i] = directory ? key : key & ~KEY_DIRECTORY;
  ++table->count;
  return true;
}

bool name_table_has_directory(const NameTable* table, const char* name, uint32_t n) {
  const uint64_t key = table_key(name, n);
  return table->slots[probe(table, key)] == key;
}
