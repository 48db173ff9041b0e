// The codec benchmark: this codec beside the codecs users would pick instead, on the same
// blocks, in the same run. Shared by the bench program and `sfx bench`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct BenchOptions {
  uint32_t block_bytes = 64000;  // each file is cut into independent blocks of this size
  double min_seconds = 0.25;     // each timed run repeats its work at least this long
  int runs = 5;                  // the best of this many runs is reported
  bool peers = true;             // measure zlib, LZ4, zstd, LZO and memcpy beside this codec
  bool per_file = true;          // a row group per file as well as the one for all files
  bool notes = true;             // say on err which peers are left out (their library is missing)
  const char* program = "codec_bench";  // what messages on err begin with
};

// Measures each file on its own and all of them concatenated, and prints one table to out.
// With no files it measures the corpus (the directory named by SFX_CORPUS_DIR, else the
// corpus beside the work tree), else generated data. The peers' libraries are opened at run time
// (libz.so.1, liblz4.so.1, libzstd.so.1, liblzo2.so.2): a peer whose library is missing is left
// out, with a note on err, and the rest are measured.
// Returns 0 on success, 1 when a round trip did not give the input back, 2 when a file could
// not be read (the message names it, on err), 3 when the options are out of range (block_bytes
// 1 to 65,020, runs at least 1, min_seconds a number not below 0).
int run_codec_benchmark(const std::vector<std::string>& files, const BenchOptions& options,
                        std::FILE* out, std::FILE* err);
