// The thin layer between the launcher's portable core and the system it runs on.
//
// Each operation maps onto one or a few system calls (on Windows: the kernel, user-interface
// and msvcrt calls named beside each); the core holds all the logic. Implementations live in
// platform/win32 and platform/posix, and a recording fake in tests/support. Everything runs on
// the one thread. Paths are narrow, zero-terminated strings in caller-owned buffers; a result
// that does not fit its buffer is a failure, never a cut path.
#pragma once

#include <cstdint>

// ---- paths -------------------------------------------------------------------------------------

// The full path of the launcher's own program file (GetModuleHandleA(NULL), GetModuleFileNameA).
bool platform_own_path(char* path, uint32_t capacity);

// The directory for temporary files, ending in a path separator (GetTempPathA).
bool platform_temp_dir(char* dir, uint32_t capacity);

// Creates a new, empty file with a unique name beginning "EXE" in dir and gives its path
// (GetTempFileNameA with prefix "EXE" and unique number 0). The file can later be started.
bool platform_make_temp_file(const char* dir, char* path, uint32_t capacity);

// Makes the root directory of the current drive the working directory (SetCurrentDirectoryA
// with "\"; "/" on POSIX). The result is not examined by the core.
void platform_chdir_root();

// ---- files: descriptor access in binary mode, no newline translation ---------------------------

constexpr int PLATFORM_NO_FILE = -1;

// Read-only, for random access (_open with _O_RDONLY | _O_BINARY | _O_RANDOM).
int platform_open_read(const char* path);
// Write-only, created if missing and truncated (_O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
// _S_IWRITE).
int platform_open_write(const char* path);
// Bytes read (at most n), 0 at the end of the file, -1 on error (_read).
int32_t platform_read(int fd, void* buffer, uint32_t n);
// Bytes written, -1 on error (_write). Fewer than n means the disk is full.
int32_t platform_write(int fd, const void* buffer, uint32_t n);
// The file's size in bytes, -1 on error (_fstat).
int64_t platform_file_size(int fd);
// _close; false on error.
bool platform_close(int fd);
// _unlink; false when the file could not be deleted.
bool platform_unlink(const char* path);

// ---- processes ---------------------------------------------------------------------------------

// Starts program without waiting for it (_spawnl with _P_NOWAIT), with arg0 and arg1 as its two
// arguments, each arriving whole even when it holds blanks. False if it could not be started.
bool platform_start(const char* program, const char* arg0, const char* arg1);

// Waits (Sleep).
void platform_sleep_ms(uint32_t milliseconds);

// ---- the progress window -----------------------------------------------------------------------

// Creates the progress window from its template (CreateDialogParamA, owned by the desktop
// window), shows and paints it (ShowWindow SW_SHOWNORMAL, UpdateWindow), and takes its device
// context and the bar's brush (GetDC, CreateSolidBrush). A window that cannot be created is not
// an error: the fills below then do nothing.
void platform_progress_show();
// Fills a rectangle given in dialog units with the bar's colour and repaints the window
// (MapDialogRect, FillRect, UpdateWindow). The window keeps the bar, so that it is drawn again
// whenever the window is repainted.
void platform_progress_fill(int32_t left, int32_t top, int32_t right, int32_t bottom);
// Handles the window's pending messages without waiting (PeekMessage, IsDialogMessage,
// DispatchMessage), so that it repaints when uncovered, can be moved and is never taken for a
// hung program. Called between blocks of work; it looks at a tick count and does nothing unless
// some milliseconds have passed since it last handled messages, so calling it often costs little.
void platform_progress_poll();
// Hides the window (ShowWindow SW_HIDE).
void platform_progress_hide();
// Gives back the device context (ReleaseDC).
void platform_progress_release();

// ---- messages ----------------------------------------------------------------------------------

// A modal message with an OK button and no owner (MessageBoxA with MB_OK). Returns when the
// user has dismissed it.
void platform_show_message(const char* caption, const char* text);
