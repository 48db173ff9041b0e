#include "number_texts.h"

#include <cinttypes>
#include <cstdio>

std::string plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

double ratio_of(uint64_t original, uint64_t payload) {
  return payload == 0 ? 0.0 : static_cast<double>(original) / static_cast<double>(payload);
}

std::string ratio_text(uint64_t original, uint64_t payload) {
  if (original == 0 || payload == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", ratio_of(original, payload));
  return text;
}

std::string crc_text(uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIx32, crc);
  return text;
}
