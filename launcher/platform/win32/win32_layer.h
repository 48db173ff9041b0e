// What the Win32 layer offers beyond platform.h: to the program's entry, and to the tests that
// exercise the layer under wine.
#pragma once

#include <cstdint>

// wide as UTF-8 into out; false when it does not fit, or holds a lone surrogate.
bool win32_to_utf8(const wchar_t* wide, char* out, uint32_t capacity);

// Restricts where the process looks for libraries it loads from now on to the system folder
// (SetDefaultDllDirectories, where the system has it; SetDllDirectoryW(L"") otherwise, which at
// least leaves out the working directory). First thing the program does.
void win32_restrict_library_search();

// Starts program as a program whatever its file name ends in, with the command-line parameters
// given, through the shell (ShellExecuteExW, "open"), which asks the user for the rights it
// needs. False when it could not be started.
bool win32_start_through_shell(const wchar_t* program, const wchar_t* parameters);
