// codec_bench [--runs N] [--seconds S] [--block BYTES] [--no-peers] [--all-only] [FILES...]
// Prints the codec benchmark table for the files named, else for the corpus, else for
// generated data. Exit status as run_codec_benchmark's, or 3 for a bad option.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec_bench.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: codec_bench [--runs N] [--seconds S] [--block BYTES] [--no-peers] "
               "[--all-only] [FILES...]\n");
  return 3;
}

// Parses the whole of text as a number, or fails.
bool parse_number(const char* text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  BenchOptions options;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    double value = 0.0;
    if (std::strcmp(arg, "--no-peers") == 0) {
      options.peers = false;
    } else if (std::strcmp(arg, "--all-only") == 0) {
      options.per_file = false;
    } else if (std::strcmp(arg, "--runs") == 0 && has_value && parse_number(argv[i + 1], &value) &&
               value >= 1 && value <= 1000) {
      options.runs = static_cast<int>(value);
      ++i;
    } else if (std::strcmp(arg, "--seconds") == 0 && has_value &&
               parse_number(argv[i + 1], &value) && value >= 0 && value <= 60) {
      options.min_seconds = value;
      ++i;
    } else if (std::strcmp(arg, "--block") == 0 && has_value &&
               parse_number(argv[i + 1], &value) && value >= 1 && value <= 65020) {
      options.block_bytes = static_cast<uint32_t>(value);
      ++i;
    } else if (std::strncmp(arg, "--", 2) == 0) {
      std::fprintf(stderr, "codec_bench: bad option or value: %s\n", arg);
      return usage();
    } else {
      files.emplace_back(arg);
    }
  }
  return run_codec_benchmark(files, options, stdout, stderr);
}
