// A bundle's folder for the POSIX platform layer: the private folder, its folders and files made
// new, and its removal from the inside out without following a link.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "launcher.h"
#include "platform.h"
#include "posix_layer.h"

namespace {

constexpr char FOLDER_PATTERN[] = "SFXXXXXXX";  // mkdtemp's six letters and digits (temp_names.h)

// Removes what the folder open at dir holds, then closes it. False when anything stayed.
bool remove_inside(int dir) {
  DIR* listing = ::fdopendir(dir);
  if (listing == nullptr) {
    ::close(dir);
    return false;
  }
  bool all = true;
  while (const dirent* entry = ::readdir(listing)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      all = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      // O_NOFOLLOW: a folder swapped for a link since the look is not entered; the link is then
      // removed as a file below.
      const int inner = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (inner >= 0) {
        all = remove_inside(inner) && all;
        if (::unlinkat(dir, name, AT_REMOVEDIR) == 0) continue;
      }
    }
    if (::unlinkat(dir, name, 0) != 0) all = false;
  }
  ::closedir(listing);
  return all;
}

bool remove_once(const char* path) {
  const int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return errno == ENOENT;
  const bool inside = remove_inside(dir);
  return ::rmdir(path) == 0 && inside;
}

}  // namespace

bool platform_create_temp_folder(const char* dir, char* path, uint32_t capacity) {
  const size_t n = std::strlen(dir);
  if (n + sizeof FOLDER_PATTERN > capacity) return false;
  std::memcpy(path, dir, n);
  std::memcpy(path + n, FOLDER_PATTERN, sizeof FOLDER_PATTERN);
  // From before the folder exists, a signal is only noted: the run removes what it made.
  posix_note_signals();
  return ::mkdtemp(path) != nullptr;
}

bool platform_interrupted() { return posix_noted_signal() != 0; }

void platform_end_interrupted() {
  const int signal_number = posix_noted_signal();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
  ::_exit(128 + signal_number);
}

bool platform_make_folder(const char* path) { return ::mkdir(path, 0700) == 0; }

int platform_create_file(const char* path, bool executable) {
  int fd;
  do fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0700 : 0600);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? PLATFORM_NO_FILE : fd;
}

// POSIX has no lock that keeps other processes of the user from a file; its folder is the user's
// alone (0700).
bool platform_hold(int fd) { return ::close(fd) == 0; }

void platform_release_held() {}

bool platform_remove_tree(const char* path) {
  for (uint32_t retries = 0;; ++retries) {
    if (remove_once(path)) return true;
    if (retries == DELETE_RETRIES) return false;
    platform_sleep_ms(DELETE_RETRY_MS);
  }
}
