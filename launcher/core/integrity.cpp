#include "integrity.h"

#include <cstring>

#include "crc32.h"

namespace {

constexpr uint32_t CHECKED_BYTES = 20;   // the bytes the record's check covers
constexpr uint32_t CHECK_AT = 20;
constexpr uint32_t MAGIC_AT = 24;
static_assert(MAGIC_AT + INTEGRITY_MAGIC_BYTES == INTEGRITY_RECORD_BYTES, "the magic ends the record");

void put_le(uint8_t* p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

void integrity_record_write(const IntegrityRecord& record, uint8_t out[INTEGRITY_RECORD_BYTES]) {
  std::memset(out, 0, INTEGRITY_RECORD_BYTES);
  put_le(out, record.decoded_length, 8);
  put_le(out + 8, record.data_crc, 4);
  put_le(out + 12, INTEGRITY_RECORD_BYTES, 2);
  out[14] = INTEGRITY_VERSION;
  put_le(out + CHECK_AT, crc32_update(0, out, CHECKED_BYTES), 4);
  std::memcpy(out + MAGIC_AT, INTEGRITY_MAGIC, INTEGRITY_MAGIC_BYTES);
}

IntegrityStatus integrity_record_read(const uint8_t in[INTEGRITY_RECORD_BYTES], IntegrityRecord* record) {
  if (std::memcmp(in + MAGIC_AT, INTEGRITY_MAGIC, INTEGRITY_MAGIC_BYTES) != 0) return INTEGRITY_ABSENT;
  if (get_le(in + CHECK_AT, 4) != crc32_update(0, in, CHECKED_BYTES)) return INTEGRITY_DAMAGED;
  if (get_le(in + 12, 2) != INTEGRITY_RECORD_BYTES || in[14] != INTEGRITY_VERSION) {
    return INTEGRITY_UNSUPPORTED;
  }
  record->decoded_length = get_le(in, 8);
  record->data_crc = static_cast<uint32_t>(get_le(in + 8, 4));
  return INTEGRITY_PRESENT;
}
