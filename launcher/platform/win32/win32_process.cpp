// Processes for the Win32 layer: the library search, starting the unpacked program (through the
// shell when it needs elevation), and waiting.
#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>

#include "platform.h"
#include "win32_layer.h"

// Windows' "the requested operation requires elevation", which not every header names.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740
#endif

void win32_restrict_library_search() {
  // Looked up by name: systems before Windows 8 may lack it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto restrict_to = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (restrict_to == nullptr || !restrict_to(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

bool win32_start_through_shell(const wchar_t* program, const wchar_t* parameters, void** process,
                               const wchar_t* directory) {
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
  info.lpDirectory = directory;
  info.nShow = SW_SHOWNORMAL;
  const bool started = execute(&info) != 0;
  if (process != nullptr) *process = started ? info.hProcess : nullptr;
  return started;
}

namespace {

// A text of up to WIN32_WIDE_PATH_CHARS characters, built by appending; `fits` turns false for
// good once an append does not fit.
struct WideText {
  // Built by a constructor rather than from an initialiser: an initialiser would be copied from a
  // template that the compiler keeps in the program's data, for a section of its own.
  WideText(wchar_t* buffer, uint32_t start, bool room) : text(buffer), length(start), fits(room) {}
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

// Whether an argument needs double quotes to arrive whole: it holds a blank or a tab. A path
// never holds a double quote, nor ends in a backslash when it names a file, so nothing needs
// escaping.
bool has_blank(const wchar_t* text) {
  for (; *text != L'\0'; ++text) {
    if (*text == L' ' || *text == L'\t') return true;
  }
  return false;
}

// Starts application with the command line <application> <parameters>, the application's name in
// double quotes when always_quote or when it holds blanks, in directory (null: the launcher's
// own), through the shell when it asks for more rights than the launcher's (the shell then asks
// the user for them). With process, *process is the process's handle, for waiting (null after a
// start through the shell that gives none).
bool start_process(const wchar_t* application, bool always_quote, const wchar_t* parameters, HANDLE* process,
                   const wchar_t* directory = nullptr) {
  static wchar_t line_text[WIN32_WIDE_PATH_CHARS];
  WideText line{line_text, 0, true};
  const wchar_t* quote = always_quote || has_blank(application) ? L"\"" : L"";
  line << quote << application << quote << (parameters[0] != L'\0' ? L" " : L"") << parameters;
  if (!line.fits) return false;
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  if (CreateProcessW(application, line_text, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &info)) {
    CloseHandle(info.hThread);
    if (process != nullptr) {
      *process = info.hProcess;
    } else {
      CloseHandle(info.hProcess);
    }
    return true;
  }
  return GetLastError() == ERROR_ELEVATION_REQUIRED &&
         win32_start_through_shell(application, parameters, reinterpret_cast<void**>(process), directory);
}

// The private folder as the system names it in full, upper-cased and ending in a backslash, and
// its length; 0 when it is not known, and then no process is taken for one of the folder's.
wchar_t folder_text[WIN32_WIDE_PATH_CHARS];
DWORD folder_length;

// QueryFullProcessImageNameW, which systems before Vista lack: there the program alone is waited
// for.
using ImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, wchar_t*, DWORD*);
ImageNameFn image_name;

// path in its long form (short 8.3 names made long), upper-cased, into out: its length, 0 when it
// does not exist or does not fit.
__attribute__((noinline)) DWORD long_upper(const wchar_t* path, wchar_t* out) {
  DWORD n = GetLongPathNameW(path, out, WIN32_WIDE_PATH_CHARS - 1);
  if (n >= WIN32_WIDE_PATH_CHARS - 1) n = 0;
  CharUpperBuffW(out, n);
  return n;
}

// A process still running a program file that lies in the private folder (a handle to wait on
// and read its exit code through), or null when there is none.
HANDLE running_from_folder() {
  static wchar_t image[WIN32_WIDE_PATH_CHARS];
  static wchar_t long_image[WIN32_WIDE_PATH_CHARS];
  if (image_name == nullptr || folder_length == 0) return nullptr;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  HANDLE found = nullptr;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr;
       more = Process32NextW(snapshot, &entry)) {
    found = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    DWORD n = WIN32_WIDE_PATH_CHARS;
    // One that has ended (a process whose handles someone still holds) is passed over.
    if (found != nullptr &&
        !(WaitForSingleObject(found, 0) == WAIT_TIMEOUT && image_name(found, 0, image, &n) &&
          long_upper(image, long_image) > folder_length &&
          std::memcmp(long_image, folder_text, folder_length * sizeof(wchar_t)) == 0)) {
      CloseHandle(found);
      found = nullptr;
    }
  }
  CloseHandle(snapshot);
  return found;
}

// Waits until the program (process) has ended and then, one at a time, each process still running
// a program from the private folder (the program's copy it started, elevated or not; a bundle's
// helpers), the window's messages handled meanwhile. *status is the exit code of the last of them
// to end that could be read: the program's own when nothing of the folder's outlived it. False
// when no code could be read.
bool wait_for_run(HANDLE process, uint32_t* status) {
  image_name = reinterpret_cast<ImageNameFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
  bool have_code = false;
  for (HANDLE current = process; current != nullptr; current = running_from_folder()) {
    win32_wait_handling_messages(current);
    DWORD code = 0;
    if (GetExitCodeProcess(current, &code)) {
      *status = static_cast<uint32_t>(code);
      have_code = true;
    }
    CloseHandle(current);
  }
  return have_code;
}

// The wait contract (platform.h) for the request's program, its path already in the system's
// form; the held files are let go once the process exists when the request says so.
bool run_and_wait(const wchar_t* program, const wchar_t* working_dir, const RunRequest* request, uint32_t* status) {
  static wchar_t wide_tail[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_own[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_action[16];
  static wchar_t application_text[WIN32_WIDE_PATH_CHARS];
  static wchar_t parameters_text[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_folder[WIN32_WIDE_PATH_CHARS];
  const TempFileKind kind = request->kind;
  // The private folder's path ends in no separator (a folder of the launcher's is never a root).
  folder_length = 0;
  if (win32_to_wide(request->private_folder, wide_folder, WIN32_WIDE_PATH_CHARS)) {
    folder_length = long_upper(wide_folder, folder_text);
    if (folder_length > 0) folder_text[folder_length++] = L'\\';
  }
  if (!win32_to_wide(request->tail, wide_tail, WIN32_WIDE_PATH_CHARS) ||
      !win32_to_wide(request->own_path, wide_own, WIN32_WIDE_PATH_CHARS) ||
      !SetEnvironmentVariableW(L"SFX_LAUNCHER_PATH", wide_own)) {
    return false;
  }
  // msiexec's action: the tail's own, or /i (/p for a patch).
  if (request->action != nullptr && request->action_length > 0 && request->action_length < 16) {
    for (uint32_t i = 0; i < request->action_length; ++i) wide_action[i] = static_cast<unsigned char>(request->action[i]);
    wide_action[request->action_length] = L'\0';
  } else {
    wide_action[0] = L'/';
    wide_action[1] = kind == TEMP_MSI_PATCH ? L'p' : L'i';
    wide_action[2] = L'\0';
  }
  // A program: "<file>" <tail>. A package: "<system folder>\msiexec.exe" <action> "<file>" <tail>. A
  // command script: "<system folder>\cmd.exe" /d /c ""<file>" <tail>", which cmd reads as the
  // script's quoted path and the tail once it has taken off the outer quotes; /d leaves out the
  // commands the registry may have cmd run first.
  WideText application{application_text, 0, true};
  WideText parameters{parameters_text, 0, true};
  const wchar_t* space_tail = wide_tail[0] != L'\0' ? L" " : L"";
  if (kind == TEMP_PROGRAM) {
    application << program;
  } else {
    const UINT n = GetSystemDirectoryW(application_text, WIN32_WIDE_PATH_CHARS);
    if (n == 0 || n >= WIN32_WIDE_PATH_CHARS) return false;
    application.length = n;
    if (kind == TEMP_COMMAND_SCRIPT) {
      application << L"\\cmd.exe";
      parameters << L"/d /c \"\"" << program << L"\"" << space_tail;
    } else {
      application << L"\\msiexec.exe";
      parameters << wide_action << L" \"" << program << L"\"" << space_tail;
    }
  }
  parameters << wide_tail << (kind == TEMP_COMMAND_SCRIPT ? L"\"" : L"");
  HANDLE process = nullptr;
  if (!application.fits || !parameters.fits ||
      !start_process(application_text, true, parameters_text, &process, working_dir) || process == nullptr) {
    return false;
  }
  if (request->release_held) platform_release_held();
  return wait_for_run(process, status);
}

}  // namespace

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  // The program's own name is its path (arg0), which start_process puts first; each is quoted
  // when it holds a blank, so that it arrives whole.
  (void)arg0;
  static wchar_t wide_program[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_arg[WIN32_WIDE_PATH_CHARS];
  static wchar_t parameters_text[WIN32_WIDE_PATH_CHARS];
  if (!win32_to_wide(program, wide_program, WIN32_WIDE_PATH_CHARS) ||
      !win32_to_wide(arg1, wide_arg, WIN32_WIDE_PATH_CHARS)) {
    return false;
  }
  const wchar_t* quote = has_blank(wide_arg) ? L"\"" : L"";
  WideText parameters{parameters_text, 0, true};
  parameters << quote << wide_arg << quote;
  return parameters.fits && start_process(wide_program, false, parameters_text, nullptr);
}

bool platform_run_and_wait(const RunRequest* request, uint32_t* status) {
  // A bundle's program is given in plain paths, not the \\?\ form: the program sees its own path
  // and working directory as one the user started would (an installer joins names to them; cmd
  // runs in no working directory of that form). A single file stays locked while the program
  // runs from it: the core lets it go after the wait; a bundle's held files are let go once the
  // process exists: from then on the files are the installer's, which may rename or replace them.
  static wchar_t wide_program[WIN32_WIDE_PATH_CHARS];
  static wchar_t wide_dir[WIN32_WIDE_PATH_CHARS];
  if (!win32_bundle_path(request->program, false, wide_program, WIN32_WIDE_PATH_CHARS)) return false;
  if (request->working_dir == nullptr) return run_and_wait(wide_program, nullptr, request, status);
  return win32_bundle_path(request->working_dir, false, wide_dir, WIN32_WIDE_PATH_CHARS) &&
         run_and_wait(wide_program, wide_dir, request, status);
}

void platform_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }
