// The launcher a packed file starts with (the stub): one built into the tool, or a file, and
// the checks that keep the packed file one the launcher will run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compound_file.h"

// A stub larger than this is not a launcher (the Windows one is under 32 KiB); the limit keeps a
// mistaken data file from being read into memory whole.
constexpr uint64_t MAX_STUB_BYTES = 16u << 20;

struct LauncherStub {
  std::string name;         // for messages: "the built-in Windows launcher", or the file's path
  bool built_in = false;    // one of the tool's own, not a file
  bool windows = false;     // a Windows program (PE); a POSIX one (ELF) otherwise
  std::string description;  // what its header says: "PE32 GUI program for Intel 80386", ...
  std::vector<uint8_t> bytes;
};

// --stub: "windows" (the default), "windows64", "posix", or the path of a launcher file. Refuses
// (exit 2) a built-in launcher this build lacks, saying how to get it, and a file that cannot be
// a stub (check_stub) or is not a launcher (it does not carry the text the launcher searches its
// own file for).
LauncherStub load_stub(const std::string& choice, bool record);

// Refuses (exit 2, with the reason) a stub that is not a program (neither a PE nor an ELF
// header), that is signed (a certificate table: the reader would stop there, and signing must
// come after packing anyway), or whose bytes would keep the launcher's search from finding the
// marker right after the integrity record (or right after the stub, without a record): a stub
// that holds a marker already (a packed file) or ends with the start of one.
void check_stub(const LauncherStub& stub, bool record);

// What an installer is, as far as a launcher can start it.
enum class InstallerKind {
  WINDOWS_PROGRAM,    // a PE image
  WINDOWS_LIBRARY,    // a PE image marked as a DLL: nothing can start it
  MSI_PACKAGE,        // a Windows Installer package: a compound file of the package's class
  MSI_PATCH,          // a Windows Installer patch (.msp): a compound file of the patch's class
  MSI_TRANSFORM,      // a transform (.mst): it changes a package as it installs, and installs nothing
  COMPOUND_DOCUMENT,  // any other compound file: a document (Word, Excel), no installer
  COMPOUND_DAMAGED,   // a compound file whose root storage cannot be read
  ELF_PROGRAM,
  SCRIPT,             // "#!"
  OTHER,
};

struct InstallerType {
  InstallerKind kind = InstallerKind::OTHER;
  std::string note;  // a compound file's class, or why its root storage cannot be read
};

// What an installer is, from its first bytes (head, n of them) and, for a compound file, from its
// root storage's class, which read_at reads wherever the file keeps it.
InstallerType installer_type(const uint8_t* head, size_t n, const ReadAt& read_at);
// "a Windows program", "a compound document (e.g. a Word or Excel file), not ...", for messages.
std::string installer_type_text(const InstallerType& type);

struct PeImage;
// What a Windows program's headers say it is: "PE32 GUI program for Intel 80386", "PE32+ GUI
// program for x86-64".
std::string describe_pe(const PeImage& image);

// Whether the launcher can start an installer of this kind: the Windows launcher a Windows program,
// an installer package or a patch, the POSIX one an ELF program or a script that starts with "#!".
bool can_start(const LauncherStub& stub, InstallerKind kind);
// What the launcher starts, for messages: "Windows programs (PE), ...".
std::string startable_kinds(const LauncherStub& stub);
// Refuses (exit 2, with the reason) an installer the launcher cannot start. installer names it in
// the message.
void check_installer_kind(const LauncherStub& stub, const InstallerType& type, const std::string& installer);
