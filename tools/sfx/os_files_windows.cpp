// The tool's system services on Windows: msvcrt's descriptors for reading and writing, always in
// binary mode, and kernel32 where msvcrt has no answer (file identity, creating and moving files
// safely, the console's Ctrl-C). Paths arrive as UTF-8 and reach the system through its wide
// functions, never through a code page. Failures of kernel32 calls are turned into errno values,
// so that every message reads alike.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "os_files.h"

bool os_is_separator(char c) { return c == '/' || c == '\\'; }

void os_init_std_streams() {
  _setmode(OS_STDIN, _O_BINARY);
  _setmode(OS_STDOUT, _O_BINARY);
  _setmode(OS_STDERR, _O_BINARY);
}

namespace {

// UTF-8 as UTF-16; empty (with errno EINVAL) when the text is not valid UTF-8.
std::wstring wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (n <= 0) {
    errno = EINVAL;
    return std::wstring();
  }
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

std::vector<std::string> os_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return {argv, argv + argc};
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(utf8(arguments[i]));
  LocalFree(arguments);
  return out;
}

int os_last_error() { return errno; }

std::string os_error_text(int error_number) { return std::strerror(error_number); }

bool os_error_is_disk_full(int error_number) { return error_number == ENOSPC; }

namespace {

// Sets errno from the calling thread's last kernel32 error.
void set_errno_from_windows() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_NOT_SAME_DEVICE: errno = EXDEV; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    default: errno = EIO; break;
  }
}

bool info_of_handle(HANDLE handle, OsFileInfo* info) {
  *info = OsFileInfo{};
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    info->kind = OsFileKind::DEVICE_OR_PIPE;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION details;
  if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &details)) {
    info->kind = OsFileKind::OTHER;
    return true;
  }
  info->device = details.dwVolumeSerialNumber;
  info->modified = static_cast<int64_t>((uint64_t{details.ftLastWriteTime.dwHighDateTime} << 32) |
                                        details.ftLastWriteTime.dwLowDateTime);
  info->file = (uint64_t{details.nFileIndexHigh} << 32) | details.nFileIndexLow;
  if (details.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    info->kind = OsFileKind::DIRECTORY;
  } else {
    info->kind = OsFileKind::REGULAR;
    info->size = static_cast<int64_t>((uint64_t{details.nFileSizeHigh} << 32) | details.nFileSizeLow);
  }
  return true;
}

constexpr size_t LONGEST_NAME = 255;

// The temporary file being written, for the console's Ctrl-C handler (which runs on a thread of
// its own): the path is copied here before the flag is set. The file is open with sharing for
// deletion, so deleting it there removes it once the process has ended.
wchar_t guarded_path[32768];
volatile LONG guarded = 0;

BOOL WINAPI remove_temp_on_interrupt(DWORD) {
  if (guarded) DeleteFileW(guarded_path);
  return FALSE;  // the default handler then ends the process
}

int descriptor_of(HANDLE handle) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

}  // namespace

bool os_info_of_path(const std::string& path, OsFileInfo* info) {
  *info = OsFileInfo{};
  // No access asked for: this opens files in use and folders alike.
  HANDLE handle = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    set_errno_from_windows();
    return false;
  }
  const bool ok = info_of_handle(handle, info);
  CloseHandle(handle);
  return ok;
}

bool os_info_of_link(const std::string& path, OsFileInfo* info) { return os_info_of_path(path, info); }

bool os_info_of_fd(int fd, OsFileInfo* info) {
  const intptr_t handle = _get_osfhandle(fd);
  if (handle == -1) return false;
  return info_of_handle(reinterpret_cast<HANDLE>(handle), info);
}

int os_open_read(const std::string& path) {
  const int fd = _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  // msvcrt cannot open a folder and says "Permission denied"; it is a folder.
  if (fd < 0 && errno == EACCES) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) errno = EISDIR;
  }
  return fd;
}

int os_open_write_existing(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

bool os_close(int fd) { return _close(fd) == 0; }

bool os_is_terminal(int fd) { return _isatty(fd) != 0; }

int64_t os_read(int fd, void* buffer, size_t n) {
  const unsigned count = n > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<unsigned>(n);
  return _read(fd, buffer, count);
}

bool os_write_all(int fd, const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const unsigned count = n > 0x40000000u ? 0x40000000u : static_cast<unsigned>(n);
    const int put = _write(fd, bytes, count);
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    bytes += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool os_write_at(int fd, int64_t offset, const void* data, size_t n) {
  const int64_t here = _lseeki64(fd, 0, SEEK_CUR);
  if (here < 0 || _lseeki64(fd, offset, SEEK_SET) != offset) return false;
  const bool written = os_write_all(fd, data, n);
  return _lseeki64(fd, here, SEEK_SET) == here && written;
}

int64_t os_read_at(int fd, int64_t offset, void* buffer, size_t n) {
  const int64_t here = _lseeki64(fd, 0, SEEK_CUR);
  if (here < 0 || _lseeki64(fd, offset, SEEK_SET) != offset) return -1;
  const int64_t got = os_read(fd, buffer, n);
  return _lseeki64(fd, here, SEEK_SET) == here ? got : -1;
}

int64_t os_tell(int fd) {
  OsFileInfo info;
  // msvcrt reports a position for pipes and consoles too; only files can seek.
  if (!os_info_of_fd(fd, &info) || info.kind != OsFileKind::REGULAR) return -1;
  return _lseeki64(fd, 0, SEEK_CUR);
}

bool os_seek(int fd, int64_t offset) { return _lseeki64(fd, offset, SEEK_SET) == offset; }

namespace {

// The next candidate name of a temporary file or folder beside target: ".NAME.sfx-" and 8 hex
// digits in target's folder, the name cut so that the whole stays within one folder entry;
// *unique steps on at each call.
std::string temp_name_beside(const std::string& target, DWORD* unique) {
  size_t cut = target.size();
  while (cut > 0 && !os_is_separator(target[cut - 1]) && target[cut - 1] != ':') --cut;
  std::string base = target.substr(cut);
  const std::string marker = ".sfx-";
  constexpr size_t UNIQUE_CHARS = 8;
  if (1 + base.size() + marker.size() + UNIQUE_CHARS > LONGEST_NAME)
    base.resize(LONGEST_NAME - 1 - marker.size() - UNIQUE_CHARS);
  *unique = *unique * 1103515245u + 12345u;
  char digits[UNIQUE_CHARS + 1];
  for (size_t i = 0; i < UNIQUE_CHARS; ++i) digits[i] = "0123456789abcdef"[(*unique >> (4 * i)) & 15];
  digits[UNIQUE_CHARS] = '\0';
  return target.substr(0, cut) + "." + base + marker + digits;
}

}  // namespace

int os_create_temp_beside(const std::string& target, std::string* temp_path) {
  static bool handler_installed = false;
  if (!handler_installed) {
    SetConsoleCtrlHandler(remove_temp_on_interrupt, TRUE);
    handler_installed = true;
  }
  // A name no other process is likely to pick, retried while one exists.
  DWORD unique = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = temp_name_beside(target, &unique);
    const std::wstring wide_path = wide(path);
    HANDLE handle = CreateFileW(wide_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      set_errno_from_windows();
      return -1;
    }
    const int fd = descriptor_of(handle);
    if (fd < 0) {
      DeleteFileW(wide_path.c_str());
      return -1;
    }
    *temp_path = path;
    if (wide_path.size() < sizeof guarded_path / sizeof guarded_path[0]) {
      guarded = 0;
      std::memcpy(guarded_path, wide_path.c_str(), (wide_path.size() + 1) * sizeof(wchar_t));
      guarded = 1;
    }
    return fd;
  }
  errno = EEXIST;
  return -1;
}

void os_forget_temp() { guarded = 0; }

// _commit is FlushFileBuffers on the descriptor's handle.
bool os_finish_file(int fd, unsigned, bool durable) { return !durable || _commit(fd) == 0; }

bool os_sync_folder(const std::string&) { return true; }

bool os_move_into_place(const std::string& from, const std::string& to, bool replace, bool durable, bool* exists) {
  *exists = false;
  const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), flags)) return true;
  const DWORD error = GetLastError();
  *exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
  set_errno_from_windows();
  return false;
}

bool os_remove(const std::string& path) {
  if (DeleteFileW(wide(path).c_str())) return true;
  set_errno_from_windows();
  return false;
}

int os_scratch_file(std::string* folder_name) {
  wchar_t folder[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  *folder_name = n == 0 || n > MAX_PATH ? "the temporary folder" : utf8(folder);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"sfx", 0, path) == 0) {
    set_errno_from_windows();
    return -1;
  }
  // GetTempFileNameW made the file; opened again to be deleted when closed.
  HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              TRUNCATE_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from_windows();
    DeleteFileW(path);
    return -1;
  }
  return descriptor_of(handle);
}

bool os_list_files(const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // an empty folder
    set_errno_from_windows();
    return false;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names->push_back(utf8(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names->begin(), names->end());
  return true;
}

unsigned os_processor_count() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return system.dwNumberOfProcessors == 0 ? 1u : static_cast<unsigned>(system.dwNumberOfProcessors);
}


// ---- walking a folder

namespace {

// A path the wide calls take at any length: "\\?\C:\dir\name" (or "\\?\UNC\server\share\..."),
// from the full path, '\' between its components. Empty (errno set) when it cannot be made.
std::wstring long_form(const std::string& path) {
  std::wstring given = wide(path);
  if (given.empty()) return given;
  for (wchar_t& c : given)
    if (c == L'/') c = L'\\';
  std::wstring full;
  if (given.rfind(L"\\\\?\\", 0) == 0) {
    full = given;
  } else {
    const DWORD need = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (need == 0) {
      set_errno_from_windows();
      return std::wstring();
    }
    full.assign(need, L'\0');
    full.resize(GetFullPathNameW(given.c_str(), need, &full[0], nullptr));
    full = full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
  }
  while (full.size() > 4 && full.back() == L'\\') full.pop_back();
  return full;
}

// UTF-16 as UTF-8, keeping an unpaired surrogate as its three bytes (which no UTF-8 check
// passes), so that such a name is refused by its bytes rather than taken for another.
std::string names_utf8(const wchar_t* text) {
  std::string out;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// What msvcrt's stat takes for a program: its extension.
bool executable_name(const std::wstring& name) {
  const size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  std::wstring extension = name.substr(dot + 1);
  for (wchar_t& c : extension)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return extension == L"exe" || extension == L"com" || extension == L"bat" || extension == L"cmd";
}

// The first stream of path other than its data ("::$DATA"): into *stream, empty when there is
// none or the file system keeps no streams. False on another failure (errno set).
bool other_stream(const std::wstring& path, std::string* stream) {
  stream->clear();
  WIN32_FIND_STREAM_DATA found;
  HANDLE search = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &found, 0);
  if (search == INVALID_HANDLE_VALUE) {
    switch (GetLastError()) {
      case ERROR_HANDLE_EOF:            // no stream at all (a folder)
      case ERROR_INVALID_PARAMETER:     // a file system without streams (FAT)
      case ERROR_INVALID_FUNCTION:
      case ERROR_NOT_SUPPORTED:
      case ERROR_CALL_NOT_IMPLEMENTED: return true;
      default: set_errno_from_windows(); return false;
    }
  }
  do {
    if (std::wstring(found.cStreamName) != L"::$DATA") {
      // ":name:$DATA" shown as "name:$DATA".
      *stream = names_utf8(found.cStreamName[0] == L':' ? found.cStreamName + 1 : found.cStreamName);
      break;
    }
  } while (FindNextStreamW(search, &found));
  FindClose(search);
  return true;
}

}  // namespace

bool os_read_folder(const std::string& folder, bool follow_top, std::vector<OsFolderEntry>* entries) {
  entries->clear();
  const std::wstring base = long_form(folder);
  if (base.empty()) return false;
  if (!follow_top) {
    const DWORD attributes = GetFileAttributesW(base.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      set_errno_from_windows();
      return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      errno = ELOOP;
      return false;
    }
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((base + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // an empty folder (a drive's root)
    set_errno_from_windows();
    return false;
  }
  bool ok = true;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    OsFolderEntry entry;
    entry.name = names_utf8(found.cFileName);
    const DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      entry.kind = OsEntryKind::LINK;
    else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0)
      entry.kind = OsEntryKind::DEVICE;
    else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      entry.kind = OsEntryKind::DIRECTORY;
    else
      entry.kind = OsEntryKind::REGULAR;
    if (entry.kind == OsEntryKind::REGULAR) {
      entry.executable = executable_name(name);
      entry.size = static_cast<int64_t>((uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow);
    }
    entry.modified = static_cast<int64_t>((uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) |
                                          found.ftLastWriteTime.dwLowDateTime);
    if (entry.kind == OsEntryKind::REGULAR || entry.kind == OsEntryKind::DIRECTORY) {
      if (!other_stream(base + L"\\" + name, &entry.stream)) {
        ok = false;
        break;
      }
      if (!entry.stream.empty()) entry.kind = OsEntryKind::STREAMS;
    }
    entries->push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  if (ok && GetLastError() != ERROR_NO_MORE_FILES) {
    set_errno_from_windows();
    ok = false;
  }
  FindClose(search);
  return ok;
}

int os_open_entry(const std::string& path) {
  const std::wstring full = long_form(path);
  if (full.empty()) return -1;
  HANDLE handle = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from_windows();
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION details;
  if (!GetFileInformationByHandle(handle, &details)) {
    set_errno_from_windows();
    CloseHandle(handle);
    return -1;
  }
  if ((details.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(handle);
    errno = ELOOP;
    return -1;
  }
  return descriptor_of(handle);
}

// ---- writing a folder

namespace {

// The long form of a path: whole, with '\' between its components, behind "\\?\" ("\\?\UNC\"
// for a share), which takes paths past MAX_PATH and hands each name to the file system as it
// is. Empty, with errno set, for a path that is not UTF-8 or cannot be made whole.
std::wstring long_path(const std::string& path) {
  std::wstring given = wide(path);
  if (given.empty()) return given;
  if (given.rfind(L"\\\\?\\", 0) == 0) return given;
  std::replace(given.begin(), given.end(), L'/', L'\\');
  DWORD n = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  if (n == 0) {
    set_errno_from_windows();
    return std::wstring();
  }
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(given.c_str(), n, &full[0], nullptr);
  if (n == 0 || n >= full.size()) {
    set_errno_from_windows();
    return std::wstring();
  }
  full.resize(n);
  if (full.rfind(L"\\\\.\\", 0) == 0) return full;  // a device's own name
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The console event (plus one, so that Ctrl-C's 0 counts) that came while a temporary folder
// existed, and whether the writer has removed what it wrote.
volatile LONG folder_interrupt = 0;
volatile LONG folder_removed = 0;
bool folder_guarded = false;

// Runs on a thread of its own. Ctrl-C and Ctrl-Break are noted for the writer; closing the
// console, logging off and shutting down end the process as soon as this returns, so it first
// gives the writer a few seconds to remove its folder. A second event goes on to the default
// handler, which ends the process.
BOOL WINAPI note_interrupt(DWORD event) {
  if (InterlockedCompareExchange(&folder_interrupt, static_cast<LONG>(event) + 1, 0) != 0) return FALSE;
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    for (int wait = 0; wait < 80 && folder_removed == 0; ++wait) Sleep(50);
  return TRUE;
}

// Removes what the long path names, from the inside out: a reparse point (a link, a junction)
// is removed itself, never entered.
bool remove_tree_wide(const std::wstring& path, DWORD attributes, int* first_error) {
  bool ok = true;
  const auto failed = [&] {
    if (ok) {
      set_errno_from_windows();
      *first_error = errno;
    }
    ok = false;
  };
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (!DeleteFileW(path.c_str())) failed();
    return ok;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
      if (GetLastError() != ERROR_FILE_NOT_FOUND) failed();
    } else {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!remove_tree_wide(path + L"\\" + name, found.dwFileAttributes, first_error)) ok = false;
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  if (!RemoveDirectoryW(path.c_str())) failed();
  return ok;
}

}  // namespace

bool os_create_temp_folder_beside(const std::string& target, std::string* folder_path) {
  DWORD unique = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ 0x5f0d3a7u;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = temp_name_beside(target, &unique);
    const std::wstring full = long_path(path);
    if (full.empty()) return false;
    if (!CreateDirectoryW(full.c_str(), nullptr)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
      set_errno_from_windows();
      return false;
    }
    *folder_path = path;
    folder_interrupt = 0;
    folder_removed = 0;
    SetConsoleCtrlHandler(note_interrupt, TRUE);
    folder_guarded = true;
    return true;
  }
  errno = EEXIST;
  return false;
}

int os_interrupted() { return static_cast<int>(folder_interrupt); }

void os_end_interrupted(int) {
  folder_removed = 1;
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void os_forget_temp_folder() {
  if (!folder_guarded) return;
  SetConsoleCtrlHandler(note_interrupt, FALSE);
  folder_guarded = false;
}

bool os_create_folder(const std::string& path) {
  const std::wstring full = long_path(path);
  if (full.empty()) return false;
  if (CreateDirectoryW(full.c_str(), nullptr)) return true;
  set_errno_from_windows();
  return false;
}

int os_create_new_file(const std::string& path, bool) {
  const std::wstring full = long_path(path);
  if (full.empty()) return -1;
  // CREATE_NEW fails on anything there, a link included, which is not followed.
  HANDLE handle = CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from_windows();
    return -1;
  }
  return descriptor_of(handle);
}

bool os_folder_is_empty(const std::string& path, bool* empty) {
  *empty = false;
  const std::wstring full = long_path(path);
  if (full.empty()) return false;
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    set_errno_from_windows();
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((full + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      set_errno_from_windows();
      return false;
    }
    *empty = true;
    return true;
  }
  *empty = true;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") {
      *empty = false;
      break;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool os_publish_folder(const std::string& from, const std::string& to, bool durable, bool* exists) {
  *exists = false;
  const std::wstring source = long_path(from), target = long_path(to);
  if (source.empty() || target.empty()) return false;
  // An empty folder at `to` is removed first, as it stands (a reparse point is never one); one
  // that holds anything makes RemoveDirectoryW fail, and the move does not replace what appears
  // meanwhile.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  bool removed = false;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !RemoveDirectoryW(target.c_str())) {
      *exists = true;
      errno = EEXIST;
      return false;
    }
    removed = true;
  }
  if (MoveFileExW(source.c_str(), target.c_str(), durable ? MOVEFILE_WRITE_THROUGH : 0)) return true;
  const DWORD error = GetLastError();
  *exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
  set_errno_from_windows();
  if (removed && !*exists) CreateDirectoryW(target.c_str(), nullptr);  // the user's empty folder again
  return false;
}

bool os_remove_tree(const std::string& path) {
  const std::wstring full = long_path(path);
  if (full.empty()) return false;
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    set_errno_from_windows();
    return false;
  }
  int first_error = 0;
  const bool ok = remove_tree_wide(full, attributes, &first_error);
  if (!ok) errno = first_error;
  return ok;
}
