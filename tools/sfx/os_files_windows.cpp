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

int os_create_temp_beside(const std::string& target, std::string* temp_path) {
  size_t cut = target.size();
  while (cut > 0 && !os_is_separator(target[cut - 1]) && target[cut - 1] != ':') --cut;
  const std::string folder = target.substr(0, cut);
  std::string base = target.substr(cut);
  const std::string marker = ".sfx-";
  constexpr size_t UNIQUE_CHARS = 8;
  if (1 + base.size() + marker.size() + UNIQUE_CHARS > LONGEST_NAME)
    base.resize(LONGEST_NAME - 1 - marker.size() - UNIQUE_CHARS);
  static bool handler_installed = false;
  if (!handler_installed) {
    SetConsoleCtrlHandler(remove_temp_on_interrupt, TRUE);
    handler_installed = true;
  }
  // A name no other process is likely to pick, retried while one exists.
  DWORD unique = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 100; ++attempt) {
    unique = unique * 1103515245u + 12345u;
    char digits[UNIQUE_CHARS + 1];
    for (size_t i = 0; i < UNIQUE_CHARS; ++i) digits[i] = "0123456789abcdef"[(unique >> (4 * i)) & 15];
    digits[UNIQUE_CHARS] = '\0';
    const std::string path = folder + "." + base + marker + digits;
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

void os_start_writeback(int, int64_t, int64_t) {}

bool os_finish_file(int fd, unsigned) { return _commit(fd) == 0; }

bool os_move_into_place(const std::string& from, const std::string& to, bool replace, bool* exists) {
  *exists = false;
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return true;
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

