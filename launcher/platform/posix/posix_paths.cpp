// Paths for the POSIX platform layer: the own path, the temporary directory and files, and the
// root directory.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"
#include "posix_launcher.h"

namespace {

const char* program_name = nullptr;

bool copy_out(const std::string& text, char* buffer, uint32_t capacity) {
  if (text.empty() || text.size() >= capacity) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

bool is_executable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// argv[0] as the shell found it: a name with a slash stands for itself, one without is looked
// up along PATH.
std::string program_file_from_name(const char* name) {
  if (name == nullptr || *name == '\0') return {};
  if (std::strchr(name, '/') != nullptr) return name;
  const char* search = ::getenv("PATH");
  std::string dirs = search != nullptr ? search : "/usr/bin:/bin";
  size_t begin = 0;
  for (;;) {
    const size_t end = dirs.find(':', begin);
    std::string dir = dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (is_executable_file(candidate)) return candidate;
    if (end == std::string::npos) return {};
    begin = end + 1;
  }
}

std::string resolved(const std::string& path) {
  char full[PATH_MAX];
  return !path.empty() && ::realpath(path.c_str(), full) != nullptr ? std::string(full) : std::string();
}

}  // namespace

void posix_set_program_name(const char* argv0) { program_name = argv0; }

bool platform_own_path(char* path, uint32_t capacity) {
  char link[PATH_MAX];
  const ssize_t got = ::readlink("/proc/self/exe", link, sizeof link);
  if (got >= static_cast<ssize_t>(sizeof link)) return false;  // perhaps cut short: no path
  if (got > 0) {
    link[got] = '\0';
    return copy_out(link, path, capacity);
  }
  return copy_out(resolved(program_file_from_name(program_name)), path, capacity);
}

bool platform_temp_dir(char* dir, uint32_t capacity) {
  const char* env = ::getenv("TMPDIR");
  std::string chosen = env != nullptr && *env != '\0' ? env : "/tmp";
  if (chosen.back() != '/') chosen += '/';
  return copy_out(chosen, dir, capacity);
}

bool platform_make_temp_file(const char* dir, char* path, uint32_t capacity) {
  std::string name = std::string(dir) + "EXEXXXXXX";
  if (name.size() >= capacity) return false;
  const int fd = ::mkstemp(&name[0]);
  if (fd < 0) return false;
  // 0700: the file becomes the program the launcher starts.
  const bool ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  if (!ok) {
    ::unlink(name.c_str());
    return false;
  }
  return copy_out(name, path, capacity);
}

void platform_chdir_root() { (void)!::chdir("/"); }
