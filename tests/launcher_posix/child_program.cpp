// The program the end-to-end tests pack into a launcher. Started by the launcher, it copies its
// own file (argv[0]) to $SFX_CHILD_COPY and then writes its arguments, one a line, to
// $SFX_CHILD_RECORD; the record appears whole (written aside, then renamed), so a test that sees
// it knows the child has finished. With $SFX_CHILD_LAUNCHER_RECORD it first writes there what
// $SFX_LAUNCHER_PATH holds, and it exits with $SFX_CHILD_EXIT (0 without it).
//
// With $SFX_CHILD_START_COPY (milliseconds) it does none of that: it starts its own file again in
// the background, as an installer that hands over to a copy of itself, and exits 0 at once; the
// copy waits that long first, then does all the above.
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

extern char** environ;

int main(int argc, char** argv) {
  const char* copy_to = std::getenv("SFX_CHILD_COPY");
  const char* record_to = std::getenv("SFX_CHILD_RECORD");
  if (copy_to == nullptr || record_to == nullptr || argc < 1) return 2;
  if (const char* delay = std::getenv("SFX_CHILD_START_COPY")) {
    ::setenv("SFX_CHILD_DELAY_MS", delay, 1);
    ::unsetenv("SFX_CHILD_START_COPY");
    pid_t copy = 0;
    return ::posix_spawn(&copy, argv[0], nullptr, nullptr, argv, environ) == 0 ? 0 : 4;
  }
  if (const char* delay = std::getenv("SFX_CHILD_DELAY_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
  }
  {
    std::ifstream self(argv[0], std::ios::binary);
    std::ofstream copy(copy_to, std::ios::binary);
    copy << self.rdbuf();
  }
  if (const char* launcher_record = std::getenv("SFX_CHILD_LAUNCHER_RECORD")) {
    const char* launcher = std::getenv("SFX_LAUNCHER_PATH");
    std::ofstream(launcher_record, std::ios::binary) << (launcher != nullptr ? launcher : "(none)");
  }
  const std::string part = std::string(record_to) + ".part";
  {
    std::ofstream record(part, std::ios::binary);
    for (int i = 0; i < argc; ++i) record << argv[i] << '\n';
  }
  if (std::rename(part.c_str(), record_to) != 0) return 3;
  const char* status = std::getenv("SFX_CHILD_EXIT");
  return status != nullptr ? std::atoi(status) : 0;
}
