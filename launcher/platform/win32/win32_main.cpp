// The launcher's Windows entry. The program has no C runtime start-up code: the system calls
// launcher_entry directly, which keeps the stub small and leaves nothing to run before the
// library search is restricted.
#include <windows.h>

#include "launcher.h"
#include "win32_layer.h"

// The tail is cut from the raw command line by the launcher's own rule. A command line that is
// not valid UTF-16 leaves an empty tail: the unpack run.
extern "C" void launcher_entry() {
  win32_restrict_library_search();
  ExitProcess(static_cast<UINT>(launcher_main(command_tail(win32_command_line()))));
}
