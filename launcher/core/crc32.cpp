#include "crc32.h"

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;

// table[k][b]: the CRC register after byte b followed by k zero bytes.
uint32_t table[8][256];
bool table_ready = false;

void build_table() {
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ CRC32_POLYNOMIAL : c >> 1;
    table[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (int k = 1; k < 8; ++k) table[k][b] = (table[k - 1][b] >> 8) ^ table[0][table[k - 1][b] & 0xFFu];
  }
  table_ready = true;
}

// Little-endian load, whatever the host.
inline uint32_t load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n) {
  if (!table_ready) build_table();
  uint32_t c = ~crc;
  while (n >= 8) {
    const uint32_t lo = load32(data) ^ c;
    const uint32_t hi = load32(data + 4);
    c = table[7][lo & 0xFFu] ^ table[6][(lo >> 8) & 0xFFu] ^ table[5][(lo >> 16) & 0xFFu] ^
        table[4][lo >> 24] ^ table[3][hi & 0xFFu] ^ table[2][(hi >> 8) & 0xFFu] ^
        table[1][(hi >> 16) & 0xFFu] ^ table[0][hi >> 24];
    data += 8;
    n -= 8;
  }
  while (n-- > 0) c = (c >> 8) ^ table[0][(c ^ *data++) & 0xFFu];
  return ~c;
}
