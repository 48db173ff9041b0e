// The launcher's entry and its two run modes.
#pragma once

// The command tail of a raw command line: the line less the program's name and the characters
// with codes 1 to 32 after it. A name that begins with a double quote runs to the next double
// quote (or the end of the line), that quote included; otherwise it runs up to the first
// character whose code (as unsigned) is 32 or less. Returns a pointer into command_line.
const char* command_tail(const char* command_line);

// Chooses the run mode from the tail and runs it; the result is the process's exit status:
// 1 after delete mode, otherwise the result of run_unpack.
int launcher_main(const char* tail);

// Delete mode: removes the file the tail names, trying again for about ten seconds.
void delete_with_retry(const char* tail);

// Unpack mode: unpacks the payload of the launcher's own file into a new temporary file and
// starts it with the launcher's own path. 1 once the start was asked for; 0 on failure, after
// the failure message.
int run_unpack();
