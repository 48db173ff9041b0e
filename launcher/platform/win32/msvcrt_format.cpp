// The C printf family of msvcrt in place of mingw-w64's own.
//
// mingw-w64's C++ headers switch every C++ file to mingw's C99 printf family
// (__USE_MINGW_ANSI_STDIO), which weighs about 28 KB: as much as the rest of the launcher. The
// launcher formats only text ("%s"), which msvcrt does alike, so the link wraps the one entry
// its code reaches (-Wl,--wrap=__mingw_vsnprintf) onto msvcrt's _vsnprintf. Only the C99
// result rules need mending: msvcrt gives -1 and no terminating zero when the text is cut.
#include <cstdarg>
#include <cstddef>
#include <cstdio>

extern "C" int __wrap___mingw_vsnprintf(char* text, size_t capacity, const char* format,
                                        va_list arguments) {
  va_list again;
  va_copy(again, arguments);
  int written = _vsnprintf(text, capacity, format, arguments);
  if (written < 0 || static_cast<size_t>(written) >= capacity) {
    if (capacity > 0) text[capacity - 1] = '\0';
    written = _vscprintf(format, again);  // the length the whole text would have had
  }
  va_end(again);
  return written;
}
