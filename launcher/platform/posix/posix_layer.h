// What the POSIX launcher program needs from its platform layer beyond platform.h. The layer is
// split by concern, as the Win32 one is: posix_command_line, posix_files, posix_paths,
// posix_process, posix_window. It needs nothing but the C library: no C++ run-time library, so
// that the launcher runs wherever its C library does (README, "The launcher").
#pragma once

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

// The program a terminate or hang-up sent to the launcher is passed on to while it is waited for
// (0: none). The same handlers remove the temporary file being written (posix_paths).
void posix_forward_signals_to(int process);

// From now on a terminating signal (SIGINT, SIGTERM, SIGHUP) is only noted, for a bundle's run
// to stop at its next step and remove its folder; posix_noted_signal gives it (0: none).
void posix_note_signals();
int posix_noted_signal();
