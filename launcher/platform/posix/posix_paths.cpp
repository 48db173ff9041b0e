// Paths for the POSIX platform layer: the own path, the temporary directory and files, and the
// root directory.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"
#include "posix_layer.h"
#include "temp_names.h"

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

namespace {

// mkdtemp and mkstemp put six letters and digits in place of the XXXXXX (temp_names.h).
constexpr char TEMP_FOLDER_PATTERN[] = "SFXXXXXXX";
constexpr char TEMP_FILE_PATTERN[] = "EXEXXXXXX";

}  // namespace

int platform_create_temp_file(const char* dir, char* path, uint32_t capacity) {
  std::string folder = std::string(dir) + TEMP_FOLDER_PATTERN;
  std::string name = folder + "/" + TEMP_FILE_PATTERN;
  if (name.size() >= capacity) return PLATFORM_NO_FILE;
  // mkdtemp makes a new folder of mode 0700 and never takes one that exists.
  if (::mkdtemp(&folder[0]) == nullptr) return PLATFORM_NO_FILE;
  name = folder + "/" + TEMP_FILE_PATTERN;
  const int fd = ::mkostemp(&name[0], O_CLOEXEC);
  // 0700: the file becomes the program the launcher starts.
  if (fd < 0 || ::fchmod(fd, 0700) != 0 || !copy_out(name, path, capacity)) {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(name.c_str());
    }
    ::rmdir(folder.c_str());
    return PLATFORM_NO_FILE;
  }
  return fd;
}

bool platform_remove_temp_file(const char* path) {
  if (::unlink(path) != 0) return false;
  const std::string file = path;
  const size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string folder = file.substr(0, slash);
    // rmdir removes only an empty folder.
    if (is_posix_temp_name(last_path_component(folder.c_str()), "SFX")) (void)::rmdir(folder.c_str());
  }
  return true;
}

bool platform_is_temp_file_name(const char* path) {
  return is_posix_temp_name(last_path_component(path), "EXE");
}

void platform_chdir_root() { (void)!::chdir("/"); }
