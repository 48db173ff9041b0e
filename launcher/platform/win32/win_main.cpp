// The launcher's Windows entry.
#include <windows.h>

#include "launcher.h"

// The tail is cut from the raw command line by the launcher's own rule rather than taken from
// lpCmdLine, so that it does not depend on how the runtime's start-up code cuts it.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return launcher_main(command_tail(GetCommandLineA()));
}
