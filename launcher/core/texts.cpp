#include "texts.h"

#include <cstring>

#include "divide64.h"

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

void text_start(TextBuilder* b, char* buffer, uint32_t capacity) {
  b->text = buffer;
  b->capacity = capacity;
  b->length = 0;
  buffer[0] = '\0';
}

void text_put(TextBuilder* b, const char* more) {
  while (*more != '\0' && b->length + 1 < b->capacity) b->text[b->length++] = *more++;
  b->text[b->length] = '\0';
}

void text_put_number(TextBuilder* b, uint64_t value) {
  char digits[24];
  char* p = digits + sizeof digits - 1;
  *p = '\0';
  do {
    uint64_t digit = 0;
    value = divide64(value, 10, &digit);
    *--p = static_cast<char>('0' + digit);
  } while (value != 0);
  text_put(b, p);
}

void text_put_hex(TextBuilder* b, uint32_t value) {
  char digits[9];
  for (int i = 7; i >= 0; --i, value >>= 4) digits[i] = "0123456789abcdef"[value & 15];
  digits[8] = '\0';
  text_put(b, digits);
}
