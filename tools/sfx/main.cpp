// sfx: packs installers into self-extracting launchers, and compresses, extracts, lists,
// verifies and benchmarks their payloads. This file only parses the command line (CLI11) and
// turns failures into messages and exit statuses.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "command_help.h"
#include "commands.h"
#include "crc32.h"
#include "embedded_stubs.h"
#include "os_files.h"
#include "tool_error.h"

namespace {

const char* const TOOL_DESCRIPTION =
    "Packs a Windows installer into a self-extracting launcher, and compresses, extracts, "
    "lists, verifies and benchmarks payloads (LZRW3-A blocks after the marker "
    "\"WOMBIXINSTALL\", closed by \"KELVRA\", with the data's length and CRC-32 recorded "
    "before the marker).\n"
    "FILE, INPUT and OUTPUT may be '-' for stdin or stdout. Outputs appear only when complete; "
    "an existing file is replaced only with -f. -q leaves only error messages, in every "
    "command. Ratios are original bytes / payload bytes.\n"
    "Exit status: 0 success, 1 damaged or missing payload (or a verify mismatch), 2 usage or "
    "I/O error.";

// Help lines show each option's own placeholder and nothing of the parser's types, defaults or
// validators: what a value may be is said in the option's description.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_option_text().empty() ? "" : " " + option->get_option_text();
  }
  // Without the value a negated flag stores ("--no-record{false}").
  std::string make_option_name(const CLI::Option* option, bool is_positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, is_positional);
    for (size_t open = name.find('{'); open != std::string::npos; open = name.find('{', open)) {
      const size_t close = name.find('}', open);
      name.erase(open, close == std::string::npos ? std::string::npos : close - open + 1);
    }
    return name;
  }
};

// Option values are checked in the tool's own words, before the parser converts them (the parser
// puts the option's name in front: "--block-size: takes a whole number ...").
// A whole number from low to high.
CLI::Validator whole_number(uint64_t low, uint64_t high) {
  return CLI::Validator(
      [low, high](std::string& text) -> std::string {
        const std::string want = "takes a whole number from " + std::to_string(low) + " to " +
                                 std::to_string(high) + ", not '" + text + "'";
        if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
          return want;
        const uint64_t value = std::stoull(text);
        return value < low || value > high ? want : std::string();
      },
      "");
}

// A number of seconds from 0 to high (a decimal fraction allowed; no NaN, no infinity).
CLI::Validator seconds(double high) {
  return CLI::Validator(
      [high](std::string& text) -> std::string {
        const std::string want = "takes a number of seconds from 0 to " +
                                 std::to_string(static_cast<int>(high)) + ", not '" + text + "'";
        if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
            text.find('.') != text.rfind('.') || text == ".")
          return want;
        return std::stod(text) > high ? want : std::string();
      },
      "");
}

void add_block_size(CLI::App* command, uint32_t* block_input) {
  command->add_option("-b,--block-size", *block_input,
                      "Input bytes per block, 1 to 65020 (default 64000); 65020 is the largest "
                      "whose stored form, with its 4-byte header, fits the launcher's 65024-byte "
                      "block buffer")
      ->check(whole_number(1, MAX_BLOCK_INPUT))
      ->option_text("N");
}

// Blocks are independent, so they are coded and decoded on several threads; the output is the
// same bytes for every N.
constexpr unsigned MAX_THREADS = 128;

void add_threads(CLI::App* command, unsigned* threads, const char* what) {
  command->add_option("-T,--threads", *threads,
                      std::string("Threads ") + what + ", 1 to " + std::to_string(MAX_THREADS) +
                          "; 0 (the default): one per processor. The result is the same for every N")
      ->check(whole_number(0, MAX_THREADS))
      ->option_text("N");
}

void add_output(CLI::App* command, std::string* output, bool* force) {
  command->add_option("-o,--output", *output, "Where to write ('-': stdout)")
      ->required()
      ->option_text("OUTPUT");
  command->add_flag("-f,--force", *force, "Replace OUTPUT if it exists");
}

void add_sync(CLI::App* command, bool* sync) {
  command->add_flag("--sync", *sync,
                    "Return only once the output is on the disk: the file is synced before it takes its name, "
                    "and its folder after (on Windows: FlushFileBuffers and a write-through move). Without it, as "
                    "with cp, gzip or zstd, the output is whole and in place when the command ends, and reaches "
                    "the disk when the system writes its cache");
}

void add_quiet(CLI::App* command, bool* quiet) {
  command->add_flag("-q,--quiet", *quiet, "Print nothing but error messages");
}

void add_no_record(CLI::App* command, bool* record) {
  command->add_flag("!--no-record", *record,
                    "Leave out the integrity record (the data's length and CRC-32 before the "
                    "marker), for launchers that predate it. A cut payload is still refused (it "
                    "lacks its end mark), but nothing checks the data as a whole: a block changed "
                    "in a way that still decodes (a byte of a stored block, say), or one dropped "
                    "whole, is unpacked by the launcher and extract without a word; verify's "
                    "re-encoding catches some of it, verify --original all of it");
}

// How the commands that write a payload make it: block size, threads, record; and -q.
void add_payload_options(CLI::App* command, WriteOptions* options, unsigned* threads) {
  add_block_size(command, &options->payload.block_input);
  add_threads(command, threads, "coding blocks");
  add_no_record(command, &options->payload.record);
  add_sync(command, &options->sync);
  add_quiet(command, &options->quiet);
}

// A command with its one-line summary, the details its help ends with (command_help.h), and its
// positional argument, which only bench may leave out (it then measures the corpus).
template <typename T>
CLI::App* add_command(CLI::App& app, const char* name, const char* summary, const char* argument, T* value,
                      const char* what, bool required = true) {
  CLI::App* command = app.add_subcommand(name, summary);
  command->footer(command_help(name));
  command->group("Commands");
  command->add_option(argument, *value, what)->required(required);
  return command;
}

// The error, and the help that explains what was asked: the command's, once one was named.
// The arguments being parsed, for the advice in failure_message.
std::vector<std::string> parsed_arguments;

// An argument of the command's that looks like an option but is none of its options: a file whose
// name starts with '-'.
std::string unknown_dash_argument(const CLI::App* command) {
  for (size_t i = 2; i < parsed_arguments.size(); ++i) {
    const std::string& argument = parsed_arguments[i];
    if (argument == "--") return "";
    if (argument.size() < 2 || argument[0] != '-') continue;
    const std::string name = argument.substr(0, argument.find('='));
    if (command->get_option_no_throw(name) == nullptr && name != "--help" && name != "-h") return argument;
  }
  return "";
}

std::string failure_message(const CLI::App* app, const CLI::Error& error) {
  const std::vector<CLI::App*> named = app->get_subcommands();
  const std::string help = named.empty() ? "sfx --help" : "sfx " + named.front()->get_name() + " --help";
  std::string text = "sfx: " + std::string(error.what());
  // "INSTALLER is required" for `sfx pack -weird.txt`: say why, and what to write instead.
  const std::string dashed = named.empty() ? "" : unknown_dash_argument(named.front());
  if (!dashed.empty())
    text += " ('" + dashed + "' is read as an option; a file whose name starts with '-' is written as ./" +
            dashed + ", or after --: sfx " + named.front()->get_name() + " -- " + dashed + ")";
  return text + "\nRun '" + help + "' for usage.\n";
}

// A command name that is not one: CLI11 would go on to show the tool's help for "--help", as if
// the command existed, or only say that a command is missing.
bool refuse_unknown_command(const CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return false;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
    if (command->get_name() == argv[1]) return false;
  std::fprintf(stderr, "sfx: unknown command '%s'\nRun 'sfx --help' for usage.\n", argv[1]);
  return true;
}

unsigned resolve_threads(unsigned requested) {
  return requested == 0 ? std::min(os_processor_count(), MAX_THREADS) : requested;
}

std::string version_text() {
  std::string text = "sfx " SFX_VERSION "\nbuilt-in launchers:";
  const std::pair<const char*, EmbeddedStub> stubs[] = {{"windows", embedded_windows_stub()},
                                                        {"windows64", embedded_windows64_stub()},
                                                        {"posix", embedded_posix_stub()}};
  bool any = false;
  for (const auto& [name, stub] : stubs) {
    if (stub.size == 0) continue;
    text += std::string(any ? ", " : " ") + name + " (" + std::to_string(stub.size) + " bytes)";
    any = true;
  }
  if (!any) text += " none";
  return text;
}

// What reached stdout must have been written: a full disk or a closed pipe is an error (exit 2),
// not a silent loss.
int finish_stdout(int status) {
  // A write that failed earlier left its errno; a failing flush sets its own.
  const int earlier = errno;
  int error_number = 0;
  if (std::fflush(stdout) != 0)
    error_number = errno;
  else if (std::ferror(stdout))
    error_number = earlier;
  else
    return status;
  std::fprintf(stderr, "sfx: (stdout): %s\n",
               error_number != 0 ? os_error_text(error_number).c_str() : "write error");
  return SFX_EXIT_USAGE;
}

int run(int argc, char** argv) {
  CLI::App app(TOOL_DESCRIPTION, "sfx");
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->label("SUBCOMMAND", "COMMAND");
  app.formatter(formatter);
  app.set_version_flag("--version", version_text());
  app.require_subcommand(1);
  // Options are "-x" and "--name" on every system: "/tmp/setup.exe" is a path, even on Windows.
  app.allow_windows_style_options(false);
  app.failure_message(failure_message);
  app.footer("Run 'sfx COMMAND --help' for a command's options and details.");

  CompressOptions compress;
  unsigned compress_threads = 0;
  CLI::App* compress_command = add_command(app, "compress", "Compress INPUT into a bare payload",
                                  "INPUT", &compress.input, "File to compress ('-': stdin)");
  add_output(compress_command, &compress.output, &compress.force);
  add_payload_options(compress_command, &compress, &compress_threads);

  PackOptions pack;
  unsigned pack_threads = 0;
  CLI::App* pack_command = add_command(app, "pack", "Pack INSTALLER (or a folder) into a self-extracting launcher",
                                  "INSTALLER", &pack.input,
                                  "Installer to pack ('-': stdin), or a folder to pack whole (with --run)", false);
  CLI::Option* installer_option = pack_command->get_option("INSTALLER");
  add_output(pack_command, &pack.output, &pack.force);
  pack_command
      ->add_option("--run", pack.run,
                   "The program to start in a folder packed whole, by its name inside the folder with '/' "
                   "between folders (bin/setup.exe): a Windows program, a Windows Installer package or a .cmd "
                   "or .bat file for the Windows launchers, an ELF program or a #! script for the POSIX one. "
                   "Required for a folder; the launcher then always waits")
      ->option_text("REL/PATH");
  pack_command
      ->add_option("--from-tar", pack.from_tar,
                   "Pack the folder held in the tar stream FILE ('-': stdin; GNU, ustar or pax, as tar, bsdtar, "
                   "Python and git archive write them) instead of INSTALLER, exactly as the folder itself packs")
      ->option_text("FILE")
      ->excludes(installer_option);
  pack_command
      ->add_option("--stub", pack.stub,
                   "The launcher to put in front: windows (the built-in Windows launcher, 32-bit, "
                   "the default: it runs on every Windows), windows64 (the same as 64-bit code, for "
                   "systems without 32-bit support such as Windows PE or Server Core without WOW64), "
                   "posix (the built-in POSIX one), or a launcher file (write ./windows for a file of "
                   "that name)")
      ->option_text("windows|windows64|posix|FILE");
  pack_command->add_flag("--wait", pack.wait,
                         "The wait contract: the launcher starts the installer with its own command-line switches "
                         "(and its path in SFX_LAUNCHER_PATH), waits for it, removes it and exits with its exit "
                         "code. An installer package (.msi) always waits");
  pack_command->add_flag("--any-payload", pack.any_payload,
                         "Pack an installer the launcher cannot start (neither a program nor a package) all the same");
  add_payload_options(pack_command, &pack, &pack_threads);
  // The publisher's identity, written into the Windows launcher's resources before the payload.
  struct IdentityOption {
    const char* name;
    const char* text;
    const char* what;
    std::optional<std::string>* value;
  };
  const IdentityOption identity_options[] = {
      {"--icon", "FILE.ico", "The launcher's icon: every image of the .ico file (at most 1 MiB)", &pack.icon},
      {"--product", "NAME", "Version information: ProductName and FileDescription", &pack.product},
      {"--company", "NAME", "Version information: CompanyName", &pack.company},
      {"--product-version", "A.B.C.D",
       "Version information: ProductVersion, FileVersion and the version numbers (four numbers, 0 to 65535)",
       &pack.product_version},
      {"--title", "CAPTION",
       "The progress window's caption (at most 60 characters; default: the installer's product name, else its "
       "file description, else its file name)",
       &pack.title},
      {"--failure-title", "CAPTION", "The failure message's caption (at most 60 characters; default: as --title)",
       &pack.failure_title},
      {"--url", "ADDRESS",
       "The address the failure message sends the user to (at most 186 characters; default: none, and the "
       "message has no address line)",
       &pack.url},
  };
  for (const IdentityOption& o : identity_options)
    pack_command->add_option(o.name, *o.value, o.what)->option_text(o.text)->group("Identity");
  pack_command->add_flag("--keep-launcher-identity", pack.keep_launcher_identity,
                         "Keep the launcher's own icon, version information and texts rather than the publisher's face")
      ->group("Identity");

  ExtractOptions extract;
  CLI::App* extract_command = add_command(app, "extract", "Write the decoded data of the payload in FILE",
                                  "FILE", &extract.file, "File holding a payload ('-': stdin)");
  add_output(extract_command, &extract.output, &extract.force);
  unsigned extract_threads = 0;
  add_threads(extract_command, &extract_threads, "decoding blocks");
  add_sync(extract_command, &extract.sync);
  add_quiet(extract_command, &extract.quiet);
  // The usage line names the output it needs, as its parser does ("--output is required").
  extract_command->get_option("--output")->description("Where to write ('-': stdout); required");
  extract_command->formatter_fn(
      [formatter](const CLI::App* command, std::string name, CLI::AppFormatMode mode) {
        std::string help = formatter->make_help(command, name, mode);
        const std::string plain = " [OPTIONS] FILE\n";
        const size_t at = help.find(plain);
        if (at != std::string::npos) help.replace(at, plain.size(), " FILE -o OUTPUT [OPTIONS]\n");
        return help;
      });

  ListOptions list;
  CLI::App* list_command = add_command(app, "list", "Show the blocks of the payload in FILE",
                                  "FILE", &list.file, "File holding a payload ('-': stdin)");
  list_command->add_flag("--json", list.json, "Print one JSON object instead of text");
  list_command->add_flag("--totals", list.totals_only, "Leave out the line per block");
  add_quiet(list_command, &list.quiet);

  VerifyOptions verify;
  unsigned verify_threads = 0;
  CLI::App* verify_command = add_command(app, "verify", "Check the payload in each FILE block by block",
                                  "FILE", &verify.files, "Files holding a payload ('-': stdin)");
  CLI::Option* original_option =
      verify_command->add_option("--original", verify.original, "The data the payload should decode to")
          ->option_text("ORIGINAL");
  add_threads(verify_command, &verify_threads, "decoding and re-encoding blocks");
  add_quiet(verify_command, &verify.quiet);

  BenchCommandOptions bench;
  CLI::App* bench_command = add_command(app, "bench", "Measure the codec's speed and ratio beside common codecs",
                                  "FILES", &bench.files, "Files to measure", false);
  add_block_size(bench_command, &bench.block_input);
  bench_command->add_option("--runs", bench.runs, "Report the best of N runs, 1 to 1000 (default 5)")
      ->check(whole_number(1, 1000))
      ->option_text("N");
  bench_command
      ->add_option("--min-seconds", bench.min_seconds,
                   "Repeat each timed run for at least S seconds, 0 to 3600 (default 0.25)")
      ->check(seconds(3600.0))
      ->option_text("S");
  bench_command->add_flag("!--no-peers", bench.peers, "Measure this codec alone");
  add_quiet(bench_command, &bench.quiet);

  if (refuse_unknown_command(app, argc, argv)) return SFX_EXIT_USAGE;
  parsed_arguments.assign(argv, argv + argc);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? SFX_EXIT_OK : SFX_EXIT_USAGE;
  }

  // An empty name is no file: say which one it is.
  const auto require_name = [](const std::string& value, const char* what) {
    if (value.empty()) throw ToolError(SFX_EXIT_USAGE, "", std::string(what) + " is empty; name a file ('-' for a standard stream)");
  };
  if (*compress_command) require_name(compress.input, "INPUT"), require_name(compress.output, "-o (OUTPUT)");
  if (*pack_command) {
    if (pack.from_tar)
      require_name(*pack.from_tar, "--from-tar");
    else if (installer_option->count() == 0)
      throw ToolError(SFX_EXIT_USAGE, "", "INSTALLER is required: an installer, or a folder with --run (or --from-tar FILE)");
    else
      require_name(pack.input, "INSTALLER");
    require_name(pack.output, "-o (OUTPUT)");
  }
  if (*extract_command) require_name(extract.file, "FILE"), require_name(extract.output, "-o (OUTPUT)");
  if (*list_command) require_name(list.file, "FILE");
  for (const std::string& file : verify.files) require_name(file, "FILE");
  for (const std::string& file : bench.files) require_name(file, "FILE");
  if (*compress_command) {
    compress.payload.threads = resolve_threads(compress_threads);
    return run_compress(compress);
  }
  if (*pack_command) {
    pack.payload.threads = resolve_threads(pack_threads);
    return run_pack(pack);
  }
  if (*extract_command) {
    extract.threads = resolve_threads(extract_threads);
    return run_extract(extract);
  }
  if (*list_command) return run_list(list);
  if (*verify_command) {
    verify.threads = resolve_threads(verify_threads);
    verify.has_original = original_option->count() > 0;
    return run_verify(verify);
  }
  if (*bench_command) return run_bench(bench);
  return SFX_EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: the CRC tables are only read from then on.
  crc32_prepare();
  os_init_std_streams();
  int status = SFX_EXIT_USAGE;
  try {
    std::vector<std::string> arguments = os_arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    status = run(static_cast<int>(arguments.size()), pointers.data());
  } catch (const ToolError& error) {
    report_tool_error(error);
    status = error.status();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "sfx: out of memory\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sfx: %s\n", error.what());
  }
  return finish_stdout(status);
}
