// decode_threads [--runs N] [FILES...]: decoding in the process, as `sfx extract -T N` spreads it,
// beside zstd -1 on one thread. The files (else the corpus, else generated text) are taken as one
// stream, cut into 64,000-byte blocks and coded once by each codec; then every block is decoded
// pass after pass into a block-sized buffer, by one thread and by two (each takes every other
// block, as the workers of `sfx extract -T 2` share them), and by zstd's one-shot decoder on one
// thread. A run is whole passes for at least 0.3 s of wall time (threads are started once per
// run); the best of the runs is printed, in MB/s of decoded data (10^6 bytes), and the ratios.
// Every block is first checked to decode to its data.
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr uint32_t BLOCK_INPUT = 64000;
constexpr double RUN_SECONDS = 0.3;

bool read_file(const std::string& path, Bytes* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + got);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

// The corpus folder's files in name order, as `sfx bench` and bench/make-installer.sh take them.
std::vector<std::string> corpus_files() {
  const char* dir = std::getenv("SFX_CORPUS_DIR");
  const std::string folder = dir != nullptr && *dir != '\0' ? dir : SFX_BENCH_DEFAULT_CORPUS;
  std::vector<std::string> names;
  if (DIR* listing = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(listing))
      if (entry->d_name[0] != '.') names.push_back(folder + "/" + entry->d_name);
    closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Bytes generated(size_t n) {
  Bytes out;
  uint32_t x = 12345;
  const char* words[] = {"the ", "launcher ", "unpacks ", "a ", "payload ", "block ", "by ", "of "};
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    const char* w = words[(x >> 16) & 7];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

struct Coded {
  std::vector<Bytes> blocks;
  size_t bytes = 0;
};

// Decodes blocks first, first + step, ... passes times into a buffer of its own: false when one
// fails.
using DecodeOne = bool (*)(void* state, const Bytes& block, uint8_t* out);

bool decode_lzrw3a(void* state, const Bytes& block, uint8_t* out) {
  uint32_t n = 0;
  return codec_run(CODEC_DECODE, static_cast<CodecWorkspace*>(state), block.data(),
                   static_cast<uint32_t>(block.size()), out, &n, MAX_BLOCK_BYTES) == CODEC_OK;
}

bool decode_zstd(void* state, const Bytes& block, uint8_t* out) {
  return !ZSTD_isError(ZSTD_decompressDCtx(static_cast<ZSTD_DCtx*>(state), out, MAX_BLOCK_BYTES, block.data(),
                                           block.size()));
}

// One run: threads threads (1 or 2) over the blocks, whole passes until RUN_SECONDS have gone;
// MB/s of wall time.
double run(const Coded& coded, unsigned threads, DecodeOne decode, bool zstd) {
  // The passes grow until a run lasts RUN_SECONDS; every thread makes the same number.
  size_t passes = 1;
  for (;;) {
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    bool ok = true;
    std::vector<char> failed(threads, 0);
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        std::unique_ptr<CodecWorkspace> workspace = std::make_unique<CodecWorkspace>();
        ZSTD_DCtx* context = zstd ? ZSTD_createDCtx() : nullptr;
        void* state = zstd ? static_cast<void*>(context) : static_cast<void*>(workspace.get());
        std::unique_ptr<uint8_t[]> out(new uint8_t[MAX_BLOCK_BYTES]);
        for (size_t pass = 0; pass < passes; ++pass)
          for (size_t i = t; i < coded.blocks.size(); i += threads)
            if (!decode(state, coded.blocks[i], out.get())) failed[t] = 1;
        if (context != nullptr) ZSTD_freeDCtx(context);
      });
    }
    for (std::thread& worker : workers) worker.join();
    for (const char f : failed) ok = ok && f == 0;
    if (!ok) return -1;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds >= RUN_SECONDS) return static_cast<double>(coded.bytes) * static_cast<double>(passes) / seconds / 1e6;
    passes = seconds <= 0 ? passes * 8 : std::max(passes + 1, static_cast<size_t>(static_cast<double>(passes) * RUN_SECONDS * 1.2 / seconds));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: decode_threads [--runs N] [FILES...]\n");
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  const bool corpus = files.empty();
  if (corpus) files = corpus_files();
  Bytes data;
  for (const std::string& file : files)
    if (!read_file(file, &data)) {
      std::fprintf(stderr, "decode_threads: %s: cannot read\n", file.c_str());
      return 2;
    }
  if (data.empty()) data = generated(3000000);

  Coded ours, theirs;
  auto workspace = std::make_unique<CodecWorkspace>();
  ZSTD_CCtx* compress = ZSTD_createCCtx();
  ZSTD_DCtx* check = ZSTD_createDCtx();
  Bytes out(static_cast<size_t>(std::max<uint64_t>(encode_bound(BLOCK_INPUT), ZSTD_compressBound(BLOCK_INPUT))));
  Bytes decoded(MAX_BLOCK_BYTES);
  for (size_t at = 0; at < data.size(); at += BLOCK_INPUT) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(data.size() - at, BLOCK_INPUT));
    uint32_t length = 0;
    codec_run(CODEC_ENCODE, workspace.get(), data.data() + at, n, out.data(), &length, static_cast<uint32_t>(out.size()));
    ours.blocks.emplace_back(out.begin(), out.begin() + length);
    uint32_t got = 0;
    if (codec_run(CODEC_DECODE, workspace.get(), out.data(), length, decoded.data(), &got, MAX_BLOCK_BYTES) != CODEC_OK ||
        got != n || std::memcmp(decoded.data(), data.data() + at, n) != 0) {
      std::fprintf(stderr, "decode_threads: lzrw3a: the block at %zu does not decode to its data\n", at);
      return 1;
    }
    const size_t z = ZSTD_compressCCtx(compress, out.data(), out.size(), data.data() + at, n, 1);
    const size_t zgot = ZSTD_isError(z) ? 0 : ZSTD_decompressDCtx(check, decoded.data(), decoded.size(), out.data(), z);
    if (ZSTD_isError(z) || ZSTD_isError(zgot) || zgot != n || std::memcmp(decoded.data(), data.data() + at, n) != 0) {
      std::fprintf(stderr, "decode_threads: zstd: the block at %zu does not decode to its data\n", at);
      return 1;
    }
    theirs.blocks.emplace_back(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(z));
  }
  ZSTD_freeCCtx(compress);
  ZSTD_freeDCtx(check);
  ours.bytes = theirs.bytes = data.size();

  double one = 0, two = 0, zstd = 0;
  for (int r = 0; r < runs; ++r) {
    one = std::max(one, run(ours, 1, decode_lzrw3a, false));
    two = std::max(two, run(ours, 2, decode_lzrw3a, false));
    zstd = std::max(zstd, run(theirs, 1, decode_zstd, true));
  }
  if (one < 0 || two < 0 || zstd < 0) {
    std::fprintf(stderr, "decode_threads: a block failed to decode\n");
    return 1;
  }
  std::printf("data: %s, %zu bytes in %zu blocks of %u; best of %d runs, wall time\n",
              corpus ? "the corpus" : "the files", data.size(), ours.blocks.size(), BLOCK_INPUT, runs);
  std::printf("lzrw3a, 1 thread:   %7.1f MB/s\n", one);
  std::printf("lzrw3a, 2 threads:  %7.1f MB/s  (%.2fx one thread)\n", two, two / one);
  std::printf("zstd -1, 1 thread:  %7.1f MB/s  (zstd %s)\n", zstd, ZSTD_versionString());
  std::printf("lzrw3a on 2 threads vs zstd -1 on 1: %.2fx\n", two / zstd);
  return 0;
}
