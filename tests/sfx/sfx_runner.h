// Runs the built sfx program in a scratch folder and gathers what it did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct SfxResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  long max_rss_kb = 0;  // the process's peak resident memory
};

// A fresh empty folder for one test, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The names in the folder, sorted.
  std::vector<std::string> names() const;

 private:
  std::string path_;
};

// Runs the sfx binary with args in dir, stdin from the bytes given, stdout and stderr captured,
// and the environment with the "NAME=value" settings given added.
SfxResult run_sfx(const ScratchDir& dir, const std::vector<std::string>& args,
                  const Bytes& stdin_bytes = {}, const std::string& program = SFX_BINARY,
                  const std::vector<std::string>& environment = {});
// How else to run it.
struct RunOptions {
  Bytes stdin_bytes;
  bool stdin_pipe = false;  // fed through a pipe (which cannot seek), not a file
  std::string program = SFX_BINARY;
  std::vector<std::string> environment;  // "NAME=value" settings added
  std::string stdout_path;               // stdout to this file (/dev/full, say), not captured
};
SfxResult run_sfx_with(const ScratchDir& dir, const std::vector<std::string>& args, const RunOptions& options);

// The same with a terminal (a pseudo-terminal) as stdout; what reaches it is not kept. The
// status is NO_TERMINAL when the system gives no pseudo-terminal.
constexpr int NO_TERMINAL = -2;
SfxResult run_sfx_to_terminal(const ScratchDir& dir, const std::vector<std::string>& args);

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
Bytes bytes_of(const std::string& text);
Bytes concat(std::initializer_list<Bytes> parts);
