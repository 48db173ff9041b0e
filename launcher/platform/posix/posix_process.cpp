// Starting a program, with or without waiting for it, and the wait, for the POSIX platform layer.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "platform.h"
#include "posix_layer.h"

extern char** environ;

namespace {

bool start_noexec = false;  // the last start failed as its folder lets no program run

// The most of a #! line the kernel reads (BINPRM_BUF_SIZE).
constexpr size_t SCRIPT_LINE_BYTES = 256;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The interpreter a #! script's first line names, and its one optional argument (null: none), as
// the kernel reads them: after "#!" and blanks, the interpreter up to a blank, a tab or the line's
// end, then the rest of the line, blanks and tabs at both ends dropped, as one argument. Both
// point into line (SCRIPT_LINE_BYTES).
bool script_interpreter(const char* program, char* line, char** interpreter, char** argument) {
  const int fd = ::open(program, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < SCRIPT_LINE_BYTES - 1) {
    const ssize_t n = ::read(fd, line + got, SCRIPT_LINE_BYTES - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got < 2 || line[0] != '#' || line[1] != '!') return false;
  line[got] = '\0';
  char* end = static_cast<char*>(std::memchr(line, '\n', got));
  if (end == nullptr) {
    if (got == SCRIPT_LINE_BYTES - 1) return false;  // longer than the kernel reads
    end = line + got;
  }
  *end = '\0';
  char* p = line + 2;
  while (is_blank(*p)) ++p;
  if (*p == '\0') return false;
  *interpreter = p;
  while (*p != '\0' && !is_blank(*p)) ++p;
  if (*p != '\0') *p++ = '\0';
  while (is_blank(*p)) ++p;
  while (end > p && is_blank(end[-1])) --end;
  *end = '\0';
  *argument = *p != '\0' ? p : nullptr;
  return true;
}

// Whether the folder program lies in lets programs run.
bool folder_of_runs_programs(const char* program) {
  char folder[PATH_MAX];
  const size_t n = std::strlen(program);
  if (n >= sizeof folder) return true;
  std::memcpy(folder, program, n + 1);
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) return platform_folder_runs_programs(".");
  slash[slash == folder ? 1 : 0] = '\0';
  return platform_folder_runs_programs(folder);
}

// Starts program with argv as posix_spawn does; a #! script that the system will not run from its
// folder (EACCES: a noexec mount, a policy) is run through its interpreter, as the kernel would
// have run it. The error number (in errno too), 0 once started.
int spawn(pid_t* pid, const char* program, char* const* argv, const posix_spawnattr_t* attributes) {
  start_noexec = false;
  int error = ::posix_spawn(pid, program, nullptr, attributes, argv, environ);
  if (error == EACCES) {
    char line[SCRIPT_LINE_BYTES];
    char* interpreter = nullptr;
    char* argument = nullptr;
    if (script_interpreter(program, line, &interpreter, &argument)) {
      size_t count = 0;
      while (argv[count] != nullptr) ++count;
      char** through = static_cast<char**>(::malloc(sizeof(char*) * (count + 3)));
      if (through == nullptr) {
        errno = ENOMEM;
        return ENOMEM;
      }
      size_t at = 0;
      through[at++] = interpreter;
      if (argument != nullptr) through[at++] = argument;
      through[at++] = const_cast<char*>(program);
      for (size_t i = 1; i < count; ++i) through[at++] = argv[i];
      through[at] = nullptr;
      error = ::posix_spawn(pid, interpreter, nullptr, attributes, through, environ);
      ::free(through);
    }
  }
  if (error == EACCES) start_noexec = !folder_of_runs_programs(program);
  errno = error;
  return error;
}

// ---- the wait --------------------------------------------------------------------------------------

// The run's status from a wait status: the exit code, or 128 + the number of the signal that
// ended it.
uint32_t status_of(int wait_status) {
  return WIFEXITED(wait_status)     ? static_cast<uint32_t>(WEXITSTATUS(wait_status))
         : WIFSIGNALED(wait_status) ? 128u + static_cast<uint32_t>(WTERMSIG(wait_status))
                                    : 128u;
}

// A few process ids.
struct Pids {
  int* ids;
  size_t count;
  size_t capacity;
};

bool pids_have(const Pids* pids, int pid) {
  for (size_t i = 0; i < pids->count; ++i) {
    if (pids->ids[i] == pid) return true;
  }
  return false;
}

bool pids_add(Pids* pids, int pid) {
  if (pids->count == pids->capacity) {
    const size_t capacity = pids->capacity == 0 ? 16 : 2 * pids->capacity;
    int* grown = static_cast<int*>(::malloc(capacity * sizeof(int)));
    if (grown == nullptr) return false;
    if (pids->count > 0) std::memcpy(grown, pids->ids, pids->count * sizeof(int));
    ::free(pids->ids);
    pids->ids = grown;
    pids->capacity = capacity;
  }
  pids->ids[pids->count++] = pid;
  return true;
}

// Until a child ends, a signal arrives or about 100 ms have passed.
void pause_for_children(const sigset_t* child_ended) {
  timespec pause{0, 100 * 1000000L};
  (void)::sigtimedwait(child_ended, nullptr, &pause);
}

void be_subreaper(bool on) {
#ifdef PR_SET_CHILD_SUBREAPER
  // The orphans of the program's tree become the launcher's children rather than init's, so that
  // their statuses can be read.
  (void)::prctl(PR_SET_CHILD_SUBREAPER, on ? 1 : 0, 0, 0, 0);
#else
  (void)on;
#endif
}

// Waits for program, then for every process of its tree that runs a program from folder (null:
// the program alone; so too where /proc cannot tell), each look about 100 ms apart. *status is the
// program's, unless a process from the folder still ran when it ended: then that of the last such
// process to end, when it was the launcher's child (a re-parented orphan) and its status could be
// read; otherwise the program's stands. Every other child that ends meanwhile is reaped without
// being waited for. Signals are passed on to program (posix_forward_signals_to) from the start.
// False when the program's end could not be seen.
bool wait_for_tree(pid_t program, const char* folder, const sigset_t* child_ended, uint32_t* status) {
  ProcessTree tree;
  const bool can_look = folder != nullptr && posix_tree_open(&tree, folder);
  Pids tracked{nullptr, 0, 0};  // the folder's processes running at the last look
  Pids reaped{nullptr, 0, 0};   // those that ended since
  bool running = true;
  bool seen = true;
  uint32_t program_status = 0;
  for (;;) {
    const bool was_running = running;
    bool looked = false;
    if (!was_running) {
      looked = posix_tree_look(&tree);
      if (!looked) break;
    }
    // A terminate or hang-up: the program has had it from the handler; the folder's other
    // processes get it now.
    if (const int signal_number = posix_forwarded_signal()) {
      if (!looked && can_look) looked = posix_tree_look(&tree);
      for (size_t i = 0; looked && i < tree.count; ++i) {
        const TreeProcess* process = &tree.processes[i];
        if (process->from_folder && !(running && process->pid == program)) ::kill(process->pid, signal_number);
      }
    }

    reaped.count = 0;
    bool read = false;
    uint32_t last_read = 0;
    for (;;) {
      int wait_status = 0;
      const pid_t ended = ::waitpid(-1, &wait_status, WNOHANG);
      if (ended < 0 && errno == EINTR) continue;
      if (ended <= 0) {
        seen = ended == 0 || !running;  // no child at all, the program among them, is no wait
        break;
      }
      if (ended == program && running) {
        running = false;
        program_status = *status = status_of(wait_status);
        continue;
      }
      // An orphan the launcher took in: one from the folder tells its status, any other is only
      // reaped.
      const TreeProcess* process = looked ? posix_tree_find(&tree, ended) : nullptr;
      if (!was_running && (pids_have(&tracked, ended) || (process != nullptr && process->from_folder))) {
        read = true;
        last_read = status_of(wait_status);
        if (!pids_add(&reaped, ended)) break;
      }
    }
    if (!seen) break;
    if (was_running) {
      if (running) {
        pause_for_children(child_ended);
        continue;
      }
      if (!can_look) break;
      // The program has ended: from now on a signal is passed on by the wait alone.
      posix_forward_signals_to(POSIX_FORWARD_NOTE_ONLY);
      continue;
    }
    // Which of the folder's processes have ended since the last look, and whether the launcher
    // read their statuses.
    bool unread = false;
    for (size_t i = 0; i < tracked.count; ++i) {
      if (pids_have(&reaped, tracked.ids[i])) continue;
      const TreeProcess* process = posix_tree_find(&tree, tracked.ids[i]);
      if (process == nullptr || process->zombie) unread = true;
    }
    if (read) {
      *status = last_read;
    } else if (unread) {
      *status = program_status;
    }
    // A process not known yet is looked at again before the wait ends.
    tracked.count = 0;
    bool listed = true;
    bool unsure = false;
    for (size_t i = 0; i < tree.count && listed; ++i) {
      const TreeProcess* process = &tree.processes[i];
      if (pids_have(&reaped, process->pid)) continue;
      if (process->from_folder) listed = pids_add(&tracked, process->pid);
      unsure = unsure || process->unsure;
    }
    if ((tracked.count == 0 && !unsure) || !listed) break;
    pause_for_children(child_ended);
  }
  posix_forward_signals_to(0);
  if (can_look) posix_tree_close(&tree);
  ::free(tracked.ids);
  ::free(reaped.ids);
  return seen;
}

// The wait contract: the program started in its working directory (null: the launcher's own) and
// waited for, with its tree's processes from the private folder.
bool run_and_wait(const RunRequest* request, uint32_t* status) {
  // The program's arguments: its path, then the launcher's own, each whole (where Windows passes
  // the command tail as it came).
  const int argument_count = posix_argument_count();
  char* const* arguments = posix_arguments();
  const int count = argument_count > 1 ? argument_count - 1 : 0;
  char** argv = static_cast<char**>(::malloc(sizeof(char*) * static_cast<size_t>(count + 2)));
  if (argv == nullptr || ::setenv("SFX_LAUNCHER_PATH", request->own_path, 1) != 0) {
    ::free(argv);
    return false;
  }
  argv[0] = const_cast<char*>(request->program);
  for (int i = 0; i < count; ++i) argv[i + 1] = arguments[i + 1];
  argv[count + 1] = nullptr;

  // The program keeps the launcher's terminal, standard streams and process group (so it stays in
  // the foreground), with the signals the launcher handles back at their defaults and none
  // blocked.
  posix_spawnattr_t attributes;
  sigset_t defaults;
  sigset_t none;
  sigemptyset(&defaults);
  for (const int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal_number);
  sigemptyset(&none);
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::free(argv);
    return false;
  }
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  // While the program runs, the terminal's interrupt and quit are its to handle (the launcher
  // ignores them, as system() does); a terminate or hang-up sent to the launcher is passed on.
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGQUIT, &action, nullptr);
  // Children's ends are waited for: never left to vanish unread (a launcher started with SIGCHLD
  // ignored), and told by a signal kept pending, taken by the wait.
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &action, nullptr);
  sigset_t child_ended;
  sigset_t mask_before;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  // A terminate or hang-up that comes while the program is being started waits until the handler
  // knows whom to pass it on to.
  sigset_t passed_on;
  sigemptyset(&passed_on);
  sigaddset(&passed_on, SIGTERM);
  sigaddset(&passed_on, SIGHUP);
  sigset_t blocked = child_ended;
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &blocked, &mask_before);
  if (request->private_folder != nullptr) be_subreaper(true);

  pid_t pid = 0;
  // The program starts in its own folder; the launcher goes back to the root, so that it holds
  // no folder it will remove.
  int spawned = 0;
  if (request->working_dir != nullptr && ::chdir(request->working_dir) != 0) {
    spawned = errno;
    start_noexec = false;
  } else {
    spawned = spawn(&pid, request->program, argv, &attributes);
  }
  if (request->working_dir != nullptr) (void)!::chdir("/");
  ::posix_spawnattr_destroy(&attributes);
  ::free(argv);
  if (spawned == 0) {
    posix_forward_signals_to(pid);
    ::sigprocmask(SIG_UNBLOCK, &passed_on, nullptr);
    if (request->release_held) platform_release_held();
    if (!wait_for_tree(pid, request->private_folder, &child_ended, status)) spawned = ECHILD;
  }
  if (request->private_folder != nullptr) be_subreaper(false);
  ::sigprocmask(SIG_SETMASK, &mask_before, nullptr);
  errno = spawned;
  return spawned == 0;
}

}  // namespace

bool posix_start_failed_noexec() { return start_noexec; }

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  // The argument vector carries each path whole, blanks and all. posix_spawn reports a program
  // that cannot be run (an empty or damaged file, no permission) as a failure; the launcher does
  // not wait for the child.
  char* argv[] = {const_cast<char*>(arg0), const_cast<char*>(arg1), nullptr};
  pid_t pid = 0;
  return spawn(&pid, program, argv, nullptr) == 0;
}

// POSIX starts a program or a #! script alike; it has no packages.
bool platform_run_and_wait(const RunRequest* request, uint32_t* status) {
  const bool ran = run_and_wait(request, status);
  const int error = errno;
  if (request->release_held) platform_release_held();
  errno = error;
  return ran;
}

void platform_sleep_ms(uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool platform_desktop_visible() { return true; }
