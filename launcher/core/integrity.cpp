#include "integrity.h"

#include <cstring>

#include "crc32.h"
#include "mem.h"

namespace {

constexpr uint32_t CHECKED_BYTES = 20;   // the bytes the record's check covers
constexpr uint32_t RUN_ENTRY_AT = 16;
constexpr uint32_t CHECK_AT = 20;
constexpr uint32_t MAGIC_AT = 24;
static_assert(MAGIC_AT + INTEGRITY_MAGIC_BYTES == INTEGRITY_RECORD_BYTES, "the magic ends the record");

}  // namespace

void integrity_record_write(const IntegrityRecord& record, uint8_t out[INTEGRITY_RECORD_BYTES]) {
  std::memset(out, 0, INTEGRITY_RECORD_BYTES);
  store_le64(out, record.decoded_length);
  store_le32(out + 8, record.data_crc);
  store_le16(out + 12, INTEGRITY_RECORD_BYTES);
  out[14] = INTEGRITY_VERSION;
  out[15] = record.flags;
  store_le32(out + RUN_ENTRY_AT, record.run_entry);
  store_le32(out + CHECK_AT, crc32_update(0, out, CHECKED_BYTES));
  std::memcpy(out + MAGIC_AT, INTEGRITY_MAGIC, INTEGRITY_MAGIC_BYTES);
}

IntegrityStatus integrity_record_read(const uint8_t in[INTEGRITY_RECORD_BYTES], IntegrityRecord* record) {
  if (std::memcmp(in + MAGIC_AT, INTEGRITY_MAGIC, INTEGRITY_MAGIC_BYTES) != 0) return INTEGRITY_ABSENT;
  if (load_le32(in + CHECK_AT) != crc32_update(0, in, CHECKED_BYTES)) return INTEGRITY_DAMAGED;
  if (load_le16(in + 12) != INTEGRITY_RECORD_BYTES || in[14] != INTEGRITY_VERSION) {
    return INTEGRITY_UNSUPPORTED;
  }
  record->decoded_length = load_le64(in);
  record->data_crc = load_le32(in + 8);
  record->flags = in[15];
  record->run_entry = (record->flags & INTEGRITY_FLAG_BUNDLE) != 0 ? load_le32(in + RUN_ENTRY_AT) : 0;
  return INTEGRITY_PRESENT;
}
