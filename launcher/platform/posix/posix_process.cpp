// Starting a program and waiting, for the POSIX platform layer.
#include <spawn.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>

#include "platform.h"

extern char** environ;

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  // The argument vector carries each path whole, blanks and all. posix_spawn reports a program
  // that cannot be run (an empty or damaged file, no permission) as a failure; the launcher does
  // not wait for the child.
  char* argv[] = {const_cast<char*>(arg0), const_cast<char*>(arg1), nullptr};
  pid_t pid = 0;
  return ::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) == 0;
}

void platform_sleep_ms(uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
