// What the Win32 layer offers beyond platform.h: to the program's entry, to its own files, and to
// the tests that exercise the layer under wine. The layer is split by concern, as the POSIX one
// is: win32_command_line, win32_files, win32_paths, win32_process, win32_window, win32_bundle
// (a bundle's folder), and win32_text for the conversions between the core's UTF-8 and the
// system's UTF-16.
#pragma once

#include <cstdint>

// Room for the longest path Windows knows, 32,767 UTF-16 characters and the terminating zero.
constexpr uint32_t WIN32_WIDE_PATH_CHARS = 32768;

// ---- text (win32_text.cpp) ----------------------------------------------------------------------

// wide as UTF-8 into out; false when it does not fit, or holds a lone surrogate.
bool win32_to_utf8(const wchar_t* wide, char* out, uint32_t capacity);
// utf8 as UTF-16 into out (capacity characters); false when it does not fit or is not UTF-8.
bool win32_to_wide(const char* utf8, wchar_t* out, uint32_t capacity);

// ---- the command line (win32_command_line.cpp) --------------------------------------------------

// The process's command line as UTF-8 (GetCommandLineW), in a buffer of the layer's; an empty line
// when it is not valid UTF-16.
const char* win32_command_line();

// ---- files (win32_files.cpp) --------------------------------------------------------------------

// Files are kernel handles behind small numbers, so that each is opened with the sharing it needs:
// the number of handle (a HANDLE) from now on, or PLATFORM_NO_FILE (the handle closed) when the
// table is full or handle is INVALID_HANDLE_VALUE.
int win32_file_number(void* handle);
// Closes every file the layer holds open: the end of an interrupted run.
void win32_close_all_files();
// Takes the file's handle out of the table, which then no longer holds or closes it: the handle,
// or null for a number that names no open file.
void* win32_take_file(int fd);

// ---- paths (win32_paths.cpp) --------------------------------------------------------------------

// The user this process runs as, as SDDL names a SID ("S-1-5-21-..."), into sid; false when the
// system cannot tell.
bool win32_user_sid(wchar_t* sid, uint32_t capacity);

// An interruption of the run (the progress window closed, the session ending): while the
// temporary file is guarded (platform.h), closes it, removes it and its folder and ends the
// process with the status set for it; while a bundle's private folder is being filled, only notes
// it (platform_interrupted); otherwise does nothing.
void win32_interrupt();

// ---- processes (win32_process.cpp) --------------------------------------------------------------

// Restricts where the process looks for libraries it loads from now on to the system folder
// (SetDefaultDllDirectories, where the system has it; SetDllDirectoryW(L"") otherwise, which at
// least leaves out the working directory). First thing the program does.
void win32_restrict_library_search();

// Starts program as a program whatever its file name ends in, with the command-line parameters
// given, through the shell (ShellExecuteExW, "open"), which asks the user for the rights it
// needs, in directory when given (else the launcher's own). With process, *process is the started
// process's handle (null when the shell gives none), for waiting. False when it could not be
// started.
bool win32_start_through_shell(const wchar_t* program, const wchar_t* parameters, void** process = nullptr,
                               const wchar_t* directory = nullptr);

// ---- a bundle's folder (win32_bundle.cpp) ---------------------------------------------------------

// A path the core gives for a bundle (the private folder's full path, '/', a name the name policy
// passed) as the system takes it: each '/' turned into a backslash and, with long_form, in the
// \\?\ form (\\?\UNC\ for a share), which the system takes as it stands, so that nothing in a
// name is interpreted. False when it does not fit capacity characters or is not UTF-8.
bool win32_bundle_path(const char* path, bool long_form, wchar_t* out, uint32_t capacity);

// ---- the window (win32_window.cpp) ----------------------------------------------------------------

// Waits for the process (a HANDLE) to end, handling the window's messages meanwhile
// (MsgWaitForMultipleObjects), so that the launcher is never taken for hung.
void win32_wait_handling_messages(void* process);
