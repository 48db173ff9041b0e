// What the POSIX launcher program needs from its platform layer beyond platform.h. The layer is
// split by concern, as the Win32 one is: posix_command_line, posix_files, posix_paths,
// posix_process, posix_window. It needs nothing but the C library: no C++ run-time library, so
// that the launcher runs wherever its C library does (README, "The launcher").
#pragma once

#include <limits.h>

#include <cstddef>

// Remembers the program's arguments: argv[0], from which the own path is worked out where
// /proc/self/exe cannot be read, and the rest, which a waiting run passes on to the program each
// whole.
void posix_set_arguments(int argc, char** argv);
int posix_argument_count();
char* const* posix_arguments();

// The command line a Windows program would be given for these arguments: the arguments joined
// by single blanks, each one that is empty or holds white space or a double quote enclosed in
// double quotes (as it stands inside them). The launcher's command-tail rule then applies to it
// as on Windows. Into line (capacity bytes); false when it does not fit.
bool windows_command_line(int argc, const char* const* argv, char* line, size_t capacity);
// The bytes windows_command_line needs, the terminating zero included.
size_t windows_command_line_bytes(int argc, const char* const* argv);

// While the launcher waits (process not 0), a terminate or hang-up sent to it does not end it: it
// is passed on at once to process when that is a process id (> 0), and noted for
// posix_forwarded_signal, so that the wait passes it on to the rest of what it waits for; with
// POSIX_FORWARD_NOTE_ONLY it is only noted. 0: the launcher no longer waits. The same handlers
// remove the temporary file being written (posix_paths).
constexpr int POSIX_FORWARD_NOTE_ONLY = -1;
void posix_forward_signals_to(int process);
// The terminate or hang-up noted while waiting since the last call (0: none).
int posix_forwarded_signal();

// Whether the last start failed because the program's folder does not let programs run (a noexec
// mount), for platform_last_fault.
bool posix_start_failed_noexec();

// From now on a terminating signal (SIGINT, SIGTERM, SIGHUP) is only noted, for a bundle's run
// to stop at its next step and remove its folder; posix_noted_signal gives it (0: none).
void posix_note_signals();
int posix_noted_signal();

// ---- the processes of a waiting run (posix_tree) -------------------------------------------------
//
// The launcher's descendants as /proc shows them (Linux), each with whether it runs a program from
// the private folder: its program file lies in the folder (/proc/<pid>/exe; where that cannot be
// read, a process of another user's, its first argument), or it runs a #! script from the folder
// through the script's interpreter (the script's path among its first arguments in
// /proc/<pid>/cmdline).
struct TreeProcess {
  int pid;
  int parent;
  bool zombie;       // ended, its status not yet taken by its parent
  bool descendant;   // of the launcher
  bool from_folder;  // a descendant, not ended, that runs a program from the folder
  // A descendant whose arguments could not be read at the moment (a process in the midst of its
  // exec, or of its end): whether it runs a program from the folder is not known yet.
  bool unsure;
};

struct ProcessTree {
  char full_folder[PATH_MAX + 1];  // the folder's full form (realpath), with a '/' at its end
  TreeProcess* processes;          // every process of the last look
  size_t count;
  size_t capacity;
};

// Prepares a look at the processes that run programs from folder; false where /proc cannot tell
// (not mounted, no /proc/self/exe) or the folder is not there. posix_tree_close ends it.
bool posix_tree_open(ProcessTree* tree, const char* folder);
// Looks at every process now. False when /proc could not be read or memory ran out.
bool posix_tree_look(ProcessTree* tree);
// The process pid of the last look; null when it was not there.
const TreeProcess* posix_tree_find(const ProcessTree* tree, int pid);
void posix_tree_close(ProcessTree* tree);
