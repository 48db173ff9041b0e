// File access for the Win32 layer: kernel handles behind small numbers, read and written with
// ReadFile and WriteFile (no newline translation), sizes 64-bit.
#include <windows.h>

#include "platform.h"
#include "win32_layer.h"
#include "write_gathering.h"

namespace {

// The open files: a number is an index here. The run has at most two open at a time.
constexpr int MAX_OPEN_FILES = 4;
HANDLE open_files[MAX_OPEN_FILES];

HANDLE file_handle(int fd) {
  return fd >= 0 && fd < MAX_OPEN_FILES && open_files[fd] != nullptr ? open_files[fd] : INVALID_HANDLE_VALUE;
}

// Read-only, shared for reading alone: nobody can write, rename or delete the file while it is
// open, and it cannot be opened while anyone holds it open for writing. The system can still
// start it: the loader opens a program for reading and sharing reading.
int open_shared_for_reading(const char* path) {
  static wchar_t wide_path[WIN32_WIDE_PATH_CHARS];
  if (!win32_to_wide(path, wide_path, WIN32_WIDE_PATH_CHARS)) return PLATFORM_NO_FILE;
  return win32_file_number(CreateFileW(wide_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Writes all n bytes: false when the disk fills or an error stops it.
bool write_all(int fd, const uint8_t* bytes, uint32_t n) {
  DWORD put = 0;
  if (!WriteFile(file_handle(fd), bytes, n, &put, nullptr)) return false;
  // A write that takes less than it was given has found the disk full.
  if (put != n) SetLastError(ERROR_DISK_FULL);
  return put == n;
}

}  // namespace

int win32_file_number(void* handle) {
  HANDLE file = static_cast<HANDLE>(handle);
  if (file == INVALID_HANDLE_VALUE) return PLATFORM_NO_FILE;
  for (int i = 0; i < MAX_OPEN_FILES; ++i) {
    if (open_files[i] == nullptr) {
      open_files[i] = file;
      return i;
    }
  }
  CloseHandle(file);
  return PLATFORM_NO_FILE;
}

void win32_close_all_files() {
  for (HANDLE& file : open_files) {
    if (file != nullptr) CloseHandle(file);
    file = nullptr;
  }
}

void* win32_take_file(int fd) {
  HANDLE file = file_handle(fd);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  open_files[fd] = nullptr;
  return file;
}

int platform_open_read(const char* path) { return open_shared_for_reading(path); }

int platform_open_locked(const char* path) { return open_shared_for_reading(path); }

int32_t platform_read(int fd, void* buffer, uint32_t n) {
  DWORD got = 0;
  if (!ReadFile(file_handle(fd), buffer, n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n, &got, nullptr)) return -1;
  return static_cast<int32_t>(got);
}

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  return gathered_write(fd, buffer, n, write_all);
}

int64_t platform_file_size(int fd) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file_handle(fd), &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

bool platform_close(int fd) {
  HANDLE file = file_handle(fd);
  if (file == INVALID_HANDLE_VALUE) return false;
  // What is gathered for the file goes out first; a failure there fails the close.
  const bool written = gathered_flush_before_close(fd, write_all);
  open_files[fd] = nullptr;
  return CloseHandle(file) != 0 && written;
}
