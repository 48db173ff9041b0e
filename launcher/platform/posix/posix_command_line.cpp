// The Windows-style command line rebuilt from POSIX arguments.
#include <cstring>
#include <string>

#include "posix_layer.h"

namespace {

bool needs_quotes(const char* arg) {
  if (*arg == '\0') return true;
  for (const char* p = arg; *p != '\0'; ++p) {
    if (std::strchr(" \t\n\v\f\r\"", *p) != nullptr) return true;
  }
  return false;
}

}  // namespace

std::string windows_command_line(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    if (needs_quotes(argv[i])) {
      line += '"';
      line += argv[i];
      line += '"';
    } else {
      line += argv[i];
    }
  }
  return line;
}
