// The commands that make payloads: compress (a bare payload) and pack (a launcher stub with the
// payload appended).
#include <cstdio>

#include <algorithm>

#include "commands.h"
#include "file_io.h"
#include "integrity.h"
#include "launcher_identity.h"
#include "number_texts.h"
#include "launcher_stub.h"
#include "mem.h"
#include "pe_checksum.h"
#include "pe_image.h"
#include "pe_resources.h"
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

namespace {

// The installer's program image (its headers and sections, without what is appended after them),
// for its resources: read from the start and the input put back where it was. Empty for an image
// larger than this, whose identity is not copied.
constexpr uint64_t MAX_COPIED_IMAGE_BYTES = 64u << 20;

std::vector<uint8_t> installer_image(InputFile& input, const std::vector<uint8_t>& head) {
  try {
    const PeLayout layout = pe_layout_read(head.data(), head.size());
    uint64_t end = head.size();
    for (const PeSection& section : layout.sections)
      end = std::max<uint64_t>(end, uint64_t{section.raw_offset} + section.raw_size);
    if (end > MAX_COPIED_IMAGE_BYTES) return {};
    std::vector<uint8_t> image(static_cast<size_t>(end));
    image.resize(input.read_full(image.data(), image.size()));
    input.rewind();
    return image;
  } catch (const ResourceError&) {
    return head;  // the headers do not say; apply_identity names what is wrong with them
  }
}

// The stub with the publisher's identity written in (Windows launchers): copied from the
// installer unless kept, with the options over it. Options that cannot apply are refused; a copy
// that cannot be made is only noted.
// The installer's file name without its folder and its extension ("setup" for
// "dist/setup.exe"); the output's for an installer on stdin; empty when both are streams.
std::string installer_name(const PackOptions& options) {
  std::string path = is_std_stream(options.input) ? options.output : options.input;
  if (is_std_stream(path)) return "";
  size_t start = path.size();
  while (start > 0 && !os_is_separator(path[start - 1])) --start;
  std::string name = path.substr(start);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// summary: which title and caption were written and whence, in one line (empty: none).
std::vector<uint8_t> identified_stub(const LauncherStub& stub, const PackOptions& options, InputFile& input,
                                     const std::vector<uint8_t>& head, bool installer_is_program,
                                     std::string* summary) {
  if (!stub.windows) {
    if (options.identity_option_given())
      throw ToolError(SFX_EXIT_USAGE, "",
                      "--icon, --product, --company, --product-version, --title, --failure-title and --url "
                      "are for the Windows launcher; " + stub.name + " has no resources");
    return stub.bytes;
  }
  IdentityChoice choice;
  choice.copy_from_installer = !options.keep_launcher_identity && installer_is_program;
  choice.publisher_face = !options.keep_launcher_identity;
  choice.installer_name = installer_name(options);
  if (options.icon) {
    InputFile icon(*options.icon, false);
    if (icon.size() > static_cast<int64_t>(MAX_ICON_FILE_BYTES))
      throw ToolError(SFX_EXIT_USAGE, icon.display_name(),
                      "is " + std::to_string(icon.size()) + " bytes; an icon file may hold at most " +
                          std::to_string(MAX_ICON_FILE_BYTES));
    std::vector<uint8_t> bytes(MAX_ICON_FILE_BYTES + 1);
    bytes.resize(icon.read_full(bytes.data(), bytes.size()));
    choice.icon = bytes;
    choice.icon_file = icon.display_name();
  }
  choice.product = options.product;
  choice.company = options.company;
  choice.product_version = options.product_version;
  choice.title = options.title;
  choice.failure_title = options.failure_title;
  choice.url = options.url;
  const std::vector<uint8_t> image =
      choice.copy_from_installer ? installer_image(input, head) : std::vector<uint8_t>();
  IdentityResult result;
  try {
    result = apply_identity(stub.bytes, image.data(), image.size(), choice);
  } catch (const IdentityError& error) {
    if (options.identity_option_given()) throw ToolError(SFX_EXIT_USAGE, error.file(), error.what());
    // Only the copy was asked for, by default: the launcher keeps its own identity.
    result.stub = stub.bytes;
    result.notes.push_back(std::string(error.what()) + "; the launcher keeps its own icon and version information");
  }
  if (!options.quiet)
    for (const std::string& note : result.notes) std::fprintf(stderr, "sfx: note: %s\n", note.c_str());
  *summary = result.texts_summary;
  return result.stub;
}

// Sets the CheckSum of the packed Windows program in output (a file of the tool's own) to what
// it is for the whole file as written, payload included. A stub whose headers do not place the
// field (a program header alone, as test stand-ins have) keeps its bytes.
void set_pe_checksum(OutputFile& output, const std::vector<uint8_t>& stub) {
  PeLayout layout;
  try {
    layout = pe_layout_read(stub.data(), stub.size());
  } catch (const ResourceError&) {
    return;
  }
  PeChecksum sum(layout.checksum_offset);
  std::vector<uint8_t> chunk(1 << 20);
  for (uint64_t at = 0;;) {
    const size_t got = output.read_at(at, chunk.data(), chunk.size());
    if (got == 0) break;
    sum.update(chunk.data(), got);
    at += got;
  }
  uint8_t field[4];
  store_le32(field, sum.value());
  output.write_at(layout.checksum_offset, field, sizeof field);
}

const char* contract_text(uint8_t flags) {
  if ((flags & INTEGRITY_FLAG_MSI) != 0)
    return "the launcher starts the package through msiexec /i with its own switches passed on, waits, "
           "removes it and exits with msiexec's exit code";
  if ((flags & INTEGRITY_FLAG_WAIT) != 0)
    return "the launcher starts the installer with its own switches passed on, waits, removes it and exits "
           "with the installer's exit code";
  return "the launcher starts the installer with its own path as the argument and exits at once with status 1";
}

}  // namespace

int run_pack(const PackOptions& options) {
  const LauncherStub stub = load_stub(options.stub, options.payload.record);
  InputFile input(options.input, false);
  refuse_same_file(options.output, input);
  if (!stub.built_in && !is_std_stream(options.output)) {
    InputFile stub_file(stub.name, false);
    refuse_same_file(options.output, stub_file);
  }
  // What the installer is decides what the launcher can do with it: its first bytes are read, and
  // the input put back (a pipe is first copied aside).
  input.spool();
  std::vector<uint8_t> head(PE_HEADER_SPAN_BYTES);
  head.resize(input.read_full(head.data(), head.size()));
  input.rewind();
  if (head.empty()) refuse_empty_installer(input);
  const InstallerKind kind = installer_kind(head.data(), head.size());
  if (!options.any_payload) check_installer_kind(stub, kind, input.display_name());

  PayloadOptions payload = options.payload;
  payload.refuse_empty = true;
  if (options.wait) payload.record_flags |= INTEGRITY_FLAG_WAIT;
  if (kind == InstallerKind::MSI_PACKAGE && stub.windows) payload.record_flags |= INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_WAIT;
  if (payload.record_flags != 0 && !payload.record)
    throw ToolError(SFX_EXIT_USAGE, "",
                    std::string(options.wait ? "--wait" : "an installer package") +
                        " needs the integrity record, which carries the contract; leave out --no-record");
  std::string texts;
  const std::vector<uint8_t> launcher =
      identified_stub(stub, options, input, head, kind == InstallerKind::WINDOWS_PROGRAM, &texts);

  // The packed file is a program: executable, as a linker makes its output (the umask applies).
  OutputFile output(options.output, options.force, 0777);
  Progress progress("pack " + input.display_name(), input.size(), options.quiet);
  // A Windows program's checksum covers the whole file: a stream is written in full into a
  // scratch file first, so that its checksum can be set before it goes out.
  const bool through_scratch = stub.windows && !output.can_write_at();
  std::unique_ptr<OutputFile> scratch;
  if (through_scratch) scratch = std::make_unique<OutputFile>(OutputFile::SCRATCH);
  OutputFile& written = through_scratch ? *scratch : output;
  const PayloadStats stats = write_payload(input, written, launcher, payload, &progress);
  input.check_unchanged(stats.input_bytes);
  if (stub.windows) set_pe_checksum(written, launcher);
  if (through_scratch) written.copy_into(output);
  output.commit();
  progress.clear();
  if (!options.quiet) {
    LauncherStub used = stub;
    used.bytes = launcher;
    print_summary(input.display_name(), stats, output.display_name(), &used);
    std::fprintf(stderr, "contract: %s\n", contract_text(payload.record_flags));
    if (!texts.empty()) std::fprintf(stderr, "launcher texts: %s\n", texts.c_str());
  }
  return SFX_EXIT_OK;
}
