// The thin layer between the launcher's portable core and the system it runs on.
//
// Each operation maps onto one or a few system calls (on Windows: the kernel, user-interface and
// shell calls named beside each); the core holds all the logic. Implementations live in
// platform/win32 and platform/posix, and a recording fake in tests/support. Everything runs on
// the one thread. Paths are zero-terminated UTF-8 strings in caller-owned buffers (the Windows
// layer speaks to the system in UTF-16 and never through a code page); a result that does not fit
// its buffer is a failure, never a cut path.
#pragma once

#include <cstdint>

// ---- paths -------------------------------------------------------------------------------------

// The full path of the launcher's own program file (GetModuleFileNameW).
bool platform_own_path(char* path, uint32_t capacity);

// The directory for temporary files, ending in a path separator (GetTempPathW).
bool platform_temp_dir(char* dir, uint32_t capacity);

// Makes the root directory of the current drive the working directory (SetCurrentDirectoryW
// with "\"; "/" on POSIX). The result is not examined by the core.
void platform_chdir_root();

// ---- files: binary access, no newline translation ----------------------------------------------

constexpr int PLATFORM_NO_FILE = -1;

// What the temporary file will hold: a program, or a Windows Installer package (which Windows
// starts through msiexec, and whose name must end in .msi).
// A bundle's program may also be a command script (.cmd, .bat), run by the system's command
// interpreter by its full path (Windows).
// A Windows Installer patch is applied through msiexec /p, its name ending in .msp.
enum TempFileKind : int { TEMP_PROGRAM = 0, TEMP_MSI_PACKAGE = 1, TEMP_COMMAND_SCRIPT = 2, TEMP_MSI_PATCH = 3 };

// Creates, in dir, a new folder of the launcher's own with a fresh random name (never one that
// exists), open to the user, administrators and the system only where the system allows, and in
// it a new empty file named EXE… (EXE….tmp, or EXE….msi for a package, on Windows) that can later
// be started. Gives the file's path and returns it open for writing, shared with no other writer
// and against deletion or renaming (Windows: CreateDirectoryW and CreateFileW with
// FILE_SHARE_READ; POSIX: mkdtemp 0700 and a 0700 file). PLATFORM_NO_FILE, with nothing left
// behind, when any of it fails.
//
// From then on the file is guarded: an interruption of the process (POSIX: SIGINT, SIGTERM or
// SIGHUP; Windows: the progress window closed, or the session ending) removes the file and its
// folder before the process ends, with the status set by platform_interrupt_status (POSIX: by the
// signal). platform_release_temp_file ends the guard; removing the file ends it too.
int platform_create_temp_file(const char* dir, TempFileKind kind, char* path, uint32_t capacity);
// The status an interrupted run ends with (Windows; a POSIX process ends by its signal).
void platform_interrupt_status(int status);
// The temporary file is no longer guarded: it is being started.
void platform_release_temp_file();
// Removes the temporary file at path, then its folder when that is one of the launcher's and is
// empty (DeleteFileW, RemoveDirectoryW). False when the file could not be deleted.
bool platform_remove_temp_file(const char* path);
// Whether path names a file of the form the launcher gives its temporary files, in a folder of
// the launcher's form directly inside the temporary directory temp_dir (as platform_temp_dir gives
// it), temp_names.h. Both are compared in their full forms, so that two names of one place agree
// (Windows: GetFullPathNameW, and GetLongPathNameW where the file exists; POSIX: realpath of the
// folders); a relative path is never one.
bool platform_is_temp_file_path(const char* path, const char* temp_dir);

// The launcher's own file, read-only (CreateFileW with FILE_SHARE_READ).
int platform_open_read(const char* path);
// The finished temporary file, opened again read-only so that, while it is open, no other
// process may write, rename or delete it (Windows: FILE_SHARE_READ alone; POSIX, which has no
// such lock, takes the write permission away and opens it). The file must not be open for
// writing at the time; a file that anyone holds open for writing cannot be opened so.
int platform_open_locked(const char* path);
// Bytes read (at most n), 0 at the end of the file, -1 on error (ReadFile).
int32_t platform_read(int fd, void* buffer, uint32_t n);
// Bytes written, -1 on error (WriteFile). Fewer than n means the disk is full.
int32_t platform_write(int fd, const void* buffer, uint32_t n);
// The file's size in bytes, -1 on error (GetFileSizeEx).
int64_t platform_file_size(int fd);
// CloseHandle; false on error.
bool platform_close(int fd);

// ---- processes ---------------------------------------------------------------------------------

// Starts program without waiting for it, with arg0 and arg1 as its two arguments, each arriving
// whole even when it holds blanks (CreateProcessW; a program that needs elevation is started
// through the shell, ShellExecuteExW, so that the system asks the user). False if it could not
// be started.
bool platform_start(const char* program, const char* arg0, const char* arg1);

// What the wait contract starts, and how.
struct RunRequest {
  const char* program;         // the unpacked program, package or patch
  TempFileKind kind;
  const char* working_dir;     // the program's working directory; null: the launcher's own
  // The launcher's private folder the program was unpacked into. The wait lasts until the program
  // and every process of its tree whose program file lies in this folder have ended (an installer
  // that starts a copy of itself, elevated or not, and exits; a bundle's helpers); a process running
  // a program from elsewhere (the installed application, started at the end) is not waited for.
  const char* private_folder;
  // For a package or patch: msiexec's action switch, which takes the place of /i (/p for a patch)
  // before the file's path (msi_action, launcher.h); null for the default.
  const char* action;
  uint32_t action_length;
  const char* tail;            // the command tail passed on (after the action, when there is one)
  const char* own_path;        // the launcher's own path, in SFX_LAUNCHER_PATH
  bool release_held;           // let go of platform_hold's files once the process exists
};

// Starts the program and waits for it (and for its tree's processes from the private folder) to
// end, the window's messages handled meanwhile so that the launcher is never taken for a hung
// program. The program's command line is its path, quoted, then the launcher's own command tail as
// it came (POSIX: the launcher's own arguments, each whole); a package is started as
// <system folder>\msiexec.exe <action> "<path>" <tail>, by its full path, the action /i by
// default (/p for a patch); a command script by <system folder>\cmd.exe /d /c (Windows). The
// environment variable SFX_LAUNCHER_PATH holds own_path. A program that needs elevation is started
// through the shell, and that process is waited for.
//
// *status is the program's exit status (POSIX: 128 + the signal's number for a program a signal
// ended), except when the program ended while a process of its tree from the private folder still
// ran: then it is the exit status of the last of those to end, where the system lets the launcher
// read it. False, with nothing started, when it could not be started (platform_last_fault tells
// why).
bool platform_run_and_wait(const RunRequest* request, uint32_t* status);

// Waits (Sleep).
void platform_sleep_ms(uint32_t milliseconds);

// ---- bundles: a folder unpacked into the private folder ----------------------------------------
//
// Paths the core gives here are the private folder's path, a '/', and a bundle name the name
// policy has passed (name_policy.h); the Windows layer turns each '/' into '\' and speaks to the
// system in long-path form (\\?\), so that nothing in a name is interpreted.

// Creates, in dir, a new private folder of the launcher's own, as platform_create_temp_file does
// (a fresh random name, open to the user, administrators and the system only), and gives its
// path. From then on an interruption of the process (as for the temporary file) is not acted on
// at once: it is noted, and platform_interrupted tells the run, which stops between two pieces of
// its work and removes the folder. False, with nothing left behind, when it fails.
bool platform_create_temp_folder(const char* dir, char* path, uint32_t capacity);
// Whether the run has been interrupted since the folder was made (POSIX: SIGINT, SIGTERM or
// SIGHUP; Windows: the window closed, the session ending); the run then ends with
// platform_interrupt_status's status (POSIX: by the signal, raised again).
bool platform_interrupted();
// Ends the run for an interruption, the folder removed: exits the process.
[[noreturn]] void platform_end_interrupted();
// A new folder at path (CreateDirectoryW; mkdir 0700). False when anything is there already.
bool platform_make_folder(const char* path);
// A new file at path, open for writing and shared with no other writer (CreateFileW CREATE_NEW
// with FILE_SHARE_READ; open O_CREAT | O_EXCL | O_NOFOLLOW, 0700 when executable, else 0600).
// PLATFORM_NO_FILE when anything is there already, or it cannot be made.
int platform_create_file(const char* path, bool executable);
// Keeps fd, a file of the bundle opened by platform_open_locked and read back, open until
// platform_release_held: from its check until the program has started no other process can write,
// rename or delete it (POSIX, which has no such lock, closes it: its folder is the user's alone).
// False when it cannot be kept (the run then fails).
bool platform_hold(int fd);
// Closes every file platform_hold kept.
void platform_release_held();
// Removes the folder at path and everything in it from the inside out, never following a link or
// junction found in it (the link itself is removed, never what it points to); what is still in
// use is tried again every DELETE_RETRY_MS for about ten seconds. False when something could not
// be removed, which is left.
bool platform_remove_tree(const char* path);
// ---- why something failed, and where else to go --------------------------------------------------

// What the last failed call of this layer (a file made or written, a program started) failed of,
// as far as the system tells, with the system's own words for it in reason (FormatMessageW;
// strerror), empty when it has none. A write that wrote fewer bytes than asked is FAULT_FULL.
enum PlatformFault : int {
  FAULT_OTHER = 0,
  FAULT_MISSING,   // the folder or file is not there
  FAULT_FULL,      // no room left on its disk
  FAULT_DENIED,    // no permission, or a read-only file system
  FAULT_NOEXEC,    // the file system does not allow programs to run from it (POSIX: noexec)
};
PlatformFault platform_last_fault(char* reason, uint32_t capacity);

// How the user names the temporary directory (POSIX: "$TMPDIR" when that variable is set); null
// when there is nothing to name beside the path itself.
const char* platform_temp_dir_variable();

// Whether a program file in dir can be started (POSIX: dir's file system not mounted noexec;
// Windows: always).
bool platform_folder_runs_programs(const char* dir);

// The folders a launcher tries, in order, when programs cannot run from the temporary directory
// (POSIX: $XDG_RUNTIME_DIR, then the folder of the launcher's own file; Windows: none), each
// ending in a path separator: the one at index into dir; false when there are no more.
bool platform_fallback_temp_dir(uint32_t index, char* dir, uint32_t capacity);

// ---- the launcher's own switches -------------------------------------------------------------------

// Writes text to the console or standard output the launcher was started from, when there is one
// (Windows: a redirected standard output, else the console of the process that started it,
// AttachConsole(ATTACH_PARENT_PROCESS)); false when there is none, and the core shows it as a
// message instead.
bool platform_print(const char* text);

// path's full form (GetFullPathNameW; POSIX: the working directory joined to a relative path),
// into out; false when it does not fit.
bool platform_full_path(const char* path, char* out, uint32_t capacity);

// Whether path names an existing folder with nothing in it.
bool platform_folder_is_empty(const char* path);

// Gives the file at path the mark of origin the launcher's own file carries, where it carries one
// (Windows: its Zone.Identifier stream, copied); nothing on POSIX. False when a mark there is could
// not be copied.
bool platform_copy_origin_mark(const char* own_path, const char* path);

// ---- helper threads: blocks decoded ahead ----------------------------------------------------------
//
// The run may decode blocks on helper threads while its own thread reads the file and writes the
// output. Everything else of this layer stays on the run's own thread.

// How many processors the process may run on (1 when the system cannot tell).
uint32_t platform_processor_count();
// Starts a thread running work(context); false when it cannot be started.
bool platform_thread_start(void (*work)(void*), void* context);
// Waits until every thread platform_thread_start started has returned.
void platform_threads_join();
// The one lock the threads share, and its condition: platform_wait releases the lock while it waits
// for platform_wake_all or at most timeout_ms milliseconds, and holds it again when it returns.
void platform_lock();
void platform_unlock();
void platform_wait(uint32_t timeout_ms);
void platform_wake_all();

// ---- the session -------------------------------------------------------------------------------

// Whether anyone can see this process's windows: false in a session without a visible desktop
// (a window station without WSF_VISIBLE, as services and deployments as SYSTEM have), where a
// window or message would wait for an answer that never comes. POSIX: always true (its window and
// message go to stderr).
bool platform_desktop_visible();

// The launcher's text with this resource id (resource.h), as UTF-8, when its resources carry one
// that fits (Windows: LoadStringW; a text left empty in a string table block that is there is
// an empty text); false otherwise, and the launcher uses its own. POSIX: the caption is the
// launcher's own file name, the address empty.
bool platform_text(uint32_t id, char* text, uint32_t capacity);

// ---- the progress window -----------------------------------------------------------------------

// Creates the progress window from its template (CreateDialogParamW, owned by the desktop
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

// A modal message with an OK button and no owner (MessageBoxW with MB_OK). Returns when the
// user has dismissed it.
void platform_show_message(const char* caption, const char* text);
