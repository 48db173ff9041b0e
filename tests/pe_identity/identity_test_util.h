// Inputs for the tests of the publisher's identity: the built Windows launcher, icons and an
// NSIS installer made by the system's tools, and small PE images made here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

Bytes read_bytes(const std::string& path);
void write_bytes(const std::string& path, const Bytes& bytes);

// A folder for one test, removed at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs a shell command; its exit status, and its stdout in out when given.
int run_command(const std::string& command, std::string* out = nullptr);
bool have_program(const char* name);
std::string shell_quoted(const std::string& text);

// The Windows launcher the build made (empty when the build had no mingw-w64).
const Bytes& built_launcher();

// Icons made with ImageMagick and icotool in folder: "plain.ico" (16x16 and 32x32 DIB images)
// and "png.ico" (16x16 DIB and a PNG-compressed 256x256). False when the tools are missing.
bool make_icons(const TempFolder& folder);
// An NSIS installer made with makensis from a script with an Icon (plain.ico) and version
// keys, in folder as "setup.exe". False when makensis is missing.
bool make_nsis_installer(const TempFolder& folder);

// The raw bytes of one resource as wrestool extracts it from file.
Bytes wrestool_raw(const std::string& file, int type, int name);

// A PE image of the given sections in order, in memory and in the file, each but the last at
// most one page (so section i lies at test_pe_section_rva(i)); section resource_section (-1:
// none) is named as the resource directory. CheckSum zero, no certificates.
struct TestSection {
  std::string name;
  Bytes data;
};
constexpr uint32_t TEST_PE_SECTION_ALIGNMENT = 0x1000;
constexpr uint32_t test_pe_section_rva(size_t i) {
  return static_cast<uint32_t>(TEST_PE_SECTION_ALIGNMENT * (i + 1));
}
Bytes make_pe(bool pe32, const std::vector<TestSection>& sections, int resource_section);
