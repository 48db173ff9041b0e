// The Win32 platform layer: kernel32, user32 and gdi32 for paths, processes and the progress
// window; msvcrt's descriptor calls, always in binary mode, for files.
//
// The progress window, its device context and the bar's brush live here for the whole process
// (the run happens once); nothing is freed, as the window and brush go with the process.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cstring>

#include "platform.h"
#include "resource.h"

// ---- paths -------------------------------------------------------------------------------------

bool platform_own_path(char* path, uint32_t capacity) {
  // A path that fills the whole buffer has been cut (the call then returns capacity).
  const DWORD n = GetModuleFileNameA(GetModuleHandleA(nullptr), path, capacity);
  return n != 0 && n < capacity;
}

bool platform_temp_dir(char* dir, uint32_t capacity) {
  // The result is the length without the zero when it fits, the size needed otherwise.
  const DWORD n = GetTempPathA(capacity, dir);
  return n != 0 && n < capacity;
}

bool platform_make_temp_file(const char* dir, char* path, uint32_t capacity) {
  // GetTempFileNameA writes up to MAX_PATH characters whatever the buffer, so it gets one of
  // that size; a name that does not fit the caller's buffer is deleted again, not cut.
  char name[MAX_PATH];
  if (GetTempFileNameA(dir, "EXE", 0, name) == 0) return false;
  const size_t length = std::strlen(name);
  if (length >= capacity) {
    _unlink(name);
    return false;
  }
  std::memcpy(path, name, length + 1);
  return true;
}

void platform_chdir_root() { SetCurrentDirectoryA("\\"); }

// ---- files -------------------------------------------------------------------------------------

int platform_open_read(const char* path) {
  const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_RANDOM);
  return fd < 0 ? PLATFORM_NO_FILE : fd;
}

int platform_open_write(const char* path) {
  // Truncated only when it holds something: the file is new and empty as a rule, and under wine
  // a truncation reaches the host's file system, some of which (ext4) then write the whole file
  // out to disk when it is closed.
  const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_BINARY, _S_IWRITE);
  if (fd < 0) return PLATFORM_NO_FILE;
  if (_filelengthi64(fd) != 0 && _chsize(fd, 0) != 0) {
    _close(fd);
    return PLATFORM_NO_FILE;
  }
  return fd;
}

int32_t platform_read(int fd, void* buffer, uint32_t n) {
  // _read takes at most INT_MAX bytes, so that its count fits its result.
  return _read(fd, buffer, n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n);
}

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  return _write(fd, buffer, n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n);
}

int64_t platform_file_size(int fd) {
  struct _stat st;
  if (_fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool platform_close(int fd) { return _close(fd) == 0; }

bool platform_unlink(const char* path) { return _unlink(path) == 0; }

// ---- processes ---------------------------------------------------------------------------------

namespace {

// msvcrt's _spawnl joins its arguments with single blanks and quotes none of them, so an
// argument holding a blank would arrive as several. Quoting it keeps it whole. A path never
// holds a double quote, nor ends in a backslash when it names a file, so nothing needs escaping.
bool quote_if_blank(const char* argument, char* out, size_t capacity) {
  const size_t length = std::strlen(argument);
  const bool blank = std::strpbrk(argument, " \t") != nullptr;
  const size_t needed = length + (blank ? 2 : 0) + 1;
  if (needed > capacity) return false;
  char* p = out;
  if (blank) *p++ = '"';
  std::memcpy(p, argument, length);
  p += length;
  if (blank) *p++ = '"';
  *p = '\0';
  return true;
}

}  // namespace

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  // Room for a path of MAX_PATH characters, its two quotes and the zero.
  char quoted0[MAX_PATH + 3];
  char quoted1[MAX_PATH + 3];
  if (!quote_if_blank(arg0, quoted0, sizeof quoted0) ||
      !quote_if_blank(arg1, quoted1, sizeof quoted1))
    return false;
  return _spawnl(_P_NOWAIT, program, quoted0, quoted1, static_cast<const char*>(nullptr)) != -1;
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
  HINSTANCE module = GetModuleHandleA(nullptr);
  SetRectEmpty(&progress_bar);
  progress_window = CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_PROGRESS), GetDesktopWindow(),
                                       progress_dialog_proc, 0);
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
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (!IsDialogMessageA(progress_window, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
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
  MessageBoxA(nullptr, text, caption, MB_OK);
}
