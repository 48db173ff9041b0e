#include "tar_builder.h"

#include <cstring>

namespace tar_builder {

namespace {

constexpr size_t BLOCK = 512;

void octal(Bytes& h, size_t at, size_t width, uint64_t value) {
  // width - 1 digits, then NUL.
  for (size_t i = width - 1; i-- > 0;) {
    h[at + i] = static_cast<uint8_t>('0' + (value & 7));
    value >>= 3;
  }
  h[at + width - 1] = 0;
}

void text(Bytes& h, size_t at, size_t width, const std::string& s) {
  std::memcpy(h.data() + at, s.data(), s.size() < width ? s.size() : width);
}

void pad(Bytes& b) { b.resize((b.size() + BLOCK - 1) / BLOCK * BLOCK, 0); }

}  // namespace

Bytes header(const std::string& name, char type, uint64_t size, uint32_t mode, const std::string& link) {
  Bytes h(BLOCK, 0);
  std::string prefix, rest = name;
  if (name.size() > 100) {
    const size_t slash = name.rfind('/', name.size() - 2);
    if (slash != std::string::npos && slash <= 155) {
      prefix = name.substr(0, slash);
      rest = name.substr(slash + 1);
    }
  }
  text(h, 0, 100, rest);
  octal(h, 100, 8, mode);
  octal(h, 108, 8, 0);
  octal(h, 116, 8, 0);
  octal(h, 124, 12, size);
  octal(h, 136, 12, 0);
  h[156] = static_cast<uint8_t>(type);
  text(h, 157, 100, link);
  text(h, 257, 6, std::string("ustar\0", 6));
  text(h, 263, 2, "00");
  text(h, 345, 155, prefix);
  std::memset(h.data() + 148, ' ', 8);
  uint32_t sum = 0;
  for (uint8_t b : h) sum += b;
  octal(h, 148, 7, sum);
  h[155] = ' ';
  return h;
}

Bytes file(const std::string& name, const Bytes& data, uint32_t mode) {
  Bytes out = header(name, '0', data.size(), mode);
  out.insert(out.end(), data.begin(), data.end());
  pad(out);
  return out;
}

Bytes folder(const std::string& name) { return header(name + "/", '5', 0, 0755); }

Bytes pax(const std::vector<std::pair<std::string, std::string>>& records, char type) {
  std::string body;
  for (const auto& [key, value] : records) {
    // The length counts itself: find the number of its digits that fits.
    const size_t rest = 1 + key.size() + 1 + value.size() + 1;
    size_t n = rest + 1;
    while (std::to_string(n).size() + rest != n) ++n;
    body += std::to_string(n) + " " + key + "=" + value + "\n";
  }
  Bytes out = header("PaxHeader/entry", type, body.size(), 0644);
  out.insert(out.end(), body.begin(), body.end());
  pad(out);
  return out;
}

Bytes end() { return Bytes(2 * BLOCK, 0); }

}  // namespace tar_builder
