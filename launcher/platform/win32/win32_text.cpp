// The core holds UTF-8 and the system speaks UTF-16: conversions that are exact both ways, so
// that no code page and no best-fit mapping ever stands between the launcher and a file name.
#include <windows.h>

#include "win32_layer.h"

bool win32_to_utf8(const wchar_t* wide, char* out, uint32_t capacity) {
  // WC_ERR_INVALID_CHARS: a lone surrogate (which a file name may hold) fails rather than turning
  // into a replacement character that would name another file.
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out, static_cast<int>(capacity),
                             nullptr, nullptr) > 0;
}

bool win32_to_wide(const char* utf8, wchar_t* out, uint32_t capacity) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out, static_cast<int>(capacity)) > 0;
}
