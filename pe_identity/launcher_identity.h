// The publisher's launcher: the identity `sfx pack` writes into the Windows stub's resources
// before the payload is appended (its icon, version information, progress window title,
// failure caption and publisher's address), and the same read back for `sfx list`.
//
// The stub's resource section is rebuilt whole; it must be the program's last section (the
// build links the launcher so). The launcher's manifest and every resource not named here stay
// as they are, and everything written is in the launcher's language (LAUNCHER_LANGUAGE).
#pragma once

#include "texts.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "icon_file.h"

constexpr uint16_t LAUNCHER_LANGUAGE = 1033;  // U.S. English, as launcher.rc is compiled
constexpr uint16_t LAUNCHER_VERSION_NAME = 1;  // VS_VERSION_INFO

// Limits of the texts, in characters (Unicode code points). A dialog's caption bar shows about 60
// characters of the progress window's width; the failure caption is held to the same. The
// failure message is put together in a buffer of 256 UTF-16 units, which leaves
// MAX_ADDRESS_CHARS (186) units for the address (texts.h): an address is held to 186 characters
// and to 186 units. Version texts are bounded so that their blocks keep 16-bit lengths.
constexpr size_t MAX_TITLE_CHARS = 60;
constexpr size_t MAX_VERSION_TEXT_CHARS = 256;

// What the publisher chose. Texts are UTF-8.
struct IdentityChoice {
  std::optional<std::vector<uint8_t>> icon;  // the bytes of an .ico file: all its images
  std::string icon_file;                     // its name, for messages
  // Copy the installer's main icon group (unless icon is given) and its version information,
  // when it is a Windows program that has them.
  bool copy_from_installer = true;
  // The publisher's face: the launcher takes its progress window title and failure caption from
  // the installer (its ProductName, else its FileDescription, else installer_name), names no
  // address unless url is given, and, where the installer has no version information, gets
  // version information made from that same name and product_version (or 0.0.0.0), so that
  // nothing of the launcher's own identity is left. False keeps the launcher's own texts and
  // version information wherever no option overrides them.
  bool publisher_face = true;
  std::string installer_name;  // the installer's file name without its extension (UTF-8)
  std::optional<std::string> product;          // ProductName and FileDescription
  std::optional<std::string> company;          // CompanyName
  std::optional<std::string> product_version;  // "A.B.C.D": ProductVersion, FileVersion, and the numbers
  std::optional<std::string> title;            // the progress window's caption
  std::optional<std::string> failure_title;    // the failure message's caption
  std::optional<std::string> url;              // the publisher's address in the failure message
};

// A choice that cannot be applied, or a launcher whose resources cannot be rewritten: the reason,
// and the file to blame when one is (an icon file), else empty.
class IdentityError : public std::runtime_error {
 public:
  IdentityError(std::string file, const std::string& reason) : std::runtime_error(reason), file_(std::move(file)) {}
  const std::string& file() const { return file_; }

 private:
  std::string file_;
};

struct IdentityResult {
  std::vector<uint8_t> stub;
  // What could not be done and what was done instead, one line each, e.g. "the installer's
  // resources are damaged (...); the launcher keeps its own icon and version information".
  std::vector<std::string> notes;
  // Which title and failure caption were written and where they came from, in one line, e.g.
  // "title and failure caption \"Acme Tool\", from the installer's ProductName"; empty when
  // the launcher keeps its own.
  std::string texts_summary;
};

// The stub with the identity written in: the installer's icon group (the one Explorer shows)
// and its icons replace the launcher's group IDI_LAUNCHER, keeping its id, with the icons
// numbered afresh; its version information replaces the launcher's; the options then override
// (icon: the icon; product, company, product_version: those version texts and numbers over the
// copied or the launcher's own, other keys kept; the texts). What the installer holds damaged is
// not copied, and a note says so. When nothing changes the stub comes back byte for byte; the
// same inputs always give the same bytes.
//
// Throws IdentityError with the reason for a bad choice: an icon that is not an icon
// file, has no image or images outside it, or is over MAX_ICON_FILE_BYTES (naming icon_file);
// a text that is empty, not valid UTF-8, holds a control character or is past its limit; a
// version that is not four numbers from 0 to 65535. Messages name the choices as the options
// --icon, --product, --company, --product-version, --title, --failure-title and --url. Also for
// a stub whose resources cannot be rebuilt (damaged, or not its last section).
IdentityResult apply_identity(const std::vector<uint8_t>& stub, const uint8_t* installer, size_t installer_size,
                              const IdentityChoice& choice);

// "A.B.C.D", each from 0 to 65535; false for anything else.
bool parse_four_part_version(const std::string& text, std::array<uint16_t, 4>* version);

struct LauncherIdentity {
  std::vector<IconDescription> icons;  // of icon group IDI_LAUNCHER, in its order
  // The first string table's texts, in its order (UTF-8).
  std::vector<std::pair<std::string, std::string>> version_strings;
  bool has_version_numbers = false;
  std::array<uint16_t, 4> file_version{}, product_version{};
  std::optional<std::string> title;  // the progress window's caption, when its template is there
  std::string failure_title;          // from the string table, else the launcher's own
  std::string url;                    // empty: the message names no address
  std::vector<std::string> problems;  // resources present but unreadable, one line each
};

// The identity of a launcher (or of a packed file: the payload after the program is ignored).
// Throws ResourceError for a file that is not a Windows program or whose resource tree is
// damaged; a damaged single resource is named in problems instead.
LauncherIdentity read_identity(const uint8_t* image, size_t n);
inline LauncherIdentity read_identity(const std::vector<uint8_t>& image) {
  return read_identity(image.data(), image.size());
}
