// Why a call failed, and the launcher's own switches' needs (console output, empty folders, the
// mark of origin) for the Win32 platform layer; full paths are win32_paths.cpp's.
#include <windows.h>

#include <cstring>

#include "platform.h"
#include "win32_layer.h"

PlatformFault platform_last_fault(char* reason, uint32_t capacity) {
  const DWORD error = GetLastError();
  if (capacity > 0) reason[0] = '\0';
  static wchar_t text[512];
  // Some of the system's texts name the file they are about as an insert ("%1 is not a valid
  // Win32 application"): each insert reads "It", which the message's own line has named.
  static const wchar_t* inserts[9];
  for (const wchar_t*& insert : inserts) insert = L"It";
  if (error != 0 &&
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, error, 0, text,
                     sizeof text / sizeof text[0], static_cast<va_list*>(static_cast<void*>(inserts))) != 0) {
    // The system's text ends in a full stop and a line break: the message adds its own.
    int n = lstrlenW(text);
    while (n > 0 && (text[n - 1] <= L' ' || text[n - 1] == L'.')) --n;
    text[n] = L'\0';
    if (!win32_to_utf8(text, reason, capacity) && capacity > 0) reason[0] = '\0';
  }
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return FAULT_MISSING;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FAULT_FULL;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return FAULT_DENIED;
    default:
      return FAULT_OTHER;
  }
}

const char* platform_temp_dir_variable() { return nullptr; }

bool platform_folder_runs_programs(const char*) { return true; }

bool platform_fallback_temp_dir(uint32_t, char*, uint32_t) { return false; }

namespace {

// Writes text to out: a console takes it as UTF-16 (WriteConsoleW), a file or a pipe as the
// UTF-8 bytes it is.
bool write_text(HANDLE out, const char* text) {
  static wchar_t wide[8192];
  DWORD mode = 0;
  DWORD done = 0;
  if (GetConsoleMode(out, &mode)) {
    return win32_to_wide(text, wide, sizeof wide / sizeof wide[0]) &&
           WriteConsoleW(out, wide, static_cast<DWORD>(lstrlenW(wide)), &done, nullptr) != 0;
  }
  const auto n = static_cast<DWORD>(std::strlen(text));
  return WriteFile(out, text, n, &done, nullptr) != 0 && done == n;
}

HANDLE parent_console;

}  // namespace

bool platform_print(const char* text) {
  // A GUI program has a standard output only when it was given one (redirected to a file or a
  // pipe); else the console of the program that started it (a command prompt), attached once.
  if (write_text(GetStdHandle(STD_OUTPUT_HANDLE), text)) return true;
  if (parent_console == nullptr && AttachConsole(ATTACH_PARENT_PROCESS)) {
    parent_console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  }
  return parent_console != nullptr && write_text(parent_console, text);
}

bool platform_folder_is_empty(const char* path) {
  static wchar_t pattern[WIN32_WIDE_PATH_CHARS];
  if (!win32_bundle_path(path, true, pattern, WIN32_WIDE_PATH_CHARS - 2)) return false;
  wchar_t* end = pattern + lstrlenW(pattern);
  if (end[-1] != L'\\') *end++ = L'\\';
  end[0] = L'*';
  end[1] = L'\0';
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(pattern, FindExInfoStandard, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  // Nothing but "." and "..".
  bool empty = true;
  do {
    const wchar_t* name = found.cFileName;
    empty = name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
  } while (empty && FindNextFileW(search, &found));
  FindClose(search);
  return empty;
}

namespace {

// Appends more to text (which has room for it).
void append(wchar_t* text, const wchar_t* more) {
  while (*text != L'\0') ++text;
  while ((*text++ = *more++) != L'\0') {
  }
}

}  // namespace

bool platform_copy_origin_mark(const char* own_path, const char* path) {
  // The mark is the file's Zone.Identifier stream: a few lines of text, which the system and
  // the programs that open the file read to learn that it came from the internet. A launcher
  // that has none has nothing to copy.
  static wchar_t from[WIN32_WIDE_PATH_CHARS];
  static wchar_t to[WIN32_WIDE_PATH_CHARS];
  static const wchar_t STREAM[] = L":Zone.Identifier";
  const uint32_t room = WIN32_WIDE_PATH_CHARS - sizeof STREAM / sizeof STREAM[0];
  if (!win32_bundle_path(own_path, true, from, room) || !win32_bundle_path(path, true, to, room)) return false;
  append(from, STREAM);
  append(to, STREAM);
  if (GetFileAttributesW(from) == INVALID_FILE_ATTRIBUTES) return true;
  return CopyFileW(from, to, FALSE) != 0;
}
