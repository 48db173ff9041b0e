// The POSIX launcher program: the Windows launcher's run on a POSIX system, for packing and
// testing payloads where there is no Windows.
#include "launcher.h"
#include "posix_layer.h"

int main(int argc, char** argv) {
  posix_set_program_name(argc > 0 ? argv[0] : nullptr);
  // POSIX has no raw command line: rebuild the one a Windows program would be given, so the
  // tail rule and the run mode come out as they would there.
  const std::string line = windows_command_line(argc, argv);
  return launcher_main(command_tail(line.c_str()));
}
