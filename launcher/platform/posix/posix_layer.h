// What the POSIX launcher program needs from its platform layer beyond platform.h.
#pragma once

#include <string>

// Remembers the program's argv[0], from which the own path is worked out where /proc/self/exe
// cannot be read.
void posix_set_program_name(const char* argv0);

// The command line a Windows program would be given for these arguments: the arguments joined
// by single blanks, each one that is empty or holds white space or a double quote enclosed in
// double quotes (as it stands inside them). The launcher's command-tail rule then applies to it
// as on Windows.
std::string windows_command_line(int argc, const char* const* argv);
