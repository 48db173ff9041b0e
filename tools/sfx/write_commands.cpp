// The commands that make payloads: compress (a bare payload) and pack (a launcher stub with the
// payload appended).
#include <cstdio>

#include "commands.h"
#include "number_texts.h"
#include "file_io.h"
#include "launcher_stub.h"
#include "progress.h"
#include "tool_error.h"

namespace {

void refuse_same_file(const std::string& output, const InputFile& input) {
  if (same_file(output, input))
    throw ToolError(SFX_EXIT_USAGE, output, "is also the input; choose another output");
}

// "setup.exe: 43925565 => 20947921 bytes, ratio 2.10 (687 blocks, 28 stored) => setup-sfx.exe",
// and for pack the stub in front: "..., after the built-in Windows launcher (28160 bytes)".
void print_summary(const std::string& input, const PayloadStats& stats, const std::string& output,
                   const LauncherStub* stub) {
  std::fprintf(stderr, "%s: %llu => %llu bytes, ratio %s (%s, %u stored) => %s", input.c_str(),
               static_cast<unsigned long long>(stats.input_bytes),
               static_cast<unsigned long long>(stats.payload_bytes),
               ratio_text(stats.input_bytes, stats.payload_bytes).c_str(),
               plural(stats.blocks, "block", "blocks").c_str(), stats.stored_blocks, output.c_str());
  if (stub != nullptr)
    std::fprintf(stderr, ", after %s (%s, %zu bytes)", stub->name.c_str(), stub->description.c_str(),
                 stub->bytes.size());
  std::fputc('\n', stderr);
}

}  // namespace

int run_compress(const CompressOptions& options) {
  InputFile input(options.input, false);
  refuse_same_file(options.output, input);
  OutputFile output(options.output, options.force, 0666);
  Progress progress("compress " + input.display_name(), input.size(), options.quiet);
  const PayloadStats stats = write_payload(input, output, {}, options.payload, &progress);
  input.check_unchanged(stats.input_bytes);
  output.commit();
  progress.clear();
  if (!options.quiet) print_summary(input.display_name(), stats, output.display_name(), nullptr);
  return SFX_EXIT_OK;
}

int run_pack(const PackOptions& options) {
  const LauncherStub stub = load_stub(options.stub, options.payload.record);
  InputFile input(options.input, false);
  refuse_same_file(options.output, input);
  if (!stub.built_in && !is_std_stream(options.output)) {
    InputFile stub_file(stub.name, false);
    refuse_same_file(options.output, stub_file);
  }
  // The packed file is a program: executable, as a linker makes its output (the umask applies).
  OutputFile output(options.output, options.force, 0777);
  Progress progress("pack " + input.display_name(), input.size(), options.quiet);
  PayloadOptions payload = options.payload;
  payload.refuse_empty = true;
  const PayloadStats stats = write_payload(input, output, stub.bytes, payload, &progress);
  input.check_unchanged(stats.input_bytes);
  output.commit();
  progress.clear();
  if (!options.quiet) print_summary(input.display_name(), stats, output.display_name(), &stub);
  return SFX_EXIT_OK;
}
