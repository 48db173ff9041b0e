#include "sfx_runner.h"

#include "payload_builder.h"
#include "payload_reader.h"
#include "sfx_expected.h"
#include "test_data.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

void remove_tree(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        remove_tree(child);
      else
        unlink(child.c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

std::string text_of(const std::string& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/sfx-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

std::vector<std::string> ScratchDir::names() const {
  std::vector<std::string> result;
  if (DIR* dir = opendir(path_.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != ".io") result.push_back(name);
    }
    closedir(dir);
  }
  std::sort(result.begin(), result.end());
  return result;
}

namespace {

SfxResult run(const ScratchDir& dir, const std::vector<std::string>& args, const RunOptions& options,
              int terminal) {
  // The captured streams live in a subfolder, so that they never count as the tool's leftovers.
  const std::string io = dir.file(".io");
  mkdir(io.c_str(), 0700);
  const std::string in_path = io + "/stdin", err_path = io + "/stderr";
  const std::string out_path = options.stdout_path.empty() ? io + "/stdout" : options.stdout_path;
  write_file(in_path, options.stdin_bytes);
  int feed[2] = {-1, -1};
  if (options.stdin_pipe) {
    if (pipe(feed) != 0) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);  // a run that stops reading must not end the test
  }

  std::vector<std::string> argv_strings = {options.program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int in = options.stdin_pipe ? feed[0] : open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
    if (options.stdin_pipe) close(feed[1]);
    signal(SIGPIPE, SIG_DFL);
    for (const std::string& setting : options.environment) {
      const size_t equals = setting.find('=');
      setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    dup2(in, 0);
    dup2(terminal >= 0 ? terminal : out, 1);
    dup2(err, 2);
    execv(options.program.c_str(), argv.data());
    _exit(127);
  }
  if (options.stdin_pipe) {
    close(feed[0]);
    size_t done = 0;
    while (done < options.stdin_bytes.size()) {
      const ssize_t put = write(feed[1], options.stdin_bytes.data() + done, options.stdin_bytes.size() - done);
      if (put <= 0) break;
      done += static_cast<size_t>(put);
    }
    close(feed[1]);
  }
  int wait_status = 0;
  struct rusage usage;
  wait4(child, &wait_status, 0, &usage);
  SfxResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                         : 128 + WTERMSIG(wait_status);
  result.out = options.stdout_path.empty() ? text_of(out_path) : "";
  result.err = text_of(err_path);
  result.max_rss_kb = usage.ru_maxrss;
  return result;
}

}  // namespace

SfxResult run_sfx(const ScratchDir& dir, const std::vector<std::string>& args,
                  const Bytes& stdin_bytes, const std::string& program,
                  const std::vector<std::string>& environment) {
  RunOptions options;
  options.stdin_bytes = stdin_bytes;
  options.program = program;
  options.environment = environment;
  return run(dir, args, options, -1);
}

SfxResult run_sfx_with(const ScratchDir& dir, const std::vector<std::string>& args, const RunOptions& options) {
  return run(dir, args, options, -1);
}

SfxResult run_sfx_to_terminal(const ScratchDir& dir, const std::vector<std::string>& args) {
  int controller = -1, terminal = -1;
  if (openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0) {
    SfxResult none;
    none.status = NO_TERMINAL;
    return none;
  }
  SfxResult result = run(dir, args, RunOptions{}, terminal);
  close(terminal);
  close(controller);
  return result;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes program_stub(size_t n) {
  Bytes stub = payload_builder::program_header(true, 0, 0);
  Bytes filler = test_data::random_bytes(n > stub.size() ? n - stub.size() : 0, 77);
  for (uint8_t& b : filler)
    if (b == 'W') b = 'w';
  stub.insert(stub.end(), filler.begin(), filler.end());
  // A launcher carries the text it searches its own file for.
  const std::string text = PAYLOAD_MARKER_LOWER;
  const size_t at = payload_builder::program_header(true, 0, 0).size();
  if (stub.size() >= at + text.size()) std::copy(text.begin(), text.end(), stub.begin() + static_cast<std::ptrdiff_t>(at));
  return stub;
}

Bytes compound_file(const std::string& clsid, uint16_t shift, uint32_t filler_sectors) {
  const size_t sector = size_t{1} << shift;
  const auto put16 = [](Bytes& b, size_t at, uint32_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
  };
  const auto put32 = [&put16](Bytes& b, size_t at, uint32_t v) { put16(b, at, v & 0xFFFF), put16(b, at + 2, v >> 16); };
  constexpr uint32_t FREE = 0xFFFFFFFF, END_OF_CHAIN = 0xFFFFFFFE, FAT_SECTOR = 0xFFFFFFFD;
  const uint32_t directory = 1 + filler_sectors;  // sector 0 is the FAT
  // The header takes a whole sector: 512 bytes, and zeros up to 4096 with 4096-byte sectors.
  Bytes file(sector * (directory + 2), 0);
  const uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  for (size_t i = 0; i < sizeof signature; ++i) file.at(i) = signature[i];
  put16(file, 0x18, 0x3E);
  put16(file, 0x1A, shift == 12 ? 4 : 3);
  put16(file, 0x1C, 0xFFFE);
  put16(file, 0x1E, shift);
  put16(file, 0x20, 6);                          // mini sectors of 64 bytes
  put32(file, 0x28, shift == 12 ? 1 : 0);        // directory sectors (counted in version 4 only)
  put32(file, 0x2C, 1);                          // FAT sectors
  put32(file, 0x30, directory);
  put32(file, 0x38, 4096);                       // the mini stream's cutoff
  put32(file, 0x3C, END_OF_CHAIN);               // no mini FAT
  put32(file, 0x44, END_OF_CHAIN);               // no DIFAT sectors
  put32(file, 0x4C, 0);                          // the FAT is sector 0
  for (size_t at = 0x50; at < 0x200; at += 4) put32(file, at, FREE);
  // The FAT: itself, the filler as one chain, the directory's one sector.
  const size_t fat = sector;
  for (size_t i = 0; i < sector / 4; ++i) put32(file, fat + 4 * i, FREE);
  put32(file, fat, FAT_SECTOR);
  for (uint32_t i = 1; i <= filler_sectors; ++i) put32(file, fat + 4 * i, i == filler_sectors ? END_OF_CHAIN : i + 1);
  put32(file, fat + 4 * directory, END_OF_CHAIN);
  // The directory: the root storage ("Root Entry", black, no children), then unused entries.
  const size_t root = sector * (directory + 1);
  const std::string name = "Root Entry";
  for (size_t i = 0; i < name.size(); ++i) file.at(root + 2 * i) = static_cast<uint8_t>(name[i]);
  put16(file, root + 0x40, static_cast<uint32_t>(2 * (name.size() + 1)));
  file.at(root + 0x42) = 5;
  file.at(root + 0x43) = 1;
  for (size_t entry = root; entry < root + sector; entry += 128)
    for (const size_t link : {size_t{0x44}, size_t{0x48}, size_t{0x4C}}) put32(file, entry + link, FREE);
  put32(file, root + 0x74, END_OF_CHAIN);        // no mini stream
  // The class: three little-endian fields, then eight bytes as written.
  std::string hex;
  for (const char c : clsid)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  const auto byte = [&hex](size_t i) { return static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16)); };
  const uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (size_t i = 0; i < 16; ++i) file.at(root + 0x50 + i) = byte(order[i]);
  // Filler that is no part of any structure.
  for (size_t i = 2 * sector; i < root; ++i) file.at(i) = static_cast<uint8_t>(i * 7);
  return file;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
