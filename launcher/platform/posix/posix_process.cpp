// Starting a program, with or without waiting for it, and waiting, for the POSIX platform layer.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform.h"
#include "posix_layer.h"

extern char** environ;

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  // The argument vector carries each path whole, blanks and all. posix_spawn reports a program
  // that cannot be run (an empty or damaged file, no permission) as a failure; the launcher does
  // not wait for the child.
  char* argv[] = {const_cast<char*>(arg0), const_cast<char*>(arg1), nullptr};
  pid_t pid = 0;
  return ::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) == 0;
}

namespace {

// The wait contract: the program started in working_dir (nullptr: the launcher's own) and
// waited for.
bool run_and_wait(const char* program, const char* working_dir, const char* own_path, uint32_t* status) {
  // The program's arguments: its path, then the launcher's own, each whole (where Windows passes
  // the command tail as it came).
  const int argument_count = posix_argument_count();
  char* const* arguments = posix_arguments();
  const int count = argument_count > 1 ? argument_count - 1 : 0;
  char** argv = static_cast<char**>(malloc(sizeof(char*) * static_cast<size_t>(count + 2)));
  if (argv == nullptr || ::setenv("SFX_LAUNCHER_PATH", own_path, 1) != 0) return false;
  argv[0] = const_cast<char*>(program);
  for (int i = 0; i < count; ++i) argv[i + 1] = arguments[i + 1];
  argv[count + 1] = nullptr;

  // The program keeps the launcher's terminal, standard streams and process group (so it stays in
  // the foreground), with the signals the launcher handles back at their defaults and none
  // blocked.
  posix_spawnattr_t attributes;
  sigset_t defaults;
  sigset_t none;
  sigemptyset(&defaults);
  for (const int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal_number);
  sigemptyset(&none);
  if (::posix_spawnattr_init(&attributes) != 0) return false;
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  // While the program runs, the terminal's interrupt and quit are its to handle (the launcher
  // ignores them, as system() does); a terminate or hang-up sent to the launcher is passed on.
  struct sigaction ignore;
  ignore.sa_handler = SIG_IGN;
  ignore.sa_flags = 0;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGQUIT, &ignore, nullptr);
  pid_t pid = 0;
  // The program starts in its own folder; the launcher goes back to the root, so that it holds
  // no folder it will remove.
  const int spawned = working_dir != nullptr && ::chdir(working_dir) != 0
                          ? errno
                          : ::posix_spawn(&pid, program, nullptr, &attributes, argv, environ);
  if (working_dir != nullptr) (void)!::chdir("/");
  ::posix_spawnattr_destroy(&attributes);
  free(argv);
  if (spawned != 0) return false;
  posix_forward_signals_to(pid);

  int wait_status = 0;
  pid_t ended;
  do ended = ::waitpid(pid, &wait_status, 0);
  while (ended < 0 && errno == EINTR);
  posix_forward_signals_to(0);
  if (ended != pid) return false;
  *status = WIFEXITED(wait_status) ? static_cast<uint32_t>(WEXITSTATUS(wait_status))
            : WIFSIGNALED(wait_status) ? 128u + static_cast<uint32_t>(WTERMSIG(wait_status))
                                       : 128u;
  return true;
}

}  // namespace

// POSIX starts a program or a #! script alike; it has no packages.
bool platform_run_and_wait(const RunRequest* request, uint32_t* status) {
  const bool ran = run_and_wait(request->program, request->working_dir, request->own_path, status);
  if (request->release_held) platform_release_held();
  return ran;
}

void platform_sleep_ms(uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool platform_desktop_visible() { return true; }

