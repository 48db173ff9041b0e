// Numbers as the tool writes them for people.
#pragma once

#include <cstdint>
#include <string>

// "1 block", "3 blocks".
std::string plural(uint64_t count, const char* one, const char* many);

// The one way the tool gives a ratio, as `sfx bench` does: original bytes / payload bytes, with
// two decimals ("2.10"), or "-" for an empty original.
std::string ratio_text(uint64_t original, uint64_t payload);
double ratio_of(uint64_t original, uint64_t payload);

// A CRC-32 as eight lower-case hex digits.
std::string crc_text(uint32_t crc);
