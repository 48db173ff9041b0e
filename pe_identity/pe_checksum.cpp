#include "pe_checksum.h"

#include <algorithm>

#include "mem.h"

namespace {

constexpr uint8_t ZEROS[4] = {};
constexpr uint64_t FIELD_BYTES = 4;

uint64_t fold16(uint64_t sum) {
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

}  // namespace

// Words are added four bytes at a time: as 2^16 is 1 modulo 0xFFFF, a 32-bit word adds as its two
// halves do, and folding at the end gives what folding after every word gives.
void PeChecksum::add(const uint8_t* data, size_t n) {
  if (n == 0) return;
  if (position_ % 2 != 0) {
    sum_ += uint64_t{odd_byte_} | uint64_t{data[0]} << 8;
    ++data, --n, ++position_;
  }
  while (n >= 4) {
    // At most 2^20 words between folds keeps the sum far below 2^64.
    const size_t words = std::min<size_t>(n / 4, size_t{1} << 20);
    for (size_t i = 0; i < words; ++i) sum_ += load_le32(data + 4 * i);
    sum_ = fold16(sum_);
    data += 4 * words, n -= 4 * words, position_ += 4 * words;
  }
  for (; n >= 2; data += 2, n -= 2, position_ += 2) sum_ += load_le16(data);
  if (n == 1) {
    odd_byte_ = data[0];
    ++position_;
  }
}

void PeChecksum::update(const uint8_t* data, size_t n) {
  while (n > 0) {
    size_t take;
    if (position_ < field_) {
      take = static_cast<size_t>(std::min<uint64_t>(n, field_ - position_));
      add(data, take);
    } else if (position_ < field_ + FIELD_BYTES) {
      take = static_cast<size_t>(std::min<uint64_t>(n, field_ + FIELD_BYTES - position_));
      add(ZEROS, take);
    } else {
      take = n;
      add(data, take);
    }
    data += take, n -= take;
  }
}

uint32_t PeChecksum::value() const {
  uint64_t sum = sum_;
  if (position_ % 2 != 0) sum += odd_byte_;
  return static_cast<uint32_t>(fold16(sum) + position_);
}

uint32_t pe_checksum(const uint8_t* file, size_t n, uint64_t field_offset) {
  PeChecksum checksum(field_offset);
  checksum.update(file, n);
  return checksum.value();
}
