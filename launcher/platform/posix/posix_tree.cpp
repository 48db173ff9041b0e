// The launcher's process tree as /proc shows it (Linux), for a waiting run: which of its
// descendants run a program from the private folder. Plain C library calls: the launcher needs no
// C++ run-time library.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "posix_layer.h"

namespace {

// "/proc/<pid>/<what>" into out, which has room for PROC_PATH_BYTES.
constexpr size_t PROC_PATH_BYTES = 64;
void proc_path(char* out, int pid, const char* what) {
  char digits[12];
  int n = 0;
  auto value = static_cast<unsigned>(pid);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char* p = out;
  std::memcpy(p, "/proc/", 6);
  p += 6;
  while (n > 0) *p++ = digits[--n];
  *p++ = '/';
  std::memcpy(p, what, std::strlen(what) + 1);
}

// At most capacity - 1 bytes of the file at path, a zero after them: their count, -1 on failure.
ssize_t read_small(const char* path, char* buffer, size_t capacity) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  while (got + 1 < capacity) {
    const ssize_t n = ::read(fd, buffer + got, capacity - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  buffer[got] = '\0';
  return static_cast<ssize_t>(got);
}

// dir with a '/' at its end, into out (PATH_MAX + 1 bytes).
bool with_slash(const char* dir, char* out) {
  const size_t n = std::strlen(dir);
  if (n == 0 || n >= PATH_MAX) return false;
  std::memcpy(out, dir, n + 1);
  if (out[n - 1] != '/') {
    out[n] = '/';
    out[n + 1] = '\0';
  }
  return true;
}

bool starts_with(const char* path, const char* folder) {
  return std::strncmp(path, folder, std::strlen(folder)) == 0;
}

// The file path names, taken from pid's working directory when relative, in its full form
// (realpath), when that lies inside the folder, into full (PATH_MAX bytes).
bool names_inside(const ProcessTree* tree, int pid, const char* path, char* full) {
  if (path[0] == '\0') return false;
  char joined[2 * PATH_MAX];
  if (path[0] != '/') {
    char link[PROC_PATH_BYTES];
    proc_path(link, pid, "cwd");
    const ssize_t n = ::readlink(link, joined, PATH_MAX);
    const size_t rest = std::strlen(path);
    if (n <= 0 || static_cast<size_t>(n) + 1 + rest >= sizeof joined) return false;
    joined[n] = '/';
    std::memcpy(joined + n + 1, path, rest + 1);
    path = joined;
  }
  return ::realpath(path, full) != nullptr && starts_with(full, tree->full_folder);
}

bool begins_with_hash_bang(const char* path) {
  char head[3];
  return read_small(path, head, sizeof head) == 2 && head[0] == '#' && head[1] == '!';
}

// Whether the process runs a program from the folder: FROM_FOLDER, ELSEWHERE, or UNSURE when its
// arguments cannot be read (for a moment in its exec, the kernel shows the new program file
// before the new arguments).
enum Origin { ELSEWHERE, FROM_FOLDER, UNSURE };

Origin origin_of(const ProcessTree* tree, int pid) {
  char link[PROC_PATH_BYTES];
  char target[PATH_MAX + 1];
  proc_path(link, pid, "exe");
  // The kernel gives the program file's full form (" (deleted)" after it once removed).
  const ssize_t n = ::readlink(link, target, PATH_MAX);
  if (n > 0 && n < PATH_MAX) {
    target[n] = '\0';
    if (starts_with(target, tree->full_folder)) return FROM_FOLDER;
  }
  const bool hidden = n < 0 && errno == EACCES;  // another user's process, an elevated copy

  // Its first arguments, each zero-terminated.
  char line[3 * PATH_MAX];
  proc_path(link, pid, "cmdline");
  // None at all, for a moment; and none that can be read: a process out of reach, or gone.
  const ssize_t got = read_small(link, line, sizeof line);  // an argument cut short ends in its zero
  if (got <= 0) return got == 0 ? UNSURE : ELSEWHERE;
  const char* arguments[3] = {line, nullptr, nullptr};
  for (int i = 1; i < 3; ++i) {
    const char* next = arguments[i - 1] + std::strlen(arguments[i - 1]) + 1;
    if (next >= line + got) break;
    arguments[i] = next;
  }
  char full[PATH_MAX];
  if (hidden && names_inside(tree, pid, arguments[0], full)) return FROM_FOLDER;
  // A #! script's process runs its interpreter with the script's path first, after the one
  // argument the #! line may give (which the kernel passes whole, as "-e" or "-S bash").
  for (int i = 1; i < 3 && arguments[i] != nullptr; ++i) {
    if (names_inside(tree, pid, arguments[i], full) && begins_with_hash_bang(full)) return FROM_FOLDER;
    if (arguments[i][0] != '-') break;
  }
  return ELSEWHERE;
}

// The number text begins with (digits up to anything else); 0 for none, or one too big for a pid.
int number_at(const char* text) {
  int number = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
    if (number > 99999999) return 0;
    number = number * 10 + (*p - '0');
  }
  return number;
}

// A process's id from its /proc entry's name; 0 for any other entry.
int pid_of(const char* name) {
  const int pid = number_at(name);
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
  }
  return pid;
}

// /proc lists processes by id; should it not, they are put in that order (rarely needed, so
// simply).
void sort_by_pid(TreeProcess* processes, size_t count) {
  for (size_t i = 1; i < count; ++i) {
    const TreeProcess moved = processes[i];
    size_t j = i;
    for (; j > 0 && processes[j - 1].pid > moved.pid; --j) processes[j] = processes[j - 1];
    processes[j] = moved;
  }
}

// Room for one more process; false when memory ran out.
bool make_room(ProcessTree* tree) {
  if (tree->count < tree->capacity) return true;
  const size_t capacity = tree->capacity == 0 ? 256 : 2 * tree->capacity;
  auto* grown = static_cast<TreeProcess*>(::malloc(capacity * sizeof(TreeProcess)));
  if (grown == nullptr) return false;
  if (tree->count > 0) std::memcpy(grown, tree->processes, tree->count * sizeof(TreeProcess));
  ::free(tree->processes);
  tree->processes = grown;
  tree->capacity = capacity;
  return true;
}

}  // namespace

bool posix_tree_open(ProcessTree* tree, const char* folder) {
  std::memset(tree, 0, sizeof *tree);
  char own[PATH_MAX];
  char full[PATH_MAX];
  return ::readlink("/proc/self/exe", own, sizeof own) > 0 && ::realpath(folder, full) != nullptr &&
         with_slash(full, tree->full_folder);
}

bool posix_tree_look(ProcessTree* tree) {
  tree->count = 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool sorted = true;
  while (const dirent* entry = ::readdir(proc)) {
    const int pid = pid_of(entry->d_name);
    if (pid == 0) continue;
    char path[PROC_PATH_BYTES];
    char stat[512];
    proc_path(path, pid, "stat");
    if (read_small(path, stat, sizeof stat) <= 0) continue;  // it has ended meanwhile
    // "<pid> (<name>) <state> <parent> ...", the name holding any bytes, brackets too.
    const char* name_end = std::strrchr(stat, ')');
    if (name_end == nullptr || name_end[1] != ' ' || name_end[2] == '\0' || name_end[3] != ' ') continue;
    if (!make_room(tree)) {
      ::closedir(proc);
      return false;
    }
    TreeProcess* process = &tree->processes[tree->count];
    process->pid = pid;
    process->parent = number_at(name_end + 4);
    process->zombie = name_end[2] == 'Z' || name_end[2] == 'X';
    process->descendant = process->from_folder = process->unsure = false;
    sorted = sorted && (tree->count == 0 || process[-1].pid < pid);
    ++tree->count;
  }
  ::closedir(proc);
  if (!sorted) sort_by_pid(tree->processes, tree->count);

  // The launcher's descendants: its children, theirs, and so on. Ids mostly grow from parent to
  // child, so a pass in their order finds nearly all; another pass follows where they wrapped.
  const int self = ::getpid();
  for (bool found = true; found;) {
    found = false;
    for (size_t i = 0; i < tree->count; ++i) {
      TreeProcess* process = &tree->processes[i];
      if (process->descendant || process->pid == self) continue;
      const TreeProcess* parent = posix_tree_find(tree, process->parent);
      if (process->parent == self || (parent != nullptr && parent->descendant)) {
        process->descendant = true;
        found = true;
      }
    }
  }
  for (size_t i = 0; i < tree->count; ++i) {
    TreeProcess* process = &tree->processes[i];
    if (!process->descendant || process->zombie) continue;
    const Origin origin = origin_of(tree, process->pid);
    process->from_folder = origin == FROM_FOLDER;
    process->unsure = origin == UNSURE;
  }
  return true;
}

const TreeProcess* posix_tree_find(const ProcessTree* tree, int pid) {
  size_t low = 0;
  size_t high = tree->count;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    const int at = tree->processes[middle].pid;
    if (at == pid) return &tree->processes[middle];
    if (at < pid) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return nullptr;
}

void posix_tree_close(ProcessTree* tree) {
  ::free(tree->processes);
  tree->processes = nullptr;
  tree->count = tree->capacity = 0;
}
