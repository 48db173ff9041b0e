#include "test_data.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace test_data {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng() >> 24);
  return out;
}

std::vector<uint8_t> repetitive(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(n);
  while (out.size() < n) {
    const size_t run = 1 + rng() % 40;
    if (out.size() >= run && rng() % 4 != 0) {
      // Repeat a recent stretch, sometimes overlapping the end.
      const size_t from = out.size() - run + (rng() % run) / 2;
      const size_t len = std::min(n - out.size(), 3 + static_cast<size_t>(rng() % 30));
      for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
    } else {
      const uint8_t alphabet = static_cast<uint8_t>(2 + rng() % 6);
      for (size_t i = 0; i < run && out.size() < n; ++i) {
        out.push_back(static_cast<uint8_t>('a' + rng() % alphabet));
      }
    }
  }
  return out;
}

std::vector<uint8_t> text_like(size_t n, uint32_t seed) {
  static const char* const words[] = {
      "the", "installer", "launcher", "of", "a", "block", "and", "copies", "table",
      "position", "Windows", "setup", "file", "is", "to", "unpacked", "program", "with",
      "progress", "window", "bar", "temporary", "path", "slot", "bucket", "literal"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (sizeof words / sizeof *words)];
    const auto r = rng() % 20;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  s.resize(n);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> mixed(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(n);
  uint32_t part = 0;
  while (out.size() < n) {
    const size_t len = std::min(n - out.size(), static_cast<size_t>(1 + rng() % 700));
    std::vector<uint8_t> piece;
    switch (rng() % 4) {
      case 0: piece = random_bytes(len, seed + part); break;
      case 1: piece = repetitive(len, seed + part); break;
      case 2: piece = text_like(len, seed + part); break;
      default: piece.assign(len, 0); break;
    }
    ++part;
    out.insert(out.end(), piece.begin(), piece.end());
  }
  return out;
}

std::vector<uint8_t> from_string(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<CorpusFile> corpus_files() {
  std::vector<CorpusFile> files;
  const char* dir = std::getenv("SFX_CORPUS_DIR");
  std::error_code ec;
  if (dir == nullptr || !std::filesystem::is_directory(dir, ec)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream f(entry.path(), std::ios::binary);
    files.push_back({entry.path().filename().string(),
                     std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {})});
  }
  std::sort(files.begin(), files.end(),
            [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
  return files;
}

}  // namespace test_data
