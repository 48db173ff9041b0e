// The POSIX launcher program: the Windows launcher's run on a POSIX system.
#include <stdlib.h>

#include "launcher.h"
#include "posix_layer.h"

int main(int argc, char** argv) {
  posix_set_arguments(argc, argv);
  // POSIX has no raw command line: rebuild the one a Windows program would be given, so the
  // tail rule and the run mode come out as they would there.
  const size_t bytes = windows_command_line_bytes(argc, argv);
  char* line = static_cast<char*>(malloc(bytes));
  if (line == nullptr || !windows_command_line(argc, argv, line, bytes)) return launcher_main("");
  return launcher_main(command_tail(line));
}
