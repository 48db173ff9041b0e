// A recording fake of the platform layer (launcher/platform/platform.h), so the launcher core's
// runs can be checked call by call: in-memory files, a log of every call, a clock that sleeping
// advances, and failures scripted per operation.
//
// One process-wide instance, as the real layer has; reset it at the start of every test.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct Fill {
  int32_t left, top, right, bottom;
};

struct Start {
  std::string program, arg0, arg1;
  std::vector<uint8_t> program_bytes;  // the program file's contents when it was started
  bool program_open_for_write;         // a descriptor open for writing was still open on it
  bool program_locked;                 // a locked descriptor was open on it
};

// A program started by the wait contract.
struct Run {
  std::string program, tail, own_path;
  std::string working_dir;             // a bundle's program: its folder; empty otherwise
  bool package;                        // started as an installer package (through msiexec)
  std::vector<uint8_t> program_bytes;  // the file's contents when it was started
  bool program_locked;                 // a locked descriptor was open on it
  std::string private_folder;          // the folder whose processes the wait follows
  std::string action;                  // msiexec's action taken from the tail; empty: the default
  int kind = 0;                        // TempFileKind
};

struct OpenFile {
  std::string path;
  uint64_t position;
  bool for_write;
  bool locked;  // opened with platform_open_locked
};

struct Platform {
  // ---- the scene ----
  std::string own_path = "/app/setup.exe";
  std::string temp_dir = "/tmp/";
  std::map<std::string, std::vector<uint8_t>> files;

  // ---- scripted failures ----
  bool own_path_fails = false;
  bool temp_dir_fails = false;
  bool make_temp_fails = false;
  std::vector<std::string> unopenable;  // paths that no open call can open
  bool lock_fails = false;               // platform_open_locked fails
  // Called when platform_open_locked is asked for the temporary file, before it opens it: another
  // process at work in the moment between the close and the reopening.
  std::function<void(std::vector<uint8_t>& file)> before_lock;
  int64_t read_fails_at = -1;           // reads of the own file fail from this offset on
  int64_t disk_space = -1;              // bytes writes may still add; -1 for no limit
  bool close_write_fails = false;       // closing a file opened for writing reports failure
  bool file_size_fails = false;
  bool start_fails = false;
  uint32_t run_status = 0;        // what a waited-for program exits with
  bool desktop_visible = true;    // false: a session nobody sees
  std::map<uint32_t, std::string> texts;  // the launcher's resources' texts, by id
  int unlink_failures = 0;  // attempts that fail before one succeeds; -1: every one fails

  // Called inside every progress fill, after it is logged: lets a test look at the core's
  // state at that moment.
  std::function<void()> on_fill;

  // ---- what happened ----
  std::vector<std::string> calls;  // one line per call: the operation's name and its arguments
  std::map<int, OpenFile> open_files;
  uint64_t clock_ms = 0;  // advanced by sleeping
  std::vector<Fill> fills;
  std::vector<uint32_t> writes;  // the byte count asked for by each write
  std::vector<std::string> messages;  // "caption|text"
  std::vector<Start> starts;
  std::vector<Run> runs;
  int interrupt_status = -1;     // as platform_interrupt_status last set it
  bool temp_file_guarded = false;
  std::vector<std::string> unlinked;  // paths deleted
  std::vector<std::string> folders;   // the launcher's folders that exist (paths ending in '/')
  std::vector<std::string> removed_folders;
  std::string working_dir = "/home/user";
  bool window_visible = false;
  int window_shows = 0;
  int polls = 0;  // calls of platform_progress_poll
  // A bundle's run: the folders made in the private folder (paths), files made executable, the
  // descriptors held, trees removed.
  std::vector<std::string> made_folders;
  std::vector<std::string> executables;
  std::vector<int> held;
  std::vector<std::string> removed_trees;
  std::vector<std::string> held_at_run;  // the paths held when the program started

  // Why things fail, and where else to go.
  int last_fault = 0;       // PlatformFault of the last failed call
  std::string last_reason;  // the system's words for it
  std::string temp_dir_variable;            // empty: none
  std::vector<std::string> noexec_dirs;     // folders programs cannot run from
  std::vector<std::string> fallback_dirs;   // platform_fallback_temp_dir's list
  // The launcher's own switches: what they printed (empty console: no console to print to).
  bool has_console = true;
  std::string printed;
  std::map<std::string, std::string> origin_marks;  // files given the launcher's mark (path, from)

  // Helper threads: how many processors the run sees, and the threads it started.
  uint32_t processors = 1;
  bool thread_starts_fail = false;
  int threads_started = 0;

  int next_fd = 3;
  unsigned next_temp_number = 1;

  // Index of the first logged call that begins with prefix, at or after from; -1 if none.
  int call_index(const std::string& prefix, int from = 0) const;
  // Number of logged calls that begin with prefix.
  int call_count(const std::string& prefix) const;
  // The temporary files made so far (paths), whether or not they still exist: the N-th is
  // <temp_dir>SFX<N>/EXE<N>.tmp.
  std::vector<std::string> temp_files;
};

// The one instance the platform functions act on.
Platform& platform();

// Forgets everything: a new default scene, no failures, empty logs.
void reset();

}  // namespace fake
