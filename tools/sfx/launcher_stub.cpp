// Launcher stubs: the built-in ones, files, and their checks.
#include "launcher_stub.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "embedded_stubs.h"
#include "file_io.h"
#include "integrity.h"
#include "os_files.h"
#include "payload_reader.h"
#include "pe_image.h"
#include "tool_error.h"

namespace {

bool is_elf(const std::vector<uint8_t>& bytes) {
  return is_elf_header(bytes.data(), static_cast<uint32_t>(std::min<size_t>(bytes.size(), PE_HEADER_SPAN_BYTES)));
}

}  // namespace

std::string describe_pe(const PeImage& image) {
  std::string text = image.is_pe32 ? "PE32" : "PE32+";
  text += image.subsystem == 2 ? " GUI program" : image.subsystem == 3 ? " console program" : " program";
  if (image.machine == 0x14C) text += " for Intel 80386";
  else if (image.machine == 0x8664) text += " for x86-64";
  else if (image.machine == 0xAA64) text += " for ARM64";
  return text;
}

namespace {

LauncherStub built_in(const char* what, EmbeddedStub stub, const std::string& missing) {
  if (stub.size == 0) throw ToolError(SFX_EXIT_USAGE, "", missing);
  LauncherStub result;
  result.name = std::string("the built-in ") + what + " launcher";
  result.built_in = true;
  result.bytes.assign(stub.bytes, stub.bytes + stub.size);
  return result;
}

constexpr char STUB_CHOICES[] = "windows, windows64, posix or a launcher file";

std::vector<uint8_t> read_stub_file(const std::string& path) {
  if (is_std_stream(path))
    throw ToolError(SFX_EXIT_USAGE, "", std::string("--stub takes ") + STUB_CHOICES + ", not stdin");
  OsFileInfo info;
  const bool known = os_info_of_path(path, &info);
  if (!known || info.kind == OsFileKind::MISSING)
    throw ToolError(SFX_EXIT_USAGE, "",
                    "--stub " + path + ": " + (known ? "no such file" : os_error_text(os_last_error())) +
                        "; --stub takes " + STUB_CHOICES);
  InputFile file(path, false);
  if (file.info().kind != OsFileKind::REGULAR)
    throw ToolError(SFX_EXIT_USAGE, path, "is not a regular file, so not a launcher");
  if (static_cast<uint64_t>(file.size()) > MAX_STUB_BYTES)
    throw ToolError(SFX_EXIT_USAGE, path,
                    "is " + std::to_string(file.size()) + " bytes, too large for a launcher (at most " +
                        std::to_string(MAX_STUB_BYTES) + "); is it the installer?");
  std::vector<uint8_t> bytes(static_cast<size_t>(file.size()));
  bytes.resize(file.read_full(bytes.data(), bytes.size()));
  return bytes;
}

}  // namespace

LauncherStub load_stub(const std::string& choice, bool record) {
  LauncherStub stub;
  if (choice.empty()) {
    throw ToolError(SFX_EXIT_USAGE, "", std::string("--stub is empty; give ") + STUB_CHOICES);
  } else if (choice == "windows") {
    stub = built_in("Windows", embedded_windows_stub(),
                    "this sfx was built without the Windows launcher: the mingw-w64 cross compiler "
                    "was missing (on Debian: apt-get install g++-mingw-w64-i686, then configure and "
                    "build again); or give a launcher file with --stub FILE");
  } else if (choice == "windows64") {
    stub = built_in("64-bit Windows", embedded_windows64_stub(),
                    "this sfx was built without the 64-bit Windows launcher: the mingw-w64 cross "
                    "compiler for x86-64 was missing (on Debian: apt-get install g++-mingw-w64-x86-64, "
                    "then configure and build again); or give a launcher file with --stub FILE");
  } else if (choice == "posix") {
    stub = built_in("POSIX", embedded_posix_stub(),
                    "this sfx was built without the POSIX launcher; give a launcher file with --stub FILE");
  } else {
    stub.name = choice;
    stub.bytes = read_stub_file(choice);
  }
  check_stub(stub, record);
  const uint32_t head = static_cast<uint32_t>(std::min<size_t>(stub.bytes.size(), PE_HEADER_SPAN_BYTES));
  const PeImage image = pe_image_read(stub.bytes.data(), head);
  stub.description = image.is_pe ? describe_pe(image) : "ELF program";
  stub.windows = image.is_pe;
  return stub;
}

InstallerType installer_type(const uint8_t* head, size_t n, const ReadAt& read_at) {
  const auto span = static_cast<uint32_t>(std::min<size_t>(n, PE_HEADER_SPAN_BYTES));
  const PeImage image = pe_image_read(head, span);
  InstallerType type;
  if (image.is_pe) {
    type.kind = image.is_dll ? InstallerKind::WINDOWS_LIBRARY : InstallerKind::WINDOWS_PROGRAM;
  } else if (is_compound_file(head, n)) {
    const CompoundInfo compound = compound_file_class(read_at);
    switch (compound.kind) {
      case CompoundClass::INSTALLER_PACKAGE: type.kind = InstallerKind::MSI_PACKAGE; break;
      case CompoundClass::INSTALLER_PATCH: type.kind = InstallerKind::MSI_PATCH; break;
      case CompoundClass::INSTALLER_TRANSFORM: type.kind = InstallerKind::MSI_TRANSFORM; break;
      case CompoundClass::OTHER: type.kind = InstallerKind::COMPOUND_DOCUMENT; break;
      case CompoundClass::UNREADABLE: type.kind = InstallerKind::COMPOUND_DAMAGED; break;
    }
    type.note = compound.kind == CompoundClass::UNREADABLE ? compound.problem
                                                           : "the class of its root storage is " + compound.clsid;
  } else if (is_elf_header(head, span)) {
    type.kind = InstallerKind::ELF_PROGRAM;
  } else if (n >= 2 && head[0] == '#' && head[1] == '!') {
    type.kind = InstallerKind::SCRIPT;
  }
  return type;
}

std::string installer_type_text(const InstallerType& type) {
  switch (type.kind) {
    case InstallerKind::WINDOWS_PROGRAM: return "a Windows program";
    case InstallerKind::WINDOWS_LIBRARY: return "a Windows library (a DLL), not a program";
    case InstallerKind::MSI_PACKAGE: return "a Windows Installer package";
    case InstallerKind::MSI_PATCH: return "a Windows Installer patch";
    case InstallerKind::MSI_TRANSFORM:
      return "a Windows Installer transform (.mst), which changes a package as it is installed and installs nothing "
             "itself (" + type.note + ")";
    case InstallerKind::COMPOUND_DOCUMENT:
      return "a compound document (e.g. a Word or Excel file), not a Windows Installer package or program (" +
             type.note + ")";
    case InstallerKind::COMPOUND_DAMAGED:
      return "a compound file whose root storage cannot be read (" + type.note +
             "), so no Windows Installer package or program";
    case InstallerKind::ELF_PROGRAM: return "an ELF program";
    case InstallerKind::SCRIPT: return "a script";
    case InstallerKind::OTHER: break;
  }
  return "neither a program nor an installer package";
}

bool can_start(const LauncherStub& stub, InstallerKind kind) {
  return stub.windows ? kind == InstallerKind::WINDOWS_PROGRAM || kind == InstallerKind::MSI_PACKAGE ||
                            kind == InstallerKind::MSI_PATCH
                      : kind == InstallerKind::ELF_PROGRAM || kind == InstallerKind::SCRIPT;
}

std::string startable_kinds(const LauncherStub& stub) {
  return stub.windows ? "Windows programs (PE), Windows Installer packages (.msi) and patches (.msp)"
                      : "ELF programs and scripts that begin with #!";
}

void check_installer_kind(const LauncherStub& stub, const InstallerType& type, const std::string& installer) {
  if (can_start(stub, type.kind)) return;
  throw ToolError(SFX_EXIT_USAGE, installer,
                  "is " + installer_type_text(type) + ", which " + stub.name + " cannot start: it starts " +
                      startable_kinds(stub) + "; --any-payload packs it all the same");
}

void check_stub(const LauncherStub& launcher, bool record) {
  // Built-in stubs are checked too: they are what a faulty build would get wrong. A file is named
  // as the file at fault; a built-in one in the message itself.
  const std::vector<uint8_t>& stub = launcher.bytes;
  const std::string file = launcher.built_in ? "" : launcher.name;
  const std::string who = launcher.built_in ? launcher.name + ": " : "";
  const uint32_t head = static_cast<uint32_t>(std::min<size_t>(stub.size(), PE_HEADER_SPAN_BYTES));
  const PeImage image = pe_image_read(stub.data(), head);
  if (!image.is_pe && !is_elf(stub))
    throw ToolError(SFX_EXIT_USAGE, file,
                    who + "is not a program (neither a Windows PE nor an ELF header), so not a launcher");
  if (image.has_certificates)
    throw ToolError(SFX_EXIT_USAGE, file,
                    who + "is signed (it has a certificate table at offset " +
                        std::to_string(image.certificates_offset) +
                        "); pack an unsigned launcher and sign the packed file afterwards");

  // Every launcher holds the text it searches its own file for (in lower case, so that it never
  // finds itself); any other program would never unpack what is appended to it.
  const size_t marker_text = sizeof PAYLOAD_MARKER_LOWER - 1;
  if (std::search(stub.begin(), stub.end(), PAYLOAD_MARKER_LOWER, PAYLOAD_MARKER_LOWER + marker_text) == stub.end())
    throw ToolError(SFX_EXIT_USAGE, file,
                    who + "is a program but not a launcher: it does not search its own file for a payload, "
                          "so the packed file could never unpack; give --stub windows, windows64, posix or a "
                          "launcher built by this project");

  // A stub ending in part of the marker ("...WOMB") would let the bytes after it complete or
  // hide a marker, depending on the record's bytes; refused whatever those are.
  uint8_t marker[PAYLOAD_MARKER_BYTES];
  payload_marker(marker);
  for (uint32_t n = PAYLOAD_MARKER_BYTES - 1; n >= 1; --n) {
    if (stub.size() >= n && std::memcmp(stub.data() + stub.size() - n, marker, n) == 0)
      throw ToolError(SFX_EXIT_USAGE, file,
                      who + "ends with the start of a payload marker (\"" +
                          std::string(reinterpret_cast<const char*>(marker), n) +
                          "\"), which would hide the payload from the launcher's search");
  }

  // The launcher's own search over the stub, the record and a marker must stop right after that
  // marker, and find the record there (or none without one).
  std::vector<uint8_t> probe = stub;
  if (record) {
    uint8_t record_bytes[INTEGRITY_RECORD_BYTES];
    integrity_record_write(IntegrityRecord{0, 0}, record_bytes);
    probe.insert(probe.end(), record_bytes, record_bytes + sizeof record_bytes);
  }
  probe.insert(probe.end(), marker, marker + PAYLOAD_MARKER_BYTES);
  MemoryBytes memory{probe.data(), probe.size(), 0};
  auto reader = std::make_unique<PayloadReader>();
  payload_reader_init(reader.get(), memory_source(&memory));
  int64_t start = 0;
  const bool found = find_payload(reader.get(), &start);
  const auto expected = static_cast<int64_t>(probe.size());
  if (found && start < expected)
    throw ToolError(SFX_EXIT_USAGE, file,
                    who + "already holds a payload marker (ending at offset " + std::to_string(start) +
                        "); is it a packed file? Pack into a bare launcher");
  if (!found || start != expected)
    throw ToolError(SFX_EXIT_USAGE, file, who + "hides the marker after it from the launcher's search");
  if (reader->record_status != (record ? INTEGRITY_PRESENT : INTEGRITY_ABSENT))
    throw ToolError(SFX_EXIT_USAGE, file,
                    who + (record ? "keeps the launcher from reading the integrity record after it"
                                  : "ends with what reads as an integrity record; pack with one"));
}
