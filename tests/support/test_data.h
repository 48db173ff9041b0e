// Data the tests make for themselves, and the optional corpus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_data {

// Uniform random bytes (incompressible), from a fixed seed.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);
// Short random runs repeated with small changes: many copies, many overlaps.
std::vector<uint8_t> repetitive(size_t n, uint32_t seed);
// Words from a small vocabulary with punctuation and line breaks: text-like.
std::vector<uint8_t> text_like(size_t n, uint32_t seed);
// A mix: runs of each of the above and of zeros, so literals and copies interleave.
std::vector<uint8_t> mixed(size_t n, uint32_t seed);

std::vector<uint8_t> from_string(const std::string& s);

// The corpus files (path, contents) when SFX_CORPUS_DIR names a folder that exists; else none.
struct CorpusFile {
  std::string name;
  std::vector<uint8_t> bytes;
};
std::vector<CorpusFile> corpus_files();

}  // namespace test_data
