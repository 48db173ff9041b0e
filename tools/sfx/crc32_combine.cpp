// CRC-32 joining by arithmetic on polynomials over GF(2): appending n zero bytes to A multiplies
// A's (unconditioned) remainder by x^(8n) modulo the CRC polynomial, and the pre- and
// post-conditioning of the two CRCs cancel out, so CRC(A B) = CRC(A) * x^(8n) + CRC(B).
// Polynomials are held bit-reflected, as the CRC itself: x^0 is the top bit.
#include "crc32_combine.h"

namespace {

constexpr uint32_t POLYNOMIAL = 0xEDB88320u;  // reflected
constexpr uint32_t X0 = 0x80000000u;           // the polynomial 1

// a * b modulo the CRC polynomial.
uint32_t multiply(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = X0; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ POLYNOMIAL : b >> 1;  // b * x
  }
  return product;
}

// x^(2^k) modulo the polynomial, for every k a 64-bit byte count can need: the bit count 8 n
// reaches x^(2^66).
struct PowerTable {
  uint32_t power[67];
  PowerTable() {
    uint32_t p = X0 >> 1;  // x^1
    for (uint32_t& entry : power) {
      entry = p;
      p = multiply(p, p);
    }
  }
};

// x^(8 n) modulo the polynomial.
uint32_t x_to_8n(uint64_t n) {
  static const PowerTable table;
  uint32_t result = X0;
  for (unsigned k = 3; n != 0; n >>= 1, ++k)
    if (n & 1) result = multiply(table.power[k], result);
  return result;
}

}  // namespace

uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
  return multiply(x_to_8n(length_b), crc_a) ^ crc_b;
}
