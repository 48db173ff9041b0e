// The checksum in a Windows program's optional header, as MapFileAndCheckSum computes it: the
// file read as 16-bit little-endian words (an odd last byte as a word of its own), added with
// the carries folded back in, the 4-byte CheckSum field taken as zero, and the file's length
// added to the 16-bit result.
//
// It is computed as the file is written, over chunks of any size, so that a packer can write the
// stub, stream the payload after it and patch the field at the end.
//
// Where the sum of the words other than the field is a non-zero multiple of 0xFFFF, this gives
// 0xFFFF + length, as linkers do; Microsoft's imagehlp, which subtracts the stored field from a
// sum over the whole file, then gives 0 + length (about one file in 65,535).
#pragma once

#include <cstddef>
#include <cstdint>

class PeChecksum {
 public:
  // field_offset: the file offset of the CheckSum field (PeLayout::checksum_offset).
  explicit PeChecksum(uint64_t field_offset) : field_(field_offset) {}

  // The next n bytes of the file.
  void update(const uint8_t* data, size_t n);
  // The checksum of the bytes so far, as the whole file's.
  uint32_t value() const;
  uint64_t bytes() const { return position_; }

 private:
  void add(const uint8_t* data, size_t n);

  uint64_t field_;
  uint64_t position_ = 0;
  uint64_t sum_ = 0;       // of 32-bit words; folded before it could overflow
  uint8_t odd_byte_ = 0;   // the low byte of a word whose high byte is still to come
};

uint32_t pe_checksum(const uint8_t* file, size_t n, uint64_t field_offset);
