// Paths for the POSIX platform layer: the own path, the temporary directory, the launcher's
// private folder and file in it with their guard against interruption, their removal and
// recognition, and the root directory. Plain C strings throughout: the launcher needs no C++
// run-time library.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <cstring>

#include "platform.h"
#include "posix_layer.h"
#include "temp_names.h"

namespace {

// Copies text into buffer when it fits, the terminating zero included.
bool copy_out(const char* text, char* buffer, size_t capacity) {
  const size_t n = std::strlen(text);
  if (n == 0 || n >= capacity) return false;
  std::memcpy(buffer, text, n + 1);
  return true;
}

// a then b into out (capacity bytes; a may be out itself); false when it does not fit.
bool join(char* out, size_t capacity, const char* a, const char* b) {
  const size_t na = std::strlen(a);
  const size_t nb = std::strlen(b);
  if (na + nb >= capacity) return false;
  std::memmove(out, a, na);
  std::memmove(out + na, b, nb + 1);
  return true;
}

bool is_executable_file(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISREG(st.st_mode) && ::access(path, X_OK) == 0;
}

// argv[0] as the shell found it, into file: a name with a slash stands for itself, one without is
// looked up along PATH.
bool program_file_from_name(const char* name, char* file, size_t capacity) {
  if (name == nullptr || *name == '\0') return false;
  if (std::strchr(name, '/') != nullptr) return copy_out(name, file, capacity);
  const char* search = ::getenv("PATH");
  if (search == nullptr) search = "/usr/bin:/bin";
  for (const char* dir = search;; ++dir) {
    const char* end = std::strchr(dir, ':');
    const size_t n = end != nullptr ? static_cast<size_t>(end - dir) : std::strlen(dir);
    char folder[PATH_MAX];
    if (n + 1 < sizeof folder) {
      std::memcpy(folder, dir, n);
      folder[n] = '\0';
      if (n == 0) std::memcpy(folder, ".", 2);
      if (join(file, capacity, folder, "/") && join(file, capacity, file, name) && is_executable_file(file)) {
        return true;
      }
    }
    if (end == nullptr) return false;
    dir = end;
  }
}

// ---- the guard ---------------------------------------------------------------------------------

// What an interrupting signal removes: copied here before the flag is set, and the flag cleared
// before they change.
char guarded_file[PATH_MAX];
char guarded_folder[PATH_MAX];
volatile sig_atomic_t guarded = 0;
volatile sig_atomic_t forward_to = 0;  // a waited-for program's process
// A bundle's run removes its folder itself: a signal is only noted, and the run stops at its next
// step (posix_note_signals).
volatile sig_atomic_t note_signals = 0;
volatile sig_atomic_t noted_signal = 0;

extern "C" void on_signal(int signal_number) {
  if (forward_to > 0 && (signal_number == SIGTERM || signal_number == SIGHUP)) {
    ::kill(static_cast<pid_t>(forward_to), signal_number);
    return;
  }
  if (forward_to > 0) return;  // SIGINT reaches the program from the terminal itself
  if (note_signals) {
    noted_signal = signal_number;
    return;
  }
  if (guarded) {
    ::unlink(guarded_file);
    ::rmdir(guarded_folder);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// A handler for each of the signals that end a run, except those the process was started with
// ignored (`nohup` leaves SIGHUP so, and the run must then survive the hang-up).
void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old_action;
    if (::sigaction(signal_number, nullptr, &old_action) != 0 || old_action.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
  }
}

// The full form of a folder (realpath), into out with a '/' at its end.
bool full_folder(const char* folder, char* out, size_t capacity) {
  char full[PATH_MAX];
  return ::realpath(folder, full) != nullptr && join(out, capacity, full, full[1] == '\0' ? "" : "/");
}

// What an interrupting signal removes from now on: file and its folder.
void guard_temp_file(const char* file, const char* folder) {
  guarded = 0;
  if (file == nullptr || !copy_out(file, guarded_file, sizeof guarded_file) ||
      !copy_out(folder, guarded_folder, sizeof guarded_folder)) {
    return;
  }
  install_handlers();
  guarded = 1;
}

}  // namespace

void posix_forward_signals_to(int process) { forward_to = process; }

void posix_note_signals() {
  install_handlers();
  note_signals = 1;
}

int posix_noted_signal() { return noted_signal; }

void platform_interrupt_status(int) {}  // a POSIX process ends by its signal

void platform_release_temp_file() { guarded = 0; }

bool platform_own_path(char* path, uint32_t capacity) {
  char link[PATH_MAX];
  const ssize_t got = ::readlink("/proc/self/exe", link, sizeof link);
  if (got >= static_cast<ssize_t>(sizeof link)) return false;  // perhaps cut short: no path
  if (got > 0) {
    link[got] = '\0';
    return copy_out(link, path, capacity);
  }
  char file[PATH_MAX];
  char full[PATH_MAX];
  return program_file_from_name(posix_argument_count() > 0 ? posix_arguments()[0] : nullptr, file, sizeof file) &&
         ::realpath(file, full) != nullptr && copy_out(full, path, capacity);
}

bool platform_temp_dir(char* dir, uint32_t capacity) {
  const char* env = ::getenv("TMPDIR");
  const char* chosen = env != nullptr && *env != '\0' ? env : "/tmp";
  return join(dir, capacity, chosen, chosen[std::strlen(chosen) - 1] == '/' ? "" : "/");
}

namespace {

// mkdtemp and mkstemp put six letters and digits in place of the XXXXXX (temp_names.h).
constexpr char TEMP_FOLDER_PATTERN[] = "SFXXXXXXX";
constexpr char TEMP_FILE_PATTERN[] = "/EXEXXXXXX";

}  // namespace

// POSIX starts a program of any name, so the kind changes nothing here.
int platform_create_temp_file(const char* dir, TempFileKind, char* path, uint32_t capacity) {
  char folder[PATH_MAX];
  char name[PATH_MAX];
  if (!join(folder, sizeof folder, dir, TEMP_FOLDER_PATTERN) ||
      std::strlen(folder) + sizeof TEMP_FILE_PATTERN > capacity) {
    return PLATFORM_NO_FILE;
  }
  // mkdtemp makes a new folder of mode 0700 and never takes one that exists.
  if (::mkdtemp(folder) == nullptr || !join(name, sizeof name, folder, TEMP_FILE_PATTERN)) return PLATFORM_NO_FILE;
  // Guarded from before the file exists: a signal between the two removes what is there. The
  // file's name is known only once it is made, so the ending signals wait for that moment.
  guard_temp_file(name, folder);
  sigset_t ending;
  sigset_t before;
  sigemptyset(&ending);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, signal_number);
  ::sigprocmask(SIG_BLOCK, &ending, &before);
  const int fd = ::mkostemp(name, O_CLOEXEC);
  guard_temp_file(name, folder);
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  // 0700: the file becomes the program the launcher starts.
  if (fd < 0 || ::fchmod(fd, 0700) != 0 || !copy_out(name, path, capacity)) {
    platform_release_temp_file();
    if (fd >= 0) {
      ::close(fd);
      ::unlink(name);
    }
    ::rmdir(folder);
    return PLATFORM_NO_FILE;
  }
  return fd;
}

bool platform_remove_temp_file(const char* path) {
  if (::unlink(path) != 0) return false;
  platform_release_temp_file();
  char folder[PATH_MAX];
  if (!copy_out(path, folder, sizeof folder)) return true;
  char* slash = std::strrchr(folder, '/');
  if (slash != nullptr && slash != folder) {
    *slash = '\0';
    // rmdir removes only an empty folder.
    if (is_posix_temp_folder_name(last_path_component(folder))) (void)::rmdir(folder);
  }
  return true;
}

bool platform_is_temp_file_path(const char* path, const char* temp_dir) {
  // The folder above the launcher's folder, in its full form, must be the temporary directory's.
  char above[PATH_MAX];
  char full_above[PATH_MAX];
  char full_temp[PATH_MAX];
  char full_path[PATH_MAX];
  if (path[0] != '/' || !copy_out(path, above, sizeof above)) return false;
  char* file = std::strrchr(above, '/');
  *file++ = '\0';
  char* folder = std::strrchr(above, '/');
  if (folder == nullptr) return false;
  *folder++ = '\0';
  return full_folder(above[0] == '\0' ? "/" : above, full_above, sizeof full_above) &&
         full_folder(temp_dir, full_temp, sizeof full_temp) && join(full_path, sizeof full_path, full_above, folder) &&
         join(full_path, sizeof full_path, full_path, "/") && join(full_path, sizeof full_path, full_path, file) &&
         is_temp_file_in(full_path, full_temp, is_posix_temp_folder_name, is_posix_temp_file_name, false);
}

void platform_chdir_root() { (void)!::chdir("/"); }
