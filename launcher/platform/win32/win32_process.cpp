// Processes for the Win32 layer: the library search, starting the unpacked program (through the
// shell when it needs elevation), and waiting.
#include <windows.h>

#include <shellapi.h>

#include <cstring>

#include "platform.h"
#include "win32_layer.h"

// Windows' "the requested operation requires elevation", which not every header names.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740
#endif

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

void win32_restrict_library_search() {
  // Looked up by name: systems before Windows 8 may lack it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto restrict_to = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (restrict_to == nullptr || !restrict_to(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

bool win32_start_through_shell(const wchar_t* program, const wchar_t* parameters, void** process) {
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
  info.fMask = SEE_MASK_CLASSNAME | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI |
               (process != nullptr ? SEE_MASK_NOCLOSEPROCESS : 0);
  info.lpVerb = L"open";
  info.lpClass = L"exefile";
  info.lpFile = program;
  info.lpParameters = parameters;
  info.nShow = SW_SHOWNORMAL;
  const bool started = execute(&info) != 0;
  if (process != nullptr) *process = started ? info.hProcess : nullptr;
  return started;
}

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  static wchar_t wide_program[WIN32_WIDE_PATH_CHARS];
  static wchar_t command_line[WIN32_WIDE_PATH_CHARS];
  wchar_t* line = command_line;
  const wchar_t* const end = command_line + WIN32_WIDE_PATH_CHARS;
  if (!win32_to_wide(program, wide_program, WIN32_WIDE_PATH_CHARS) || !put_argument(line, end, arg0)) return false;
  wchar_t* const parameters = line + 1;  // what follows the program's own name
  *line++ = L' ';
  if (!put_argument(line, end, arg1)) return false;

  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (CreateProcessW(wide_program, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }
  // A program that asks for more rights than the launcher's is started through the shell, which
  // asks the user for them.
  return GetLastError() == ERROR_ELEVATION_REQUIRED && win32_start_through_shell(wide_program, parameters);
}

namespace {

// A text of up to WIN32_WIDE_PATH_CHARS characters, built by appending; `fits` turns false for
// good once an append does not fit.
struct WideText {
  wchar_t* text;
  uint32_t length;
  bool fits;
  WideText& operator<<(const wchar_t* more) {
    for (; fits && *more != L'\0'; ++more) {
      if (length + 1 >= WIN32_WIDE_PATH_CHARS) {
        fits = false;
        break;
      }
      text[length++] = *more;
    }
    text[length] = L'\0';
    return *this;
  }
};

}  // namespace

bool platform_run_and_wait(const char* program, TempFileKind kind, const char* tail, const char* own_path,
                           uint32_t* status) {
  static wchar_t wide_program[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_tail[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_own[WIN32_WIDE_PATH_CHARS];
  static wchar_t application_text[WIN32_WIDE_PATH_CHARS];
  static wchar_t line_text[WIN32_WIDE_PATH_CHARS];
  static wchar_t parameters_text[WIN32_WIDE_PATH_CHARS];
  if (!win32_to_wide(program, wide_program, WIN32_WIDE_PATH_CHARS) ||
      !win32_to_wide(tail, wide_tail, WIN32_WIDE_PATH_CHARS) || !win32_to_wide(own_path, wide_own, WIN32_WIDE_PATH_CHARS) ||
      !SetEnvironmentVariableW(L"SFX_LAUNCHER_PATH", wide_own)) {
    return false;
  }
  // A program: "<file>" <tail>. A package: "<system folder>\msiexec.exe" /i "<file>" <tail>, by
  // the full path of the system's own msiexec, never one a search could find. The shell, asked
  // only for a program that needs elevation, takes what follows the program's name.
  WideText application{application_text, 0, true};
  WideText line{line_text, 0, true};
  WideText parameters{parameters_text, 0, true};
  if (kind == TEMP_MSI_PACKAGE) {
    const UINT n = GetSystemDirectoryW(application_text, WIN32_WIDE_PATH_CHARS);
    if (n == 0 || n >= WIN32_WIDE_PATH_CHARS) return false;
    application.length = n;
    application << L"\\msiexec.exe";
    parameters << L"/i \"" << wide_program << L"\"";
  } else {
    application << wide_program;
  }
  if (wide_tail[0] != L'\0') parameters << (parameters.length != 0 ? L" " : L"") << wide_tail;
  line << L"\"" << application_text << L"\"" << (parameters.length != 0 ? L" " : L"") << parameters_text;
  if (!application.fits || !line.fits || !parameters.fits) return false;

  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  HANDLE waited = nullptr;
  if (CreateProcessW(application_text, line_text, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    waited = process.hProcess;
  } else {
    // A program that asks for more rights than the launcher's is started through the shell; its
    // process is the one waited for.
    void* shell_process = nullptr;
    if (GetLastError() != ERROR_ELEVATION_REQUIRED ||
        !win32_start_through_shell(application_text, parameters_text, &shell_process) || shell_process == nullptr) {
      return false;
    }
    waited = static_cast<HANDLE>(shell_process);
  }
  win32_wait_handling_messages(waited);
  DWORD code = 0;
  const bool have_code = GetExitCodeProcess(waited, &code) != 0;
  CloseHandle(waited);
  *status = static_cast<uint32_t>(code);
  return have_code;
}

void platform_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }
