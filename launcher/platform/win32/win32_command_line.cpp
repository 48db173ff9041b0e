// The command line, as the core reads it: UTF-8.
#include <windows.h>

#include "win32_layer.h"

namespace {

// Up to 32,767 UTF-16 characters, at most three bytes each.
char command_line[3 * WIN32_WIDE_PATH_CHARS];

}  // namespace

const char* win32_command_line() {
  if (!win32_to_utf8(GetCommandLineW(), command_line, sizeof command_line)) command_line[0] = '\0';
  return command_line;
}
