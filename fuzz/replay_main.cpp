// Runs a fuzz target over saved inputs, without libFuzzer: each argument is a file, or a
// folder whose files are all run. So the saved corpus runs in every build, under any compiler.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

namespace fs = std::filesystem;

static bool run_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: %s: cannot open\n", path.string().c_str());
    return false;
  }
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      for (const auto& entry : fs::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        if (!run_file(entry.path())) return 2;
        ++count;
      }
    } else {
      if (!run_file(arg)) return 2;
      ++count;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
