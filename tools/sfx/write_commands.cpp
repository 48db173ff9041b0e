// The commands that make payloads: compress (a bare payload) and pack (a launcher stub with the
// payload appended).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "commands.h"
#include "file_io.h"
#include "payload_reader.h"
#include "progress.h"
#include "tool_error.h"

namespace {

void refuse_same_file(const std::string& output, const InputFile& input) {
  if (same_file(output, input))
    throw ToolError(SFX_EXIT_USAGE, output, "is also the input; choose another output");
}

// "setup.exe: 47.7% (43925565 => 20947921 bytes, 687 blocks, 28 stored) => setup.payload",
// and for pack the stub in front: "... => setup-sfx.exe after a 30720-byte stub".
void print_summary(const std::string& input, const PayloadStats& stats, uint64_t stub_bytes,
                   const std::string& output) {
  const double percent = stats.input_bytes == 0
                             ? 100.0
                             : 100.0 * static_cast<double>(stats.payload_bytes) /
                                   static_cast<double>(stats.input_bytes);
  std::fprintf(stderr, "%s: %.1f%% (%llu => %llu bytes, %u block%s, %u stored) => %s", input.c_str(),
               percent, static_cast<unsigned long long>(stats.input_bytes),
               static_cast<unsigned long long>(stats.payload_bytes), stats.blocks,
               stats.blocks == 1 ? "" : "s", stats.stored_blocks, output.c_str());
  if (stub_bytes != 0)
    std::fprintf(stderr, " after a %llu-byte stub", static_cast<unsigned long long>(stub_bytes));
  std::fputc('\n', stderr);
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The directory holding the running sfx executable.
std::string own_directory() {
  std::vector<char> path(4096);
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) return ".";
  std::string self(path.data(), static_cast<size_t>(n));
  const size_t slash = self.rfind('/');
  return slash == std::string::npos ? "." : self.substr(0, slash == 0 ? 1 : slash);
}

std::string default_stub() {
  const std::string dir = own_directory();
  for (const char* name : {"launcher.exe", "launcher"}) {
    const std::string path = dir + "/" + name;
    if (is_regular_file(path)) return path;
  }
  throw ToolError(SFX_EXIT_USAGE, "",
                  "no launcher stub given, and neither launcher.exe nor launcher is beside sfx "
                  "in " + dir + "; name one with --stub LAUNCHER");
}

// The launcher takes the first marker its search finds, so the stub must let the search run
// through it and stop at the marker written right after it: it must hold no marker of its own,
// and must not end with part of one (the byte that breaks a partial match is not looked at
// again, so a stub ending in "WOMB" would hide the marker that follows). Checked by the
// launcher's own search over the stub and a marker.
void check_stub(const std::string& stub_name, const std::vector<uint8_t>& stub) {
  std::FILE* probe = std::tmpfile();
  if (probe == nullptr)
    throw ToolError(SFX_EXIT_USAGE, stub_name, "cannot check it: " + errno_text(errno));
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(probe, std::fclose);
  if (std::fwrite(stub.data(), 1, stub.size(), probe) != stub.size() ||
      std::fwrite(PAYLOAD_MARKER_UPPER, 1, PAYLOAD_MARKER_BYTES, probe) != PAYLOAD_MARKER_BYTES ||
      std::fflush(probe) != 0 || lseek(fileno(probe), 0, SEEK_SET) != 0)
    throw ToolError(SFX_EXIT_USAGE, stub_name, "cannot check it: " + errno_text(errno));
  auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), fileno(probe));
  int64_t start = 0;
  const bool found = find_payload(reader.get(), &start);
  const auto expected = static_cast<int64_t>(stub.size() + PAYLOAD_MARKER_BYTES);
  if (found && start < expected)
    throw ToolError(SFX_EXIT_USAGE, stub_name,
                    "already holds a payload marker (ending at offset " + std::to_string(start) +
                        "); is it a packed file? Pack into a bare launcher");
  if (!found || start != expected)
    throw ToolError(SFX_EXIT_USAGE, stub_name,
                    "ends with the start of a payload marker, which would hide the payload "
                    "from the launcher's search");
}

}  // namespace

int run_compress(const CompressOptions& options) {
  InputFile input(options.input, false);
  refuse_same_file(options.output, input);
  OutputFile output(options.output, options.force, 0666, false);
  Progress progress("compress " + input.display_name(), input.size(), options.quiet);
  const PayloadStats stats = write_payload(input, output, options.block_input, &progress);
  output.commit();
  progress.clear();
  if (!options.quiet)
    print_summary(input.display_name(), stats, 0, output.display_name());
  return SFX_EXIT_OK;
}

int run_pack(const PackOptions& options) {
  const std::string stub_name = options.stub.empty() ? default_stub() : options.stub;
  if (is_std_stream(stub_name) && is_std_stream(options.installer))
    throw ToolError(SFX_EXIT_USAGE, "", "the stub and the installer cannot both be stdin");
  const std::vector<uint8_t> stub = read_whole_file(stub_name);
  check_stub(input_display_name(stub_name), stub);

  InputFile input(options.installer, false);
  refuse_same_file(options.output, input);
  if (!is_std_stream(options.output) && !is_std_stream(stub_name)) {
    InputFile stub_file(stub_name, false);
    refuse_same_file(options.output, stub_file);
  }
  // The packed file is a program: executable for everyone, like a linker's output.
  OutputFile output(options.output, options.force, 0755, true);
  output.write(stub.data(), stub.size());
  Progress progress("pack " + input.display_name(), input.size(), options.quiet);
  const PayloadStats stats = write_payload(input, output, options.block_input, &progress);
  output.commit();
  progress.clear();
  if (!options.quiet)
    print_summary(input.display_name(), stats, stub.size(), output.display_name());
  return SFX_EXIT_OK;
}
