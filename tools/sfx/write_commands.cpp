// The commands that make payloads: compress (a bare payload) and pack (a launcher stub with the
// payload appended).
#include <cstdio>

#include <algorithm>
#include <functional>
#include <memory>

#include "bundle_writer.h"
#include "commands.h"
#include "folder_walk.h"
#include "name_policy.h"
#include "tar_input.h"
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
  OutputFile output(options.output, options.force, 0666, options.sync);
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

// Reads up to n bytes of the installer from its start: the count, fewer only at its end.
using InstallerRead = std::function<size_t(uint8_t* buffer, size_t n)>;

std::vector<uint8_t> installer_image(const InstallerRead& read, const std::vector<uint8_t>& head) {
  try {
    const PeLayout layout = pe_layout_read(head.data(), head.size());
    uint64_t end = head.size();
    for (const PeSection& section : layout.sections)
      end = std::max<uint64_t>(end, uint64_t{section.raw_offset} + section.raw_size);
    if (end > MAX_COPIED_IMAGE_BYTES) return {};
    std::vector<uint8_t> image(static_cast<size_t>(end));
    image.resize(read(image.data(), image.size()));
    return image;
  } catch (const ResourceError&) {
    return head;  // the headers do not say; apply_identity names what is wrong with them
  }
}

// The stub with the publisher's identity written in (Windows launchers): copied from the
// installer unless kept, with the options over it. Options that cannot apply are refused; a copy
// that cannot be made is only noted.
// The installer's file name without its folder and its extension ("setup" for
// "dist/setup.exe"), a bundle's program's; the output's for an installer on stdin; empty when
// both are streams.
std::string installer_name(const PackOptions& options) {
  std::string path = options.run ? *options.run : is_std_stream(options.input) ? options.output : options.input;
  if (!options.run && is_std_stream(path)) return "";
  size_t start = path.size();
  while (start > 0 && !os_is_separator(path[start - 1])) --start;
  std::string name = path.substr(start);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// summary: which title and caption were written and whence, in one line (empty: none).
std::vector<uint8_t> identified_stub(const LauncherStub& stub, const PackOptions& options, const InstallerRead& input,
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

// What the launcher does with what it unpacks, in one line; run names a bundle's program.
std::string contract_text(uint8_t flags, const std::string& run) {
  if ((flags & INTEGRITY_FLAG_BUNDLE) != 0) {
    const std::string how = (flags & INTEGRITY_FLAG_PATCH) != 0 && (flags & INTEGRITY_FLAG_MSI) != 0
                                ? "applies " + run + " from it through msiexec /p"
                            : (flags & INTEGRITY_FLAG_MSI) != 0 ? "starts " + run + " from it through msiexec /i"
                            : (flags & INTEGRITY_FLAG_COMMAND_SCRIPT) != 0
                                ? "runs " + run + " from it through the system's command interpreter"
                                : "starts " + run + " from it";
    return "the launcher unpacks the folder, " + how +
           " with its own switches passed on, waits, removes the folder and exits with " +
           ((flags & INTEGRITY_FLAG_MSI) != 0 ? "msiexec's" : "the program's") + " exit code";
  }
  if ((flags & INTEGRITY_FLAG_MSI) != 0 && (flags & INTEGRITY_FLAG_PATCH) != 0)
    return "the launcher applies the patch through msiexec /p with its own switches passed on, waits, "
           "removes it and exits with msiexec's exit code";
  if ((flags & INTEGRITY_FLAG_MSI) != 0)
    return "the launcher starts the package through msiexec /i with its own switches passed on, waits, "
           "removes it and exits with msiexec's exit code";
  if ((flags & INTEGRITY_FLAG_WAIT) != 0)
    return "the launcher starts the installer with its own switches passed on, waits, removes it and exits "
           "with the installer's exit code";
  return "the launcher starts the installer with its own path as the argument and exits at once with status 1";
}

// The packed file: the launcher, then the payload of input, committed whole.
PayloadStats write_packed(const LauncherStub& stub, const std::vector<uint8_t>& launcher, InputFile& input,
                          const PayloadOptions& payload, const PackOptions& options) {
  // The packed file is a program: executable, as a linker makes its output (the umask applies).
  OutputFile output(options.output, options.force, 0777, options.sync);
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
  return stats;
}

// pack's lines on stderr: the summary, the bundle's (when one was packed), the contract, the
// texts written, and for a Windows program packed to start and let go, how to deploy it instead.
void print_pack_summary(const std::string& input, const PayloadStats& stats, const PackOptions& options,
                        const LauncherStub& stub, const std::vector<uint8_t>& launcher, uint8_t flags,
                        const std::string& bundle_line, const std::string& texts, bool starts_a_program) {
  if (options.quiet) return;
  LauncherStub used = stub;
  used.bytes = launcher;
  print_summary(input, stats, output_display_name(options.output), &used);
  if (!bundle_line.empty()) std::fprintf(stderr, "bundle: %s\n", bundle_line.c_str());
  std::fprintf(stderr, "contract: %s\n", contract_text(flags, options.run ? quoted_entry(*options.run) : "").c_str());
  if (!texts.empty()) std::fprintf(stderr, "launcher texts: %s\n", texts.c_str());
  if (starts_a_program && (flags & INTEGRITY_FLAG_WAIT) == 0)
    std::fprintf(stderr,
                 "deploying silently: pack with --wait so that the launcher passes switches such as /S on, waits "
                 "for the installer and returns its exit code\n");
}

bool is_folder(const std::string& path) {
  OsFileInfo info;
  return !is_std_stream(path) && os_info_of_path(path, &info) && info.kind == OsFileKind::DIRECTORY;
}

// ---- a folder packed whole (a bundle)

// The entry --run names: a file of the bundle, by its exact name.
uint32_t run_entry_of(const std::vector<BundleItem>& items, const std::string& run, const std::string& where) {
  const std::string named = "--run: " + quoted_entry(run);
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].name != run) continue;
    if (items[i].directory) throw ToolError(SFX_EXIT_USAGE, "", named + " is a folder of " + where + "; name the program to start");
    if (items[i].size == 0)
      throw ToolError(SFX_EXIT_USAGE, "", named + " is an empty file of " + where + "; the launcher would have no program to start");
    return static_cast<uint32_t>(i);
  }
  // Nothing is guessed, but a name that differs in case or in its separators is pointed out.
  std::string near;
  std::string slashed = run;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  if (slashed.compare(0, 2, "./") == 0) slashed.erase(0, 2);
  const auto n = [](const std::string& text) { return static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX)); };
  const uint64_t key = name_fold(slashed.data(), n(slashed));
  for (const BundleItem& item : items)
    if (name_fold(item.name.data(), n(item.name)) == key) near = " (it holds " + quoted_entry(item.name) + ")";
  throw ToolError(SFX_EXIT_USAGE, "",
                  named + " is not in " + where + near +
                      "; --run names the program by its name inside the folder, '/' between folders, as in bin/setup.exe");
}

bool is_command_script(const std::string& name) {
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return extension == ".cmd" || extension == ".bat";
}

// The record's flags for an installer the Windows launcher starts through msiexec: a package
// (/i) or a patch (/p); none for a program.
uint8_t installer_flags(InstallerKind kind) {
  if (kind == InstallerKind::MSI_PACKAGE) return INTEGRITY_FLAG_MSI;
  if (kind == InstallerKind::MSI_PATCH) return static_cast<uint8_t>(INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_PATCH);
  return 0;
}

// How the launcher starts the bundle's program (INTEGRITY_FLAG_MSI, with _PATCH for a patch,
// _COMMAND_SCRIPT or none), refusing one it cannot start. A .cmd or .bat file goes to the command
// interpreter, as Windows starts a file of that name.
uint8_t program_flags(const LauncherStub& stub, const PackOptions& options, const InstallerType& type,
                      const std::string& where) {
  if (stub.windows && is_command_script(*options.run)) return INTEGRITY_FLAG_COMMAND_SCRIPT;
  if (can_start(stub, type.kind) || options.any_payload) return stub.windows ? installer_flags(type.kind) : 0;
  throw ToolError(SFX_EXIT_USAGE, "",
                  "--run: " + quoted_entry(*options.run) + " in " + where + " is " + installer_type_text(type) +
                      ", which " + stub.name + " cannot start: it starts " +
                      (stub.windows ? startable_kinds(stub) + ", and .cmd or .bat files" : startable_kinds(stub)) +
                      "; --any-payload packs it all the same");
}

std::string program_kind_text(uint8_t flags, const InstallerType& type) {
  if ((flags & INTEGRITY_FLAG_COMMAND_SCRIPT) != 0) return "a command script";
  switch (type.kind) {
    case InstallerKind::WINDOWS_PROGRAM:
    case InstallerKind::MSI_PACKAGE:
    case InstallerKind::MSI_PATCH:
    case InstallerKind::ELF_PROGRAM: return installer_type_text(type);
    case InstallerKind::SCRIPT: return "a #! script";
    default: return "packed with --any-payload";
  }
}

int pack_bundle(const PackOptions& options) {
  const std::string where = options.from_tar ? input_display_name(*options.from_tar) : options.input;
  if (!options.run)
    throw ToolError(SFX_EXIT_USAGE, where,
                    std::string(options.from_tar ? "is a folder's tar stream" : "is a directory") +
                        "; to pack it whole, --run names the program to start in it (its name inside the folder, "
                        "as in bin/setup.exe)");
  if (!options.payload.record)
    throw ToolError(SFX_EXIT_USAGE, "",
                    "a folder needs the integrity record, which marks the payload a bundle and names the program "
                    "to start; leave out --no-record");
  const LauncherStub stub = load_stub(options.stub, true);
  if (!stub.built_in && !is_std_stream(options.output)) {
    InputFile stub_file(stub.name, false);
    refuse_same_file(options.output, stub_file);
  }

  // The folder's entries, checked and in the stream's order, before any byte is written.
  std::unique_ptr<InputFile> tar;
  FolderWalk walk;
  std::vector<BundleItem> items;
  if (options.from_tar) {
    tar = std::make_unique<InputFile>(*options.from_tar, true);
    refuse_same_file(options.output, *tar);
    items = read_tar_folder(*tar);
  } else {
    walk = walk_folder(options.input);
    items = walk.items;
  }
  check_bundle_items(&items, where);
  const uint32_t entry = run_entry_of(items, *options.run, where);

  // The stream, whole in a scratch file: the payload writer reads it as it reads an installer.
  OutputFile stream(OutputFile::SCRATCH);
  const BundleLayout layout = write_bundle(std::move(items), stream, [&](const BundleItem& item, OutputFile& out) {
    if (tar)
      copy_tar_file(*tar, item, out);
    else
      copy_walked_file(walk, item, out);
  });
  if (tar) tar->check_unchanged(static_cast<uint64_t>(tar->size()));

  // The program, as the stream holds it: what the launcher can start, and the identity it gives.
  const uint64_t program_at = layout.data_offset[entry];
  const uint64_t program_size = layout.items[entry].size;
  const ReadAt program_at_offset = [&stream, program_at, program_size](uint64_t offset, uint8_t* buffer, size_t n) {
    if (offset >= program_size) return size_t{0};
    return stream.read_at(program_at + offset, buffer, static_cast<size_t>(std::min<uint64_t>(n, program_size - offset)));
  };
  const InstallerRead read_program = [&program_at_offset](uint8_t* buffer, size_t n) {
    return program_at_offset(0, buffer, n);
  };
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(PE_HEADER_SPAN_BYTES, program_size)));
  head.resize(read_program(head.data(), head.size()));
  const InstallerType type = installer_type(head.data(), head.size(), program_at_offset);
  const InstallerKind kind = type.kind;
  const uint8_t program = program_flags(stub, options, type, where);

  PayloadOptions payload = options.payload;
  payload.refuse_empty = true;
  payload.record_flags = INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT | program;
  payload.record_run_entry = entry;
  std::string texts;
  const std::vector<uint8_t> launcher =
      identified_stub(stub, options, read_program, head, kind == InstallerKind::WINDOWS_PROGRAM && program == 0, &texts);

  InputFile input(stream, where);
  const PayloadStats stats = write_packed(stub, launcher, input, payload, options);
  const std::string bundle_line =
      plural(layout.items.size(), "entry", "entries") + " (" + plural(layout.files, "file", "files") + ", " +
      std::to_string(layout.file_bytes) + " bytes in files); runs " + quoted_entry(*options.run) + " (entry " +
      std::to_string(entry) + ", " + program_kind_text(program, type) + ")";
  print_pack_summary(where, stats, options, stub, launcher, payload.record_flags, bundle_line, texts, false);
  return SFX_EXIT_OK;
}

}  // namespace

int run_pack(const PackOptions& options) {
  if (options.from_tar || is_folder(options.input)) return pack_bundle(options);
  if (options.run)
    throw ToolError(SFX_EXIT_USAGE, input_display_name(options.input),
                    "is a single file; --run names the program to start inside a folder packed whole "
                    "(pack DIR, or --from-tar FILE)");
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
  const InstallerType type = installer_type(
      head.data(), head.size(), [&input](uint64_t offset, uint8_t* buffer, size_t n) { return input.read_at(offset, buffer, n); });
  const InstallerKind kind = type.kind;
  if (!options.any_payload) check_installer_kind(stub, type, input.display_name());

  PayloadOptions payload = options.payload;
  payload.refuse_empty = true;
  if (options.wait) payload.record_flags |= INTEGRITY_FLAG_WAIT;
  // A package or a patch always waits: msiexec's exit code is what its callers need.
  if (stub.windows && installer_flags(kind) != 0)
    payload.record_flags = static_cast<uint8_t>(payload.record_flags | installer_flags(kind) | INTEGRITY_FLAG_WAIT);
  if (payload.record_flags != 0 && !payload.record)
    throw ToolError(SFX_EXIT_USAGE, "",
                    std::string(options.wait ? "--wait" : kind == InstallerKind::MSI_PATCH ? "an installer patch" : "an installer package") +
                        " needs the integrity record, which carries the contract; leave out --no-record");
  const InstallerRead read_installer = [&input](uint8_t* buffer, size_t n) {
    const size_t got = input.read_full(buffer, n);
    input.rewind();
    return got;
  };
  std::string texts;
  const std::vector<uint8_t> launcher =
      identified_stub(stub, options, read_installer, head, kind == InstallerKind::WINDOWS_PROGRAM, &texts);
  const PayloadStats stats = write_packed(stub, launcher, input, payload, options);
  print_pack_summary(input.display_name(), stats, options, stub, launcher, payload.record_flags, "", texts,
                     stub.windows && kind == InstallerKind::WINDOWS_PROGRAM);
  return SFX_EXIT_OK;
}
