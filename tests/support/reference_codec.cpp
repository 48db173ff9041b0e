#include "reference_codec.h"

#include <array>
#include <cstring>

namespace reference {
namespace {

const char* const SEED = "123456789012345678";
constexpr int SEED_REF = -1;  // a slot that refers to the seed text

uint32_t bucket(uint8_t a, uint8_t b, uint8_t c) {
  uint32_t v = a;
  v = (v << 4) ^ b;
  v = (v << 4) ^ c;
  const int32_t product = static_cast<int32_t>(v * static_cast<uint32_t>(-417));
  return (static_cast<uint32_t>(product) >> 4) & 0x1FF;
}

struct Table {
  std::array<int, 4096> slot;
  int next_way = 0;
  Table() { slot.fill(SEED_REF); }
  void insert(uint32_t b, int position) {
    slot[b * 8 + static_cast<uint32_t>(next_way)] = position;
    next_way = (next_way + 1) % 8;
  }
};

// Byte i of the sequence a slot refers to, the data being `data` (which may still be growing).
uint8_t byte_of(int ref, int i, const std::vector<uint8_t>& data) {
  if (ref == SEED_REF) return static_cast<uint8_t>(SEED[i]);
  return data[static_cast<size_t>(ref + i)];
}

}  // namespace

std::vector<uint8_t> encode(const std::vector<uint8_t>& in) {
  const int n = static_cast<int>(in.size());
  std::vector<uint8_t> out = {0, 0, 0, 0, 0, 0};
  Table table;
  size_t control_at = 4;
  int flags = 0, count = 0;
  int back1 = -1, back2 = -1;
  int pos = 0;

  auto put_flag = [&](int f) {
    flags |= f << count;
    if (++count == 16) {
      out[control_at] = static_cast<uint8_t>(flags & 0xFF);
      out[control_at + 1] = static_cast<uint8_t>(flags >> 8);
      control_at = out.size();
      out.push_back(0);
      out.push_back(0);
      flags = 0;
      count = 0;
    }
  };
  auto item = [&]() {
    const int here = pos;
    const size_t at = static_cast<size_t>(here);
    const uint32_t b = bucket(in[at], in[at + 1], in[at + 2]);
    int best = 0, best_way = 0;
    for (int way = 0; way < 8; ++way) {
      const int ref = table.slot[b * 8 + static_cast<uint32_t>(way)];
      int len = 0;
      while (len < 18 && byte_of(ref, len, in) == in[static_cast<size_t>(here + len)]) ++len;
      if (len > best) {
        best = len;
        best_way = way;
      }
    }
    if (best >= 3) {
      const uint32_t slot = b * 8 + static_cast<uint32_t>(best_way);
      out.push_back(static_cast<uint8_t>(((slot >> 4) & 0xF0) | static_cast<uint32_t>(best - 3)));
      out.push_back(static_cast<uint8_t>(slot & 0xFF));
      put_flag(1);
      pos += best;
      if (back1 >= 0) {
        if (back2 >= 0) table.insert(static_cast<uint32_t>(back2), here - 2);
        table.insert(static_cast<uint32_t>(back1), here - 1);
      }
      back1 = back2 = -1;
      table.insert(b, here);
    } else {
      out.push_back(in[static_cast<size_t>(here)]);
      put_flag(0);
      pos += 1;
      if (back2 >= 0) table.insert(static_cast<uint32_t>(back2), here - 2);
      back2 = back1;
      back1 = static_cast<int>(b);
    }
  };

  for (;;) {
    if (static_cast<int>(out.size()) > n) {
      std::vector<uint8_t> stored = {1, 0, 0, 0};
      stored.insert(stored.end(), in.begin(), in.end());
      return stored;
    }
    if (pos <= n - 288) {
      for (int i = 0; i < 16; ++i) item();
    } else if (pos <= n - 18) {
      item();
    } else if (pos < n) {
      out.push_back(in[static_cast<size_t>(pos)]);
      put_flag(0);
      pos += 1;
    } else {
      break;
    }
  }
  if (count == 0) {
    out.resize(out.size() - 2);
  } else {
    for (int bit = count; bit < 16; ++bit) flags |= 1 << bit;
    out[control_at] = static_cast<uint8_t>(flags & 0xFF);
    out[control_at + 1] = static_cast<uint8_t>(flags >> 8);
  }
  return out;
}

std::optional<std::vector<uint8_t>> decode(const std::vector<uint8_t>& block) {
  if (block.size() < 4) return std::nullopt;
  if (block[0] == 1) return std::vector<uint8_t>(block.begin() + 4, block.end());

  std::vector<uint8_t> out;
  Table table;
  int pending = 0;
  size_t i = 4;
  int bits_left = 0;
  uint32_t control = 0;
  while (i < block.size()) {
    if (bits_left == 0) {
      if (i + 2 >= block.size()) return std::nullopt;  // cut off, or no item after it
      control = block[i] | (uint32_t{block[i + 1]} << 8);
      i += 2;
      bits_left = 16;
    }
    const bool copy = control & 1;
    control >>= 1;
    --bits_left;
    if (!copy) {
      out.push_back(block[i++]);
      if (++pending == 3) {
        const size_t p = out.size() - 3;
        table.insert(bucket(out[p], out[p + 1], out[p + 2]), static_cast<int>(p));
        pending = 2;
      }
    } else {
      if (i + 2 > block.size()) return std::nullopt;
      const uint32_t b0 = block[i], b1 = block[i + 1];
      i += 2;
      const int len = static_cast<int>(b0 & 0x0F) + 3;
      const uint32_t slot = ((b0 & 0xF0) << 4) | b1;
      const int here = static_cast<int>(out.size());
      const int ref = table.slot[slot];
      for (int k = 0; k < len; ++k) out.push_back(byte_of(ref, k, out));
      for (int back = pending; back >= 1; --back) {
        const size_t p = static_cast<size_t>(here - back);
        table.insert(bucket(out[p], out[p + 1], out[p + 2]), here - back);
      }
      pending = 0;
      table.slot[slot / 8 * 8 + static_cast<uint32_t>(table.next_way)] = here;
      table.next_way = (table.next_way + 1) % 8;
    }
  }
  return out;
}

}  // namespace reference
