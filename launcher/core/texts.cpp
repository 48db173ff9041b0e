#include "texts.h"

#include <cstring>

namespace {

char* put(char* out, const char* text) {
  const size_t n = std::strlen(text);
  std::memcpy(out, text, n + 1);
  return out + n;
}

// The UTF-16 units a UTF-8 text takes: one per character, two past U+FFFF (four-byte forms).
uint32_t utf16_units(const char* text) {
  uint32_t units = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if ((*p & 0xC0) != 0x80) units += *p >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace

void compose_failure_message(const char* address, char* out, uint32_t capacity) {
  if (address[0] == '\0' && capacity >= sizeof FAILURE_MESSAGE_FIRST_LINE) {
    put(out, FAILURE_MESSAGE_FIRST_LINE);
    return;
  }
  const size_t fixed = sizeof FAILURE_MESSAGE_HEAD - 1 + sizeof FAILURE_MESSAGE_TAIL - 1;
  if (utf16_units(address) > MAX_ADDRESS_CHARS || std::strlen(address) + fixed >= capacity) {
    address = DEFAULT_PUBLISHER_ADDRESS;
  }
  put(put(put(out, FAILURE_MESSAGE_HEAD), address), FAILURE_MESSAGE_TAIL);
}
