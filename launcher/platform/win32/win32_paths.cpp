// Paths for the Win32 layer: the own path, the temporary directory and the launcher's private
// folder and file in it, their removal, and the root directory.
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>

#include "platform.h"
#include "temp_names.h"
#include "win32_layer.h"

namespace {

// Appends the hex digits of value, most significant first, and a zero.
wchar_t* put_hex(wchar_t* out, uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    const unsigned nibble = static_cast<unsigned>(value >> (4 * i)) & 0xFu;
    *out++ = static_cast<wchar_t>(nibble < 10 ? L'0' + nibble : L'A' + nibble - 10);
  }
  *out = L'\0';
  return out;
}

// Keeps the error of a call that failed while what it leaves behind is cleaned up, so that
// platform_last_fault tells of the call and not of the clean-up.
struct KeptError {
  DWORD error = GetLastError();
  ~KeptError() { SetLastError(error); }
};

wchar_t* put_text(wchar_t* out, const wchar_t* text) {
  while (*text != L'\0') *out++ = *text++;
  *out = L'\0';
  return out;
}

// A security descriptor that gives full access to the system, the administrators and the user
// running the launcher, and to nobody else, inherited by what the folder holds. False where the
// system cannot make one.
// The file being written and its folder, for win32_interrupt, and the status it ends with.
wchar_t guarded_file[WIN32_WIDE_PATH_CHARS];
wchar_t guarded_folder[WIN32_WIDE_PATH_CHARS];
bool guarded = false;
int interrupted_status = 0;

bool private_security(SECURITY_ATTRIBUTES* attributes) {
  // SECURITY_MAX_SID_SIZE bytes of SID give at most this many characters in SDDL.
  wchar_t sid[192];
  if (!win32_user_sid(sid, sizeof sid / sizeof sid[0])) return false;
  // P: not inheriting from the temporary directory; OICI: passed on to the file.
  wchar_t sddl[256];
  wchar_t* end = put_text(sddl, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;");
  const auto sid_length = static_cast<size_t>(lstrlenW(sid));
  if (static_cast<size_t>(end - sddl) + sid_length + 2 > sizeof sddl / sizeof sddl[0]) return false;
  put_text(put_text(end, sid), L")");
  attributes->nLength = sizeof *attributes;
  attributes->bInheritHandle = FALSE;
  attributes->lpSecurityDescriptor = nullptr;
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                              &attributes->lpSecurityDescriptor, nullptr);
}

}  // namespace

bool platform_own_path(char* path, uint32_t capacity) {
  static wchar_t wide_path[WIN32_WIDE_PATH_CHARS];
  // A path that fills the whole buffer has been cut (the call then returns its size).
  const DWORD n = GetModuleFileNameW(nullptr, wide_path, WIN32_WIDE_PATH_CHARS);
  return n != 0 && n < WIN32_WIDE_PATH_CHARS && win32_to_utf8(wide_path, path, capacity);
}

bool platform_temp_dir(char* dir, uint32_t capacity) {
  static wchar_t wide_dir[WIN32_WIDE_PATH_CHARS];
  // The result is the length without the zero when it fits, the size needed otherwise.
  const DWORD n = GetTempPathW(WIN32_WIDE_PATH_CHARS, wide_dir);
  return n != 0 && n < WIN32_WIDE_PATH_CHARS && win32_to_utf8(wide_dir, dir, capacity);
}

// The full form is resolved from the working directory, and its short (8.3) names made long where
// it exists, so that two names of one place agree.
bool platform_full_path(const char* path, char* out, uint32_t capacity) {
  static wchar_t wide[WIN32_WIDE_PATH_CHARS];
  static wchar_t full[WIN32_WIDE_PATH_CHARS];
  static wchar_t long_form[WIN32_WIDE_PATH_CHARS];
  if (!win32_to_wide(path, wide, WIN32_WIDE_PATH_CHARS)) return false;
  const DWORD n = GetFullPathNameW(wide, WIN32_WIDE_PATH_CHARS, full, nullptr);
  if (n == 0 || n >= WIN32_WIDE_PATH_CHARS) return false;
  const DWORD m = GetLongPathNameW(full, long_form, WIN32_WIDE_PATH_CHARS);
  return win32_to_utf8(m != 0 && m < WIN32_WIDE_PATH_CHARS ? long_form : full, out, capacity);
}

void platform_chdir_root() { SetCurrentDirectoryW(L"\\"); }

bool win32_user_sid(wchar_t* sid, uint32_t capacity) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  wchar_t* text = nullptr;
  const bool have_sid = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                        ConvertSidToStringSidW(info.user.User.Sid, &text);
  CloseHandle(token);
  if (!have_sid) return false;
  const auto length = static_cast<uint32_t>(lstrlenW(text));
  const bool fits = length < capacity;
  if (fits) put_text(sid, text);
  LocalFree(text);
  return fits;
}

namespace {

// Makes the launcher's new private folder in dir, <dir>SFX<16 hex digits>, with the access list
// of private_security, which *security keeps (for the caller to LocalFree); never a folder that
// exists already, as CreateDirectoryW fails then. Gives the end of its path in wide_path, and a
// random number for the names inside; null, with nothing made, when it fails.
wchar_t* make_private_folder(const char* dir, wchar_t* wide_path, SECURITY_ATTRIBUTES* security, uint64_t* random) {
  // SystemFunction036 is RtlGenRandom, the system's random source.
  if (!SystemFunction036(random, sizeof *random) || !private_security(security)) return nullptr;
  wchar_t* folder_end = nullptr;
  if (win32_to_wide(dir, wide_path, WIN32_WIDE_PATH_CHARS - 40)) {
    folder_end = put_hex(put_text(wide_path + lstrlenW(wide_path), L"SFX"), *random, WINDOWS_TEMP_FOLDER_DIGITS);
    if (!CreateDirectoryW(wide_path, security)) folder_end = nullptr;
  }
  if (folder_end == nullptr) {
    KeptError kept;
    LocalFree(security->lpSecurityDescriptor);
  }
  return folder_end;
}

// A bundle's run removes its folder itself: an interruption is noted, and the run stops at its
// next step (platform_interrupted).
bool note_interruptions = false;
bool interrupted = false;

}  // namespace

int platform_create_temp_file(const char* dir, TempFileKind kind, char* path, uint32_t capacity) {
  static wchar_t wide_path[WIN32_WIDE_PATH_CHARS];
  uint64_t random = 0;
  SECURITY_ATTRIBUTES security;
  // <dir>SFX<16 hex digits>, then <folder>\EXE<4 hex digits>.tmp (.msi for a package, .msp for a
  // patch: msiexec goes by the name).
  wchar_t* folder_end = make_private_folder(dir, wide_path, &security, &random);
  if (folder_end == nullptr) return PLATFORM_NO_FILE;
  put_text(put_hex(put_text(folder_end, L"\\EXE"), random >> 48, 4),
           kind == TEMP_MSI_PACKAGE ? L".msi" : kind == TEMP_MSI_PATCH ? L".msp" : L".tmp");
  // Shared for reading only: no other process may write, rename or delete it while it is open.
  // It would inherit the folder's access list; it is given it outright, for file systems that
  // pass nothing on.
  HANDLE file = CreateFileW(wide_path, GENERIC_WRITE, FILE_SHARE_READ, &security, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  KeptError kept;
  LocalFree(security.lpSecurityDescriptor);
  const int fd = win32_file_number(file);
  if (fd == PLATFORM_NO_FILE || !win32_to_utf8(wide_path, path, capacity)) {
    if (fd != PLATFORM_NO_FILE) platform_close(fd);
    DeleteFileW(wide_path);
    *folder_end = L'\0';
    RemoveDirectoryW(wide_path);
    return PLATFORM_NO_FILE;
  }
  put_text(guarded_file, wide_path);
  put_text(guarded_folder, wide_path);
  guarded_folder[folder_end - wide_path] = L'\0';
  guarded = true;
  return fd;
}

bool platform_create_temp_folder(const char* dir, char* path, uint32_t capacity) {
  static wchar_t wide_path[WIN32_WIDE_PATH_CHARS];
  static wchar_t full[WIN32_WIDE_PATH_CHARS];
  uint64_t random = 0;
  SECURITY_ATTRIBUTES security;
  // From before the folder exists, an interruption is only noted: the run removes what it made.
  note_interruptions = true;
  wchar_t* folder_end = make_private_folder(dir, wide_path, &security, &random);
  if (folder_end == nullptr) return false;
  LocalFree(security.lpSecurityDescriptor);
  // The folder's full form ("..", '/' and the like resolved), which the names inside are joined to
  // and which the layer then takes as it stands (\\?\).
  const DWORD n = GetFullPathNameW(wide_path, WIN32_WIDE_PATH_CHARS, full, nullptr);
  if (n == 0 || n >= WIN32_WIDE_PATH_CHARS || !win32_to_utf8(full, path, capacity)) {
    KeptError kept;
    RemoveDirectoryW(wide_path);
    return false;
  }
  return true;
}

bool platform_interrupted() { return interrupted; }

void platform_end_interrupted() {
  win32_close_all_files();
  ExitProcess(static_cast<UINT>(interrupted_status));
}

void platform_interrupt_status(int status) { interrupted_status = status; }

void platform_release_temp_file() { guarded = false; }

void win32_interrupt() {
  if (note_interruptions) interrupted = true;
  if (!guarded) return;
  win32_close_all_files();
  DeleteFileW(guarded_file);
  RemoveDirectoryW(guarded_folder);
  ExitProcess(static_cast<UINT>(interrupted_status));
}

bool platform_remove_temp_file(const char* path) {
  static wchar_t wide_path[WIN32_WIDE_PATH_CHARS];
  if (!win32_to_wide(path, wide_path, WIN32_WIDE_PATH_CHARS) || !DeleteFileW(wide_path)) return false;
  guarded = false;
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

bool platform_is_temp_file_path(const char* path, const char* temp_dir) {
  // A relative name would be resolved from the working directory: never one of the launcher's.
  const bool absolute = (path[0] != '\0' && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
                        (path[0] == '\\' && path[1] == '\\');
  static char full[3 * WIN32_WIDE_PATH_CHARS];
  static char full_temp[3 * WIN32_WIDE_PATH_CHARS];
  return absolute && platform_full_path(path, full, sizeof full) &&
         platform_full_path(temp_dir, full_temp, sizeof full_temp) &&
         is_temp_file_in(full, full_temp, is_windows_temp_folder_name, is_windows_temp_file_name, true);
}
