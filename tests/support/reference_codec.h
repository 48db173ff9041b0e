// A plain, slow second reading of the block format, written apart from the codec under test:
// positions as indices, the seed text as a sequence of its own, every rule spelt out step by
// step. The tests hold the codec's output to it byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace reference {

std::vector<uint8_t> encode(const std::vector<uint8_t>& input);

// The decoded data, or nothing for a malformed block (shorter than its header, a control word
// or item cut off, or a bare control word at the end).
std::optional<std::vector<uint8_t>> decode(const std::vector<uint8_t>& block);

}  // namespace reference
