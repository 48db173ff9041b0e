// sfx: packs installers into self-extracting launchers, and compresses, extracts, lists,
// verifies and benchmarks their payloads. This file only parses the command line (CLI11) and
// turns failures into messages and exit statuses.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <new>

#include "commands.h"
#include "tool_error.h"

namespace {

const char* const TOOL_DESCRIPTION =
    "Packs a Windows installer into a self-extracting launcher, and compresses, extracts, "
    "lists, verifies and benchmarks payloads (LZRW3-A blocks after the marker "
    "\"WOMBIXINSTALL\", closed by \"KELVRA\").\n"
    "FILE, INPUT and OUTPUT may be '-' for stdin or stdout. Outputs appear only when complete; "
    "an existing file is replaced only with -f.\n"
    "Exit status: 0 success, 1 damaged or missing payload (or a verify mismatch), 2 usage or "
    "I/O error.";

const char* const BLOCK_SIZE_HELP =
    "Input bytes per block, 1 to 65020 (the largest whose stored form, with its 4-byte header, "
    "fits the launcher's 65024-byte block buffer)";

void add_block_size(CLI::App* command, uint32_t* block_input) {
  command->add_option("-b,--block-size", *block_input, BLOCK_SIZE_HELP)
      ->check(CLI::Range(uint32_t{1}, MAX_BLOCK_INPUT))
      ->capture_default_str()
      ->option_text("N");
}

void add_output(CLI::App* command, std::string* output, bool* force) {
  command->add_option("-o,--output", *output, "Where to write ('-': stdout)")
      ->required()
      ->option_text("OUTPUT");
  command->add_flag("-f,--force", *force, "Replace OUTPUT if it exists");
}

void add_quiet(CLI::App* command, bool* quiet) {
  command->add_flag("-q,--quiet", *quiet, "No progress, summary or warnings; errors only");
}

std::string failure_message(const CLI::App* app, const CLI::Error& error) {
  std::string text = "sfx: ";
  // A mistyped command is left over as an extra argument, and CLI11 then only says that a
  // command is missing.
  const std::vector<std::string> extras = app->remaining();
  if (app->get_subcommands().empty() && !extras.empty())
    text += "unknown command '" + extras.front() + "'";
  else
    text += error.what();
  text += "\nRun '" + app->get_name() + " --help' for usage.\n";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(TOOL_DESCRIPTION, "sfx");
  app.set_version_flag("--version", "sfx " SFX_VERSION);
  app.require_subcommand(1);
  app.failure_message(failure_message);
  app.footer("Run 'sfx COMMAND --help' for a command's options and details.");

  CompressOptions compress;
  CLI::App* compress_command = app.add_subcommand("compress", "Compress INPUT into a bare payload");
  compress_command->footer(
      "The payload is the marker \"WOMBIXINSTALL\", then each block of INPUT as a 2-byte "
      "big-endian length and an LZRW3-A block (coded, or stored when coding does not pay), then "
      "the end mark \"KELVRA\". Empty input gives the marker and the end mark alone.\n"
      "Example: sfx compress setup.exe -o setup.payload");
  compress_command->add_option("INPUT", compress.input, "File to compress ('-': stdin)")
      ->required();
  add_output(compress_command, &compress.output, &compress.force);
  add_block_size(compress_command, &compress.block_input);
  add_quiet(compress_command, &compress.quiet);

  PackOptions pack;
  CLI::App* pack_command =
      app.add_subcommand("pack", "Pack INSTALLER into a self-extracting launcher");
  pack_command->footer(
      "The output is the launcher stub's bytes followed by the payload of INSTALLER, made "
      "executable (0755). A stub that already holds a payload marker (a packed file) is "
      "refused.\n"
      "Example: sfx pack setup.exe -o setup-sfx.exe --stub launcher.exe");
  pack_command->add_option("INSTALLER", pack.installer, "Installer to pack ('-': stdin)")
      ->required();
  add_output(pack_command, &pack.output, &pack.force);
  pack_command
      ->add_option("--stub", pack.stub,
                   "Launcher to put in front (default: launcher.exe beside sfx, else launcher "
                   "beside sfx); it must not hold a payload already")
      ->option_text("LAUNCHER");
  add_block_size(pack_command, &pack.block_input);
  add_quiet(pack_command, &pack.quiet);

  ExtractOptions extract;
  CLI::App* extract_command =
      app.add_subcommand("extract", "Write the decoded data of the payload in FILE");
  extract_command->footer(
      "FILE is a bare payload or any file with one appended, such as a packed launcher; the "
      "payload is found, read and ended exactly as the launcher does. A damaged payload leaves "
      "no OUTPUT behind and exits with 1, naming the block, its offset and the fault.\n"
      "Example: sfx extract setup-sfx.exe -o setup.exe");
  extract_command->add_option("FILE", extract.file, "File holding a payload ('-': stdin)")
      ->required();
  add_output(extract_command, &extract.output, &extract.force);
  add_quiet(extract_command, &extract.quiet);

  ListOptions list;
  CLI::App* list_command = app.add_subcommand("list", "Show the blocks of the payload in FILE");
  list_command->footer(
      "Prints where the payload starts, a line per block (number, file offset of its length "
      "field, length, stored or coded, decoded bytes), the totals, and how the payload ends: "
      "the end mark, the end of the file, or an empty block, at which the launcher stops.");
  list_command->add_option("FILE", list.file, "File holding a payload ('-': stdin)")
      ->required();
  list_command->add_flag("-q,--quiet", list.quiet, "Only the totals and the end, no line per block");

  VerifyOptions verify;
  CLI::App* verify_command =
      app.add_subcommand("verify", "Check the payload in FILE block by block");
  verify_command->footer(
      "Decodes every block and checks that it re-encodes to the very same bytes (so it came "
      "from this encoder) and that the end mark closes the payload; with --original, also that "
      "the decoded data equals ORIGINAL. Exit 0 ok, 1 damaged or different.");
  verify_command->add_option("FILE", verify.file, "File holding a payload ('-': stdin)")
      ->required();
  verify_command
      ->add_option("--original", verify.original, "The data the payload should decode to")
      ->option_text("ORIGINAL");
  add_quiet(verify_command, &verify.quiet);

  BenchCommandOptions bench;
  CLI::App* bench_command =
      app.add_subcommand("bench", "Measure the codec's speed and ratio beside common codecs");
  bench_command->footer(
      "Measures each file and all of them together, cut into blocks. Without FILES, the corpus "
      "in $SFX_CORPUS_DIR, else the one beside the source tree sfx was built from.");
  bench_command->add_option("FILES", bench.files, "Files to measure");
  add_block_size(bench_command, &bench.block_input);
  bench_command->add_option("--runs", bench.runs, "Report the best of this many runs")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  bench_command
      ->add_option("--min-seconds", bench.min_seconds, "Repeat each timed run at least this long")
      ->check(CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  bench_command->add_flag("!--no-peers", bench.peers, "Measure this codec alone");
  add_quiet(bench_command, &bench.quiet);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? SFX_EXIT_OK : SFX_EXIT_USAGE;
  }

  try {
    if (*compress_command) return run_compress(compress);
    if (*pack_command) return run_pack(pack);
    if (*extract_command) return run_extract(extract);
    if (*list_command) return run_list(list);
    if (*verify_command) return run_verify(verify);
    if (*bench_command) return run_bench(bench);
  } catch (const ToolError& error) {
    std::fflush(stdout);
    if (error.file().empty())
      std::fprintf(stderr, "sfx: %s\n", error.what());
    else
      std::fprintf(stderr, "sfx: %s: %s\n", error.file().c_str(), error.what());
    return error.status();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "sfx: out of memory\n");
    return SFX_EXIT_USAGE;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sfx: %s\n", error.what());
    return SFX_EXIT_USAGE;
  }
  return SFX_EXIT_USAGE;
}
