#include "divide64.h"

uint64_t divide64(uint64_t n, uint64_t d, uint64_t* remainder) {
  uint64_t quotient = 0;
  uint64_t rest = 0;
  for (int bit = 63; bit >= 0; --bit) {
    rest = (rest << 1) | ((n >> bit) & 1);
    if (rest >= d) {
      rest -= d;
      quotient |= uint64_t{1} << bit;
    }
  }
  if (remainder != nullptr) *remainder = rest;
  return quotient;
}
