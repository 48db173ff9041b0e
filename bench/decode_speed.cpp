// decode_speed [FILES...]: the block decoder's speed alone, as the build that compiled this file
// made it, so that builds with different compiler flags (or for another CPU, run under wine) can
// be set side by side. The files (else generated data) are cut into 64,000-byte blocks and
// encoded once; then all blocks are decoded again and again, and the best of several timed runs
// is printed in MB/s (10^6 bytes of decoded data per second). Every decoded block is compared
// with its original.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

bool read_file(const char* path, Bytes* out) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + got);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

// Text-like data with repeats and a random stretch, when no file is named.
Bytes generated(size_t n) {
  Bytes out;
  uint32_t x = 12345;
  const char* words[] = {"the ", "launcher ", "unpacks ", "a ", "payload ", "block ", "by ", "of "};
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    if ((x >> 24) < 8) {
      for (int i = 0; i < 64; ++i) out.push_back(static_cast<uint8_t>(x >> (i % 24)));
    } else {
      const char* w = words[(x >> 16) & 7];
      out.insert(out.end(), w, w + std::strlen(w));
    }
  }
  out.resize(n);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Bytes data;
  for (int i = 1; i < argc; ++i) {
    if (!read_file(argv[i], &data)) {
      std::fprintf(stderr, "decode_speed: %s: cannot read\n", argv[i]);
      return 2;
    }
  }
  if (data.empty()) data = generated(3000000);

  constexpr uint32_t BLOCK_INPUT = 64000;
  auto workspace = std::make_unique<CodecWorkspace>();
  std::vector<Bytes> blocks;
  Bytes out(static_cast<size_t>(encode_bound(BLOCK_INPUT)));
  for (size_t at = 0; at < data.size(); at += BLOCK_INPUT) {
    const auto n = static_cast<uint32_t>(data.size() - at < BLOCK_INPUT ? data.size() - at : BLOCK_INPUT);
    uint32_t length = 0;
    codec_run(CODEC_ENCODE, workspace.get(), data.data() + at, n, out.data(), &length,
              static_cast<uint32_t>(out.size()));
    blocks.emplace_back(out.begin(), out.begin() + length);
  }

  Bytes decoded(MAX_BLOCK_BYTES);
  size_t at = 0;
  for (const Bytes& block : blocks) {
    uint32_t n = 0;
    if (codec_run(CODEC_DECODE, workspace.get(), block.data(), static_cast<uint32_t>(block.size()),
                  decoded.data(), &n, MAX_BLOCK_BYTES) != CODEC_OK ||
        std::memcmp(decoded.data(), data.data() + at, n) != 0) {
      std::fprintf(stderr, "decode_speed: block at %zu does not decode to its data\n", at);
      return 1;
    }
    at += n;
  }

  double best = 0;
  uint32_t sink = 0;
  for (int run = 0; run < 7; ++run) {
    int passes = 0;
    const Clock::time_point start = Clock::now();
    double seconds = 0;
    do {
      for (const Bytes& block : blocks) {
        uint32_t n = 0;
        codec_run(CODEC_DECODE, workspace.get(), block.data(), static_cast<uint32_t>(block.size()),
                  decoded.data(), &n, MAX_BLOCK_BYTES);
        sink += decoded[n / 2];
      }
      ++passes;
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 0.3);
    const double rate = static_cast<double>(data.size()) * passes / seconds / 1e6;
    if (rate > best) best = rate;
  }
  if (sink == 1) std::fputc(' ', stderr);  // keeps the decoding from being optimised away
  std::printf("%.1f\n", best);
  return 0;
}
