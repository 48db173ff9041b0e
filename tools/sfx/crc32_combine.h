// Joining CRC-32s: the CRC of two pieces of data one after the other, from the CRC of each and
// the length of the second. Blocks coded on separate threads each get their CRC there, and the
// writer joins them in order, so the whole input's CRC costs the writer almost nothing.
#pragma once

#include <cstdint>

// The CRC-32 (as crc32_update gives it) of A then B.
uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);
