// The progress window and the failure message for the Win32 layer. The window, its device context
// and the bar's brush live here for the whole process (the run happens once); nothing is freed,
// as the window and brush go with the process.
#include <windows.h>

#include "platform.h"
#include "resource.h"
#include "win32_layer.h"

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
// Repainting the window erases the bar, so the bar is drawn again after the background. Closing
// the window (the task ended from the task manager) or the session's end interrupt the run while
// the file is being written: the partial file and its folder go, and the process ends
// (win32_interrupt); while a bundle's folder is being filled, the interruption is noted and the
// run removes the folder at its next step. Afterwards, and for every other message, the dialog's
// default handling, which neither closes nor ends it.
INT_PTR CALLBACK progress_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_CLOSE || (message == WM_ENDSESSION && wparam != FALSE)) {
    win32_interrupt();
    return TRUE;
  }
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

namespace {

void handle_messages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (progress_window == nullptr || !IsDialogMessageW(progress_window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

}  // namespace

void platform_progress_poll() {
  if (progress_window == nullptr) return;
  const DWORD now = GetTickCount();
  if (now - progress_polled < PROGRESS_POLL_MS) return;
  progress_polled = now;
  handle_messages();
}

void win32_wait_handling_messages(void* process) {
  HANDLE handle = static_cast<HANDLE>(process);
  for (;;) {
    const DWORD woken = MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) return;  // the process ended (or the wait failed)
    handle_messages();
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

void platform_show_message(const char* caption, const char* text) {
  // The caption fits 256 characters (texts.h); the text, a failure message with the cause's line
  // (which may name a long path) or what a switch tells, may be far longer.
  static wchar_t wide_caption[256];
  static wchar_t wide_text[WIN32_WIDE_PATH_CHARS];
  // The progress window is system-modal: left up, it would cover the message.
  if (progress_shown) platform_progress_hide();
  if (!win32_to_wide(caption, wide_caption, 256)) wide_caption[0] = L'\0';
  if (!win32_to_wide(text, wide_text, WIN32_WIDE_PATH_CHARS)) wide_text[0] = L'\0';
  MessageBoxW(nullptr, wide_text, wide_caption, MB_OK);
}

bool platform_desktop_visible() {
  USEROBJECTFLAGS flags;
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  // Where the system cannot tell, a window is shown as it always was.
  if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool platform_text(uint32_t id, char* text, uint32_t capacity) {
  static wchar_t wide[256];
  HMODULE module = GetModuleHandleW(nullptr);
  const int n = LoadStringW(module, id, wide, sizeof wide / sizeof wide[0]);
  if (n > 0) return win32_to_utf8(wide, text, capacity);
  // A string table keeps no difference between an empty text and a missing one; the block that
  // holds it does: a launcher `sfx pack` wrote its texts into has the block, and an empty text
  // there is meant so (no address).
  if (capacity == 0 || FindResourceW(module, MAKEINTRESOURCEW(id / 16 + 1), MAKEINTRESOURCEW(6)) == nullptr) return false;
  text[0] = '\0';
  return true;
}
