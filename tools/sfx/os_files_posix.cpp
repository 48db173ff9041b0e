// The tool's system services on POSIX systems.
#include "os_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>


bool os_is_separator(char c) { return c == '/'; }

void os_init_std_streams() {}

std::vector<std::string> os_arguments(int argc, char** argv) { return {argv, argv + argc}; }

int os_last_error() { return errno; }

std::string os_error_text(int error_number) { return std::strerror(error_number); }

bool os_error_is_disk_full(int error_number) { return error_number == ENOSPC; }

namespace {

void fill_info(const struct stat& st, OsFileInfo* info) {
  if (S_ISREG(st.st_mode))
    info->kind = OsFileKind::REGULAR;
  else if (S_ISDIR(st.st_mode))
    info->kind = OsFileKind::DIRECTORY;
  else if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
    info->kind = OsFileKind::DEVICE_OR_PIPE;
  else
    info->kind = OsFileKind::OTHER;
  info->size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
  info->device = static_cast<uint64_t>(st.st_dev);
  info->file = static_cast<uint64_t>(st.st_ino);
  info->modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool info_or_missing(int result, const struct stat& st, OsFileInfo* info) {
  *info = OsFileInfo{};
  if (result == 0) {
    fill_info(st, info);
    return true;
  }
  return errno == ENOENT || errno == ENOTDIR;  // missing is an answer, not a failure
}

// The longest name a folder entry may have on the file systems the tool meets.
constexpr size_t LONGEST_NAME = 255;

// The temporary file being written, for the signal handler: one output is open at a time. The
// path is copied here before the flag is set, and the flag cleared before the path changes.
char guarded_path[4096];
volatile std::sig_atomic_t guarded = 0;

extern "C" void remove_temp_and_die(int signal_number) {
  if (guarded) unlink(guarded_path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// A handler for each of the signals that end a run, except those this process was started
// with ignored: `nohup sfx ...` must survive the hang-up it was protected from, as gzip does.
void install_cleanup_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old_action;
    if (sigaction(signal_number, nullptr, &old_action) != 0 || old_action.sa_handler == SIG_IGN)
      continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = remove_temp_and_die;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace

bool os_info_of_path(const std::string& path, OsFileInfo* info) {
  struct stat st;
  const int result = stat(path.c_str(), &st);
  return info_or_missing(result, st, info);
}

bool os_info_of_link(const std::string& path, OsFileInfo* info) {
  struct stat st;
  const int result = lstat(path.c_str(), &st);
  return info_or_missing(result, st, info);
}

bool os_info_of_fd(int fd, OsFileInfo* info) {
  struct stat st;
  *info = OsFileInfo{};
  if (fstat(fd, &st) != 0) return false;
  fill_info(st, info);
  return true;
}

int os_open_read(const std::string& path) {
  int fd;
  do fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int os_open_write_existing(const std::string& path) {
  int fd;
  do fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool os_close(int fd) { return close(fd) == 0; }

bool os_is_terminal(int fd) { return isatty(fd) != 0; }

int64_t os_read(int fd, void* buffer, size_t n) {
  ssize_t got;
  do got = read(fd, buffer, n);
  while (got < 0 && errno == EINTR);
  return got;
}

bool os_write_all(int fd, const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t put = write(fd, bytes, n);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    bytes += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool os_write_at(int fd, int64_t offset, const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t put = pwrite(fd, bytes, n, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    bytes += put;
    offset += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

int64_t os_read_at(int fd, int64_t offset, void* buffer, size_t n) {
  ssize_t got;
  do got = pread(fd, buffer, n, static_cast<off_t>(offset));
  while (got < 0 && errno == EINTR);
  return got;
}

int64_t os_tell(int fd) { return lseek(fd, 0, SEEK_CUR); }

bool os_seek(int fd, int64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

namespace {

// The mkstemp/mkdtemp pattern of a temporary file or folder beside target: ".NAME.sfx-XXXXXX" in
// target's folder, the name cut so that the whole stays within one folder entry.
std::string temp_pattern_beside(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string suffix = ".sfx-XXXXXX";
  if (1 + base.size() + suffix.size() > LONGEST_NAME) base.resize(LONGEST_NAME - 1 - suffix.size());
  return folder + "." + base + suffix;
}

}  // namespace

int os_create_temp_beside(const std::string& target, std::string* temp_path) {
  const std::string pattern = temp_pattern_beside(target);
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  install_cleanup_handlers();
  const int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  *temp_path = path.data();
  if (temp_path->size() < sizeof guarded_path) {
    guarded = 0;
    std::memcpy(guarded_path, temp_path->c_str(), temp_path->size() + 1);
    guarded = 1;
  }
  return fd;
}

void os_forget_temp() { guarded = 0; }

bool os_finish_file(int fd, unsigned mode, bool durable) {
  const mode_t mask = umask(022);
  umask(mask);
  return fchmod(fd, static_cast<mode_t>(mode) & ~mask) == 0 && (!durable || fsync(fd) == 0);
}

bool os_sync_folder(const std::string& path) {
  int fd;
  do fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  const int error_number = errno;
  close(fd);
  errno = error_number;
  return synced;
}

namespace {

// The folder that holds path: "." for a bare name.
std::string parent_folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// After a durable move: the new name on the disk, or the moved file or folder removed again (a
// failed command leaves nothing behind), with the sync's error.
bool sync_new_name(const std::string& to) {
  if (os_sync_folder(parent_folder(to))) return true;
  const int error_number = errno;
  os_remove_tree(to);
  errno = error_number;
  return false;
}

}  // namespace

bool os_move_into_place(const std::string& from, const std::string& to, bool replace, bool durable, bool* exists) {
  *exists = false;
  bool moved = false;
  if (!replace) {
    // link() refuses a file that appeared meanwhile, where rename() would replace it. File
    // systems without hard links fall back to rename() after a last look.
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      moved = true;
    } else if (errno == EEXIST) {
      *exists = true;
      return false;
    } else if (errno != EPERM && errno != ENOTSUP && errno != EXDEV && errno != EMLINK) {
      return false;
    } else {
      struct stat st;
      if (lstat(to.c_str(), &st) == 0) {
        *exists = true;
        errno = EEXIST;
        return false;
      }
    }
  }
  if (!moved && rename(from.c_str(), to.c_str()) != 0) return false;
  return !durable || sync_new_name(to);
}

bool os_remove(const std::string& path) { return unlink(path.c_str()) == 0; }

int os_scratch_file(std::string* folder) {
  const char* tmpdir = std::getenv("TMPDIR");
  *folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  std::string pattern = *folder + "/sfx-scratch-XXXXXX";
  const int fd = mkostemp(&pattern[0], O_CLOEXEC);
  if (fd < 0) return -1;
  // Unnamed at once: the file goes when its descriptor closes, or with the process.
  unlink(pattern.c_str());
  return fd;
}

bool os_list_files(const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names->push_back(name);
  }
  closedir(listing);
  std::sort(names->begin(), names->end());
  return true;
}

unsigned os_processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}


// ---- walking a folder

namespace {

// The listing of a folder opened as a descriptor, without following a link in its place unless
// follow is set; nullptr with errno set when it cannot be opened.
DIR* open_listing(const std::string& folder, bool follow) {
  int fd;
  do fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    const int error_number = errno;
    close(fd);
    errno = error_number;
  }
  return listing;
}

}  // namespace

bool os_read_folder(const std::string& folder, bool follow_top, std::vector<OsFolderEntry>* entries) {
  entries->clear();
  // The folder is opened without following a link put in its place, and its entries are looked
  // at through that descriptor: what is listed is what this folder holds.
  DIR* listing = open_listing(folder, follow_top);
  if (listing == nullptr) return false;
  const int fd = dirfd(listing);
  for (;;) {
    errno = 0;
    const dirent* found = readdir(listing);
    if (found == nullptr) break;
    const std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(fd, found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int error_number = errno;
      closedir(listing);
      errno = error_number;
      return false;
    }
    OsFolderEntry entry;
    entry.name = name;
    if (S_ISREG(st.st_mode))
      entry.kind = OsEntryKind::REGULAR;
    else if (S_ISDIR(st.st_mode))
      entry.kind = OsEntryKind::DIRECTORY;
    else if (S_ISLNK(st.st_mode))
      entry.kind = OsEntryKind::LINK;
    else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
      entry.kind = OsEntryKind::DEVICE;
    else if (S_ISFIFO(st.st_mode))
      entry.kind = OsEntryKind::FIFO;
    else if (S_ISSOCK(st.st_mode))
      entry.kind = OsEntryKind::SOCKET;
    entry.executable = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    entry.size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
    entry.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    entries->push_back(std::move(entry));
  }
  const int error_number = errno;
  closedir(listing);
  errno = error_number;
  return error_number == 0;
}

int os_open_entry(const std::string& path) {
  int fd;
  do fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// ---- writing a folder

namespace {

// The interrupts noted while a temporary folder exists (0: none), and the actions they had
// before, given back when it is gone.
constexpr int FOLDER_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t FOLDER_SIGNAL_COUNT = sizeof FOLDER_SIGNALS / sizeof FOLDER_SIGNALS[0];
volatile std::sig_atomic_t folder_interrupt = 0;
struct sigaction folder_saved_actions[FOLDER_SIGNAL_COUNT];
bool folder_guarded = false;

extern "C" void note_interrupt(int signal_number) {
  if (folder_interrupt != 0) {  // a second interrupt: the user will not wait
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  folder_interrupt = signal_number;
}

// A signal that was ignored when the process started stays ignored (install_cleanup_handlers).
void guard_folder() {
  folder_interrupt = 0;
  for (size_t i = 0; i < FOLDER_SIGNAL_COUNT; ++i) {
    if (sigaction(FOLDER_SIGNALS[i], nullptr, &folder_saved_actions[i]) != 0) continue;
    if (folder_saved_actions[i].sa_handler == SIG_IGN) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(FOLDER_SIGNALS[i], &action, nullptr);
  }
  folder_guarded = true;
}

mode_t current_umask() {
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

// Removes what the folder open at fd holds (fd is closed here), looking at each entry through
// the folder's descriptor, so that a link put anywhere in the tree is removed, never entered.
bool remove_inside(int fd, int* first_error) {
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    *first_error = errno;
    close(fd);
    return false;
  }
  // The names first: removing while reading leaves what readdir sees unspecified.
  std::vector<std::string> names;
  while (const dirent* found = readdir(listing)) {
    const std::string name = found->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  bool ok = true;
  const auto failed = [&] {
    if (ok) *first_error = errno;
    ok = false;
  };
  const int folder = dirfd(listing);
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) failed();
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      const int child = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0 || !remove_inside(child, first_error)) ok = false;
      if (unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) failed();
    } else if (unlinkat(folder, name.c_str(), 0) != 0) {
      failed();
    }
  }
  closedir(listing);
  return ok;
}

}  // namespace

bool os_create_temp_folder_beside(const std::string& target, std::string* folder_path) {
  std::string path = temp_pattern_beside(target);
  // mkdtemp's folder is this user's alone (0700) until it is published.
  if (mkdtemp(&path[0]) == nullptr) return false;
  *folder_path = path;
  guard_folder();
  return true;
}

int os_interrupted() { return folder_interrupt; }

void os_end_interrupted(int interrupt) {
  signal(interrupt, SIG_DFL);
  raise(interrupt);
  _exit(128 + interrupt);
}

void os_forget_temp_folder() {
  if (!folder_guarded) return;
  for (size_t i = 0; i < FOLDER_SIGNAL_COUNT; ++i) sigaction(FOLDER_SIGNALS[i], &folder_saved_actions[i], nullptr);
  folder_guarded = false;
}

bool os_create_folder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

int os_create_new_file(const std::string& path, bool executable) {
  int fd;
  do fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0755 : 0644);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool os_folder_is_empty(const std::string& path, bool* empty) {
  *empty = false;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return true;
  DIR* listing = open_listing(path, false);
  if (listing == nullptr) return false;
  *empty = true;
  while (const dirent* found = readdir(listing)) {
    if (std::strcmp(found->d_name, ".") != 0 && std::strcmp(found->d_name, "..") != 0) {
      *empty = false;
      break;
    }
  }
  closedir(listing);
  return true;
}

bool os_publish_folder(const std::string& from, const std::string& to, bool durable, bool* exists) {
  *exists = false;
  if (chmod(from.c_str(), 0777 & ~current_umask()) != 0) return false;
  // rename() replaces an empty folder and nothing else: a folder that holds anything, a file or
  // a link at `to` makes it fail, whenever it appeared.
  if (rename(from.c_str(), to.c_str()) == 0) return !durable || sync_new_name(to);
  *exists = errno == EEXIST || errno == ENOTEMPTY || errno == ENOTDIR || errno == EISDIR;
  return false;
}

bool os_remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  int first_error = 0;
  const bool inside = remove_inside(fd, &first_error);
  if (rmdir(path.c_str()) != 0) return false;
  errno = first_error;
  return inside;
}
