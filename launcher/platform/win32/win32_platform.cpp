// The Win32 platform layer: kernel32, user32, gdi32 and advapi32, always through their wide
// (UTF-16) functions, for paths, files, processes and the progress window. The core's paths are
// UTF-8 and are converted exactly, both ways: a path that does not convert fails, so no code page
// and no best-fit mapping ever stands between the launcher and a file name.
//
// Files are kernel handles behind small numbers, so that each is opened with the sharing it needs.
// The progress window, its device context and the bar's brush live here for the whole process
// (the run happens once); nothing is freed, as the window and brush go with the process.
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstring>

#include "platform.h"
#include "resource.h"
#include "temp_names.h"
#include "win32_layer.h"
#include "write_gathering.h"

// Windows' "the requested operation requires elevation", which not every header names.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740
#endif

namespace {

// ---- UTF-8 and UTF-16 --------------------------------------------------------------------------

// Wide paths live in these (static, as the run happens once; none is needed twice at a time
// beyond these two). Room for the longest path Windows knows, 32,767 characters.
constexpr int WIDE_PATH_CHARS = 32768;
wchar_t wide_path[WIDE_PATH_CHARS];
wchar_t wide_other[WIDE_PATH_CHARS];

bool to_wide(const char* utf8, wchar_t* out, int capacity) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out, capacity) > 0;
}

}  // namespace

bool win32_to_utf8(const wchar_t* wide, char* out, uint32_t capacity) {
  // WC_ERR_INVALID_CHARS: a lone surrogate (which a file name may hold) fails rather than turning
  // into a replacement character that would name another file.
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out, static_cast<int>(capacity),
                             nullptr, nullptr) > 0;
}

// ---- paths -------------------------------------------------------------------------------------

bool platform_own_path(char* path, uint32_t capacity) {
  // A path that fills the whole buffer has been cut (the call then returns its size).
  const DWORD n = GetModuleFileNameW(nullptr, wide_path, WIDE_PATH_CHARS);
  return n != 0 && n < static_cast<DWORD>(WIDE_PATH_CHARS) && win32_to_utf8(wide_path, path, capacity);
}

bool platform_temp_dir(char* dir, uint32_t capacity) {
  // The result is the length without the zero when it fits, the size needed otherwise.
  const DWORD n = GetTempPathW(WIDE_PATH_CHARS, wide_path);
  return n != 0 && n < static_cast<DWORD>(WIDE_PATH_CHARS) && win32_to_utf8(wide_path, dir, capacity);
}

void platform_chdir_root() { SetCurrentDirectoryW(L"\\"); }

void win32_restrict_library_search() {
  // Looked up by name: systems before Windows 8 may lack it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto restrict_to = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (restrict_to == nullptr || !restrict_to(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

// ---- files -------------------------------------------------------------------------------------

namespace {

// The open files: a number is an index here. The run has at most two open at a time.
constexpr int MAX_OPEN_FILES = 4;
HANDLE open_files[MAX_OPEN_FILES];

int file_number(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return PLATFORM_NO_FILE;
  for (int i = 0; i < MAX_OPEN_FILES; ++i) {
    if (open_files[i] == nullptr) {
      open_files[i] = file;
      return i;
    }
  }
  CloseHandle(file);
  return PLATFORM_NO_FILE;
}

HANDLE file_handle(int fd) {
  return fd >= 0 && fd < MAX_OPEN_FILES && open_files[fd] != nullptr ? open_files[fd] : INVALID_HANDLE_VALUE;
}

// Appends the hex digits of value, most significant first, and a zero.
wchar_t* put_hex(wchar_t* out, uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    const unsigned nibble = static_cast<unsigned>(value >> (4 * i)) & 0xFu;
    *out++ = static_cast<wchar_t>(nibble < 10 ? L'0' + nibble : L'A' + nibble - 10);
  }
  *out = L'\0';
  return out;
}

wchar_t* put_text(wchar_t* out, const wchar_t* text) {
  while (*text != L'\0') *out++ = *text++;
  *out = L'\0';
  return out;
}

// A security descriptor that gives full access to the system, the administrators and the user
// running the launcher, and to nobody else, inherited by what the folder holds. False where the
// system cannot make one.
bool private_security(SECURITY_ATTRIBUTES* attributes) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  wchar_t* sid = nullptr;
  const bool have_sid = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                        ConvertSidToStringSidW(info.user.User.Sid, &sid);
  CloseHandle(token);
  if (!have_sid) return false;
  // P: not inheriting from the temporary directory; OICI: passed on to the file.
  wchar_t sddl[256];
  wchar_t* end = put_text(sddl, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;");
  const auto sid_length = static_cast<size_t>(lstrlenW(sid));
  const bool fits = static_cast<size_t>(end - sddl) + sid_length + 2 <= sizeof sddl / sizeof sddl[0];
  if (fits) put_text(put_text(end, sid), L")");
  LocalFree(sid);
  attributes->nLength = sizeof *attributes;
  attributes->bInheritHandle = FALSE;
  attributes->lpSecurityDescriptor = nullptr;
  return fits && ConvertStringSecurityDescriptorToSecurityDescriptorW(
                     sddl, SDDL_REVISION_1, &attributes->lpSecurityDescriptor, nullptr);
}

}  // namespace

int platform_create_temp_file(const char* dir, char* path, uint32_t capacity) {
  // SystemFunction036 is RtlGenRandom, the system's random source.
  uint64_t random = 0;
  SECURITY_ATTRIBUTES security;
  if (!SystemFunction036(&random, sizeof random) || !private_security(&security)) return PLATFORM_NO_FILE;

  // <dir>SFX<16 hex digits>, then <folder>\EXE<4 hex digits>.tmp.
  if (!to_wide(dir, wide_path, WIDE_PATH_CHARS - 40)) return PLATFORM_NO_FILE;
  wchar_t* folder_end = put_hex(put_text(wide_path + lstrlenW(wide_path), L"SFX"), random,
                                WINDOWS_TEMP_FOLDER_DIGITS);
  // A folder that exists already is never taken: CreateDirectoryW fails.
  if (!CreateDirectoryW(wide_path, &security)) {
    LocalFree(security.lpSecurityDescriptor);
    return PLATFORM_NO_FILE;
  }
  put_text(put_hex(put_text(folder_end, L"\\EXE"), random >> 48, 4), L".tmp");
  // Shared for reading only: no other process may write, rename or delete it while it is open.
  // It would inherit the folder's access list; it is given it outright, for file systems that
  // pass nothing on.
  HANDLE file = CreateFileW(wide_path, GENERIC_WRITE, FILE_SHARE_READ, &security, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(security.lpSecurityDescriptor);
  const int fd = file_number(file);
  if (fd == PLATFORM_NO_FILE || !win32_to_utf8(wide_path, path, capacity)) {
    if (fd != PLATFORM_NO_FILE) platform_close(fd);
    DeleteFileW(wide_path);
    *folder_end = L'\0';
    RemoveDirectoryW(wide_path);
    return PLATFORM_NO_FILE;
  }
  return fd;
}

bool platform_remove_temp_file(const char* path) {
  if (!to_wide(path, wide_path, WIDE_PATH_CHARS) || !DeleteFileW(wide_path)) return false;
  // Its folder goes too when it is one of the launcher's; RemoveDirectoryW takes only an empty
  // one. The folder's name is looked at in UTF-8; one too long for the buffer is none of ours.
  wchar_t* folder_end = nullptr;
  wchar_t* folder_name = wide_path;
  for (wchar_t* p = wide_path; *p != L'\0'; ++p) {
    if (*p != L'\\' && *p != L'/') continue;
    if (folder_end != nullptr) folder_name = folder_end + 1;
    folder_end = p;
  }
  if (folder_end != nullptr) {
    *folder_end = L'\0';
    char name[32];
    if (win32_to_utf8(folder_name, name, sizeof name) && is_windows_temp_folder_name(name)) {
      RemoveDirectoryW(wide_path);
    }
  }
  return true;
}

bool platform_is_temp_file_name(const char* path) {
  return is_windows_temp_file_name(last_path_component(path));
}

namespace {

// Read-only, shared for reading alone: nobody can write, rename or delete the file while it is
// open, and it cannot be opened while anyone holds it open for writing. The system can still
// start it: the loader opens a program for reading and sharing reading.
int open_shared_for_reading(const char* path) {
  if (!to_wide(path, wide_path, WIDE_PATH_CHARS)) return PLATFORM_NO_FILE;
  return file_number(CreateFileW(wide_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

}  // namespace

int platform_open_read(const char* path) { return open_shared_for_reading(path); }

int platform_open_locked(const char* path) { return open_shared_for_reading(path); }

int32_t platform_read(int fd, void* buffer, uint32_t n) {
  DWORD got = 0;
  if (!ReadFile(file_handle(fd), buffer, n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n, &got, nullptr)) return -1;
  return static_cast<int32_t>(got);
}

namespace {

// Writes all n bytes: false when the disk fills or an error stops it.
bool write_all(int fd, const uint8_t* bytes, uint32_t n) {
  DWORD put = 0;
  return WriteFile(file_handle(fd), bytes, n, &put, nullptr) && put == n;
}

}  // namespace

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  return gathered_write(fd, buffer, n, write_all);
}

int64_t platform_file_size(int fd) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file_handle(fd), &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

bool platform_close(int fd) {
  HANDLE file = file_handle(fd);
  if (file == INVALID_HANDLE_VALUE) return false;
  // What is gathered for the file goes out first; a failure there fails the close.
  const bool written = gathered_flush_before_close(fd, write_all);
  open_files[fd] = nullptr;
  return CloseHandle(file) != 0 && written;
}

// ---- processes ---------------------------------------------------------------------------------

namespace {

// Appends argument to a command line, in double quotes when it holds a blank or a tab, so that
// it arrives whole. A path never holds a double quote, nor ends in a backslash when it names a
// file, so nothing needs escaping. False when it does not fit.
bool put_argument(wchar_t*& out, const wchar_t* end, const char* argument) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, argument, -1, nullptr, 0);
  if (n <= 0 || end - out < n + 3) return false;
  const bool quote = std::strpbrk(argument, " \t") != nullptr;
  if (quote) *out++ = L'"';
  MultiByteToWideChar(CP_UTF8, 0, argument, -1, out, n);
  out += n - 1;
  if (quote) *out++ = L'"';
  *out = L'\0';
  return true;
}

}  // namespace

bool win32_start_through_shell(const wchar_t* program, const wchar_t* parameters) {
  // Loaded only now, from the system folder: the shell brings many libraries of its own with it.
  HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (shell == nullptr) shell = LoadLibraryW(L"shell32.dll");
  using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
  const auto execute = shell == nullptr ? nullptr
                                        : reinterpret_cast<ShellExecuteExFn>(
                                              reinterpret_cast<void*>(GetProcAddress(shell, "ShellExecuteExW")));
  if (execute == nullptr) return false;
  SHELLEXECUTEINFOW info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  // The class makes the shell start the file as a program whatever its name ends in (.tmp).
  info.fMask = SEE_MASK_CLASSNAME | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpClass = L"exefile";
  info.lpFile = program;
  info.lpParameters = parameters;
  info.nShow = SW_SHOWNORMAL;
  return execute(&info) != 0;
}

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  wchar_t* line = wide_other;
  const wchar_t* const end = wide_other + WIDE_PATH_CHARS;
  if (!to_wide(program, wide_path, WIDE_PATH_CHARS) || !put_argument(line, end, arg0)) return false;
  wchar_t* const parameters = line + 1;  // what follows the program's own name
  *line++ = L' ';
  if (!put_argument(line, end, arg1)) return false;

  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (CreateProcessW(wide_path, wide_other, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }
  // A program that asks for more rights than the launcher's is started through the shell, which
  // asks the user for them.
  return GetLastError() == ERROR_ELEVATION_REQUIRED && win32_start_through_shell(wide_path, parameters);
}

void platform_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

// ---- the progress window -----------------------------------------------------------------------

namespace {

HWND progress_window;
HDC progress_dc;
HBRUSH progress_brush;
bool progress_shown;
RECT progress_bar;      // the bar as last filled, in pixels; empty before the first fill
DWORD progress_polled;  // GetTickCount() when messages were last handled

// Messages are handled at most this often while the run works: often enough that the window
// repaints promptly and the system never takes it for hung (it asks after 5 seconds), seldom
// enough that handling them costs nothing beside the copy.
constexpr DWORD PROGRESS_POLL_MS = 30;

// The window is modeless and the run handles its messages between blocks (platform_progress_poll).
// Repainting the window erases the bar, so the bar is drawn again after the background; every
// other message is left to the dialog's default handling, which neither closes nor ends it.
INT_PTR CALLBACK progress_dialog_proc(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (progress_brush != nullptr && !IsRectEmpty(&progress_bar)) FillRect(dc, &progress_bar, progress_brush);
    EndPaint(window, &paint);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void platform_progress_show() {
  SetRectEmpty(&progress_bar);
  progress_window = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS),
                                       GetDesktopWindow(), progress_dialog_proc, 0);
  if (progress_window == nullptr) return;
  progress_brush = CreateSolidBrush(PROGRESS_BAR_COLOUR);
  ShowWindow(progress_window, SW_SHOWNORMAL);
  progress_shown = true;
  UpdateWindow(progress_window);
  progress_dc = GetDC(progress_window);
  progress_polled = GetTickCount();
}

void platform_progress_fill(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (progress_window == nullptr || progress_dc == nullptr) return;
  RECT bar = {left, top, right, bottom};
  MapDialogRect(progress_window, &bar);
  progress_bar = bar;
  FillRect(progress_dc, &bar, progress_brush);
  UpdateWindow(progress_window);
}

void platform_progress_poll() {
  if (progress_window == nullptr) return;
  const DWORD now = GetTickCount();
  if (now - progress_polled < PROGRESS_POLL_MS) return;
  progress_polled = now;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (!IsDialogMessageW(progress_window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

void platform_progress_hide() {
  if (progress_window == nullptr) return;
  ShowWindow(progress_window, SW_HIDE);
  progress_shown = false;
}

void platform_progress_release() {
  if (progress_dc == nullptr) return;
  ReleaseDC(progress_window, progress_dc);
  progress_dc = nullptr;
}

// ---- messages ----------------------------------------------------------------------------------

void platform_show_message(const char* caption, const char* text) {
  // The progress window is system-modal: left up, it would cover the message.
  if (progress_shown) platform_progress_hide();
  to_wide(caption, wide_other, 256);
  if (!to_wide(text, wide_path, WIDE_PATH_CHARS)) wide_path[0] = L'\0';
  MessageBoxW(nullptr, wide_path, wide_other, MB_OK);
}
