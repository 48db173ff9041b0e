// Why a call failed, where else a program may run from, and the launcher's own switches' needs
// (console output, full paths, empty folders) for the POSIX platform layer.
#include <dirent.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "posix_layer.h"
#include "texts.h"

namespace {

bool copy_text(const char* text, char* out, uint32_t capacity) {
  const size_t n = std::strlen(text);
  if (capacity == 0 || n >= capacity) return false;
  std::memcpy(out, text, n + 1);
  return true;
}

// dir with a '/' at its end, into out.
bool folder_form(const char* dir, char* out, uint32_t capacity) {
  const size_t n = std::strlen(dir);
  const bool slash = n > 0 && dir[n - 1] == '/';
  if (n == 0 || n + (slash ? 1 : 2) > capacity) return false;
  std::memcpy(out, dir, n);
  if (!slash) out[n] = '/';
  out[n + (slash ? 0 : 1)] = '\0';
  return true;
}

}  // namespace

PlatformFault platform_last_fault(char* reason, uint32_t capacity) {
  const int error = errno;
  if (capacity > 0) reason[0] = '\0';
  if (error != 0) copy_text(::strerror(error), reason, capacity);
  // A start refused (EACCES) in a folder whose file system is mounted noexec.
  if (error == EACCES && posix_start_failed_noexec()) return FAULT_NOEXEC;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return FAULT_MISSING;
    case ENOSPC:
    case EDQUOT:
      return FAULT_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
      return FAULT_DENIED;
    default:
      return FAULT_OTHER;
  }
}

const char* platform_temp_dir_variable() {
  const char* env = ::getenv("TMPDIR");
  return env != nullptr && *env != '\0' ? "$TMPDIR" : nullptr;
}

bool platform_folder_runs_programs(const char* dir) {
  struct statvfs info;
  return ::statvfs(dir, &info) != 0 || (info.f_flag & ST_NOEXEC) == 0;
}

bool platform_fallback_temp_dir(uint32_t index, char* dir, uint32_t capacity) {
  const char* runtime = ::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    if (index == 0) return folder_form(runtime, dir, capacity);
    --index;
  }
  if (index != 0) return false;
  // The folder of the launcher's own file.
  char own[PATH_BUFFER_CHARS];
  if (!platform_own_path(own, sizeof own)) return false;
  char* last = std::strrchr(own, '/');
  if (last == nullptr) return false;
  last[1] = '\0';
  return copy_text(own, dir, capacity);
}

bool platform_print(const char* text) {
  size_t n = std::strlen(text);
  while (n > 0) {
    const ssize_t done = ::write(STDOUT_FILENO, text, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    text += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

bool platform_full_path(const char* path, char* out, uint32_t capacity) {
  if (path[0] == '/') return copy_text(path, out, capacity);
  char cwd[PATH_BUFFER_CHARS];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return false;
  const size_t a = std::strlen(cwd);
  const size_t b = std::strlen(path);
  const bool slash = a > 0 && cwd[a - 1] == '/';
  if (a + (slash ? 0 : 1) + b + 1 > capacity) return false;
  std::memcpy(out, cwd, a);
  if (!slash) out[a] = '/';
  std::memcpy(out + a + (slash ? 0 : 1), path, b + 1);
  return true;
}

bool platform_folder_is_empty(const char* path) {
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return empty;
}

// A POSIX file carries no mark of where it came from.
bool platform_copy_origin_mark(const char*, const char*) { return true; }
