#include "identity_test_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "mem.h"

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TempFolder::TempFolder() {
  char pattern[] = "/tmp/sfx-identity-XXXXXX";
  path_ = mkdtemp(pattern);
}
TempFolder::~TempFolder() { run_command("rm -rf " + shell_quoted(path_)); }

std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int run_command(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool have_program(const char* name) {
  return run_command(std::string("command -v ") + name + " >/dev/null 2>&1") == 0;
}

const Bytes& built_launcher() {
  static const Bytes bytes = read_bytes(SFX_WINDOWS_LAUNCHER_FILE);
  return bytes;
}

bool make_icons(const TempFolder& folder) {
  if (!have_program("icotool") || !have_program("convert")) return false;
  const std::string cd = "cd " + shell_quoted(folder.path()) + " && ";
  return run_command(cd + "convert -size 16x16 xc:red r16.png && "
                          "convert -size 32x32 gradient:red-blue -alpha set g32.png && "
                          "convert -size 256x256 gradient:green-yellow -alpha set g256.png && "
                          "icotool -c -o plain.ico r16.png g32.png && "
                          "icotool -c -o png.ico r16.png -r g256.png") == 0;
}

bool make_nsis_installer(const TempFolder& folder) {
  if (!have_program("makensis") || !make_icons(folder)) return false;
  std::ofstream(folder.file("setup.nsi")) << "Name \"Tiny\"\n"
                                             "OutFile \"setup.exe\"\n"
                                             "Icon \"plain.ico\"\n"
                                             "RequestExecutionLevel user\n"
                                             "VIProductVersion \"1.2.3.4\"\n"
                                             "VIAddVersionKey \"ProductName\" \"Tiny Product\"\n"
                                             "VIAddVersionKey \"CompanyName\" \"Tiny Company\"\n"
                                             "VIAddVersionKey \"FileDescription\" \"Tiny installer\"\n"
                                             "VIAddVersionKey \"FileVersion\" \"1.2.3.4\"\n"
                                             "VIAddVersionKey \"LegalCopyright\" \"nobody\"\n"
                                             "Section\nSectionEnd\n";
  return run_command("cd " + shell_quoted(folder.path()) + " && makensis -V1 setup.nsi >/dev/null") == 0;
}

Bytes wrestool_raw(const std::string& file, int type, int name) {
  std::string out;
  run_command("wrestool -x --raw --type=" + std::to_string(type) + " --name=" + std::to_string(name) + " " +
                  shell_quoted(file),
              &out);
  return Bytes(out.begin(), out.end());
}

Bytes make_pe(bool pe32, const std::vector<TestSection>& sections, int resource_section) {
  constexpr uint32_t FILE_ALIGNMENT = 0x200, HEADERS = 0x400, PE_AT = 0x40, OPT = PE_AT + 24;
  const uint32_t optional_bytes = pe32 ? 224 : 240;
  const uint32_t directories = OPT + (pe32 ? 96 : 112);
  Bytes out(HEADERS, 0);
  out[0] = 'M', out[1] = 'Z';
  store_le32(&out[0x3C], PE_AT);
  out[PE_AT] = 'P', out[PE_AT + 1] = 'E';
  store_le16(&out[PE_AT + 4], pe32 ? 0x14C : 0x8664);
  store_le16(&out[PE_AT + 6], static_cast<uint16_t>(sections.size()));
  store_le16(&out[PE_AT + 20], static_cast<uint16_t>(optional_bytes));
  store_le16(&out[PE_AT + 22], 0x0102);
  store_le16(&out[OPT], pe32 ? 0x10B : 0x20B);
  store_le32(&out[OPT + 32], TEST_PE_SECTION_ALIGNMENT);
  store_le32(&out[OPT + 36], FILE_ALIGNMENT);
  store_le32(&out[OPT + 60], HEADERS);
  store_le16(&out[OPT + 68], 2);
  store_le32(&out[directories - 4], 16);
  uint32_t initialized = 0;
  for (size_t i = 0; i < sections.size(); ++i) {
    const Bytes& data = sections[i].data;
    if (i + 1 < sections.size() && data.size() > TEST_PE_SECTION_ALIGNMENT) ADD_FAILURE() << "section too large";
    const uint32_t rva = test_pe_section_rva(i);
    const uint32_t raw = static_cast<uint32_t>((data.size() + FILE_ALIGNMENT - 1) / FILE_ALIGNMENT * FILE_ALIGNMENT);
    const size_t header = OPT + optional_bytes + 40 * i;
    std::copy(sections[i].name.begin(), sections[i].name.end(), out.begin() + static_cast<ptrdiff_t>(header));
    store_le32(&out[header + 8], static_cast<uint32_t>(data.size()));
    store_le32(&out[header + 12], rva);
    store_le32(&out[header + 16], raw);
    store_le32(&out[header + 20], static_cast<uint32_t>(out.size()));
    store_le32(&out[header + 36], 0x40000040);  // initialized data, readable
    if (static_cast<int>(i) == resource_section) {
      store_le32(&out[directories + 16], rva);
      store_le32(&out[directories + 20], static_cast<uint32_t>(data.size()));
    }
    initialized += raw;
    out.insert(out.end(), data.begin(), data.end());
    out.resize(out.size() + (raw - data.size()), 0);
  }
  store_le32(&out[OPT + 8], initialized);
  const uint32_t end = test_pe_section_rva(sections.size() - 1) +
                       static_cast<uint32_t>(sections.back().data.size());
  store_le32(&out[OPT + 56], (end + TEST_PE_SECTION_ALIGNMENT - 1) / TEST_PE_SECTION_ALIGNMENT * TEST_PE_SECTION_ALIGNMENT);
  return out;
}
