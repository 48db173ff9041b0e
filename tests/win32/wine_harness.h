// Helpers for the launcher's tests under wine: files and folders, packing a program into a
// launcher, and running a launcher the way a user would, dismissing its message box.
//
// Paths are UTF-8 strings; every call to the system goes through its wide function, with the
// \\?\ prefix where a path is longer than the system's usual limit, so that folders with any
// name and of any length can be made.
#pragma once

#include "texts.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// UTF-8 and UTF-16, exactly.
std::wstring wide(const std::string& utf8);
std::string utf8(const std::wstring& wide);

// A path the build gave (a Unix path when the tests run under wine) as a Windows path.
std::string windows_path(const char* build_path);

bool read_file(const std::string& path, Bytes* bytes);
bool write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
bool is_folder(const std::string& path);
// Names (not paths) of the files, or with folders set the folders, in dir that match pattern.
std::vector<std::string> list_files(const std::string& dir, const char* pattern, bool folders = false);
// Removes dir and everything in it; true when nothing is left.
bool remove_tree(const std::string& dir);

// A folder for one test, removed again when the object goes. Its path ends without a separator.
class ScratchFolder {
 public:
  explicit ScratchFolder(const char* name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  // Creates the sub-folder name (and returns its path).
  std::string make(const std::string& name) const;

 private:
  std::string path_;
};

// The payload for program: the marker, then per chunk of at most PACK_CHUNK_BYTES a 2-byte
// big-endian length and the block codec_run encoded, then the end mark (unless end_mark is
// false).
constexpr uint32_t PACK_CHUNK_BYTES = 64000;
Bytes make_payload(const Bytes& program, bool end_mark = true);

// Writes head (a launcher and a payload without its end mark), then zero_blocks blocks of
// PACK_CHUNK_BYTES zero bytes, then the end mark: a long unpack from a file of a tenth its size.
bool write_long_payload(const std::string& path, const Bytes& head, uint32_t zero_blocks);

// The texts a user sees, as the launcher shows them (FAILURE_CAPTION: texts.h).
constexpr char PROGRESS_CAPTION[] = "Quenderby Corvalin Installation";

struct LauncherRun {
  bool started = false;   // CreateProcess succeeded
  bool finished = false;  // it ended within the time allowed
  DWORD exit_status = 0;
  bool message_shown = false;
  std::string message_text;
  std::string message_caption;
  // The captions of the launcher's other windows seen shown during the run (its progress window).
  std::vector<std::string> titles_seen;
  // The progress window was still visible while the message box was up.
  bool progress_visible_with_message = false;
  // With watch: how often the launcher's windows, shown or hidden, were sent WM_NULL (every
  // 300 ms, each given 1.5 s), how often they answered, and how often the wait ran out.
  int pings = 0;
  int answers = 0;
  int ping_timeouts = 0;
};

// Called every 20 ms while a launcher runs (for a test that acts on the run meanwhile).
using WhileRunning = void (*)(void* context);

// Runs launcher with the command tail (empty for a double-click) in the environment of this
// process, with TMP and TEMP set to temp_dir and SFX_CHILD_OUT to child_out. A failure message
// box is read and dismissed with OK, as a user would.
LauncherRun run_launcher(const std::string& launcher, const std::string& tail,
                         const std::string& temp_dir, const std::string& child_out,
                         bool watch = false, WhileRunning while_running = nullptr,
                         void* context = nullptr);

// run_launcher with the launcher's standard output a pipe, whose bytes come back in output.
LauncherRun run_launcher_capturing(const std::string& launcher, const std::string& tail,
                                   const std::string& temp_dir, std::string* output);

// Runs program with the command-line arguments given (joined as they stand) and waits up to two
// minutes for it: its exit status, 255 when it could not be started.
DWORD run_program(const std::string& program, const std::wstring& arguments);

// Waits until the child has written everything (done.txt) or the time runs out.
bool wait_for_child(const std::string& child_out, DWORD timeout_ms);

// path in double quotes when it holds a blank, as a command line carries it.
std::string quoted_if_blank(const std::string& path);
