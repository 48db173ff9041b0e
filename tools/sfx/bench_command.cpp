// sfx bench: the codec benchmark over named files or, by default, the corpus.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "file_io.h"
#include "tool_error.h"

#ifdef SFX_HAVE_CODEC_BENCH
#include "codec_bench.h"
#endif

namespace {

// The corpus: $SFX_CORPUS_DIR, else the folder beside the source tree this tool was built from.
std::string corpus_directory() {
  const char* from_env = std::getenv("SFX_CORPUS_DIR");
  if (from_env != nullptr && *from_env != '\0') return from_env;
  return SFX_DEFAULT_CORPUS_DIR;
}

std::vector<std::string> corpus_files(const std::string& dir) {
  std::vector<std::string> names;
  if (!os_list_files(dir, &names))
    throw ToolError(SFX_EXIT_USAGE, dir,
                    "no corpus here (" + os_error_text(os_last_error()) +
                        "); name files to measure, or set SFX_CORPUS_DIR");
  std::vector<std::string> files;
  for (const std::string& name : names)
    if (name[0] != '.') files.push_back(dir + "/" + name);
  if (files.empty())
    throw ToolError(SFX_EXIT_USAGE, dir, "the corpus folder holds no files");
  return files;
}

}  // namespace

int run_bench(const BenchCommandOptions& options) {
#ifdef SFX_HAVE_CODEC_BENCH
  BenchOptions bench;
  bench.block_bytes = options.block_input;
  bench.runs = options.runs;
  bench.min_seconds = options.min_seconds;
  bench.peers = options.peers;
  // A peer left out for want of its library is a note, not an error: -q drops it.
  bench.notes = !options.quiet;
  bench.program = "sfx: bench";
  const std::vector<std::string> files =
      options.files.empty() ? corpus_files(corpus_directory()) : options.files;
  for (const std::string& file : files) {
    // Opening each file first gives the tool's own message for one that cannot be read.
    if (is_std_stream(file))
      throw ToolError(SFX_EXIT_USAGE, "", "bench measures named files, not stdin");
    InputFile check(file, false);
    (void)check;
  }
  if (!options.quiet && options.files.empty())
    std::fprintf(stderr, "sfx: bench: %zu corpus files from %s\n", files.size(),
                 corpus_directory().c_str());
  std::fflush(stderr);
  // The benchmark's own statuses in the tool's terms: a round trip that did not give the input
  // back is a codec fault (1); a file that could not be read, or options out of range, are 2.
  const int status = run_codec_benchmark(files, bench, stdout, stderr);
  return status == 0 ? SFX_EXIT_OK : status == 1 ? SFX_EXIT_DAMAGED : SFX_EXIT_USAGE;
#else
  (void)options;
  (void)corpus_files;
  (void)corpus_directory;
  throw ToolError(SFX_EXIT_USAGE, "",
                  "bench: not available in this build (the codec benchmark library was not "
                  "built; configure with SFX_BUILD_BENCH=ON and its libraries installed)");
#endif
}
