// The Windows-style command line rebuilt from POSIX arguments.
#include <cstring>

#include "posix_layer.h"

namespace {

int argument_count = 0;
char** arguments = nullptr;

bool needs_quotes(const char* arg) {
  if (*arg == '\0') return true;
  for (const char* p = arg; *p != '\0'; ++p) {
    if (std::strchr(" \t\n\v\f\r\"", *p) != nullptr) return true;
  }
  return false;
}

}  // namespace

size_t windows_command_line_bytes(int argc, const char* const* argv) {
  size_t bytes = 1;
  for (int i = 0; i < argc; ++i) bytes += std::strlen(argv[i]) + 3;  // a blank and two quotes
  return bytes;
}

bool windows_command_line(int argc, const char* const* argv, char* line, size_t capacity) {
  size_t at = 0;
  const auto put = [&](const char* text, size_t n) {
    if (at + n >= capacity) return false;
    std::memcpy(line + at, text, n);
    at += n;
    return true;
  };
  for (int i = 0; i < argc; ++i) {
    const bool quoted = needs_quotes(argv[i]);
    if ((i > 0 && !put(" ", 1)) || (quoted && !put("\"", 1)) || !put(argv[i], std::strlen(argv[i])) ||
        (quoted && !put("\"", 1))) {
      return false;
    }
  }
  if (at >= capacity) return false;
  line[at] = '\0';
  return true;
}

void posix_set_arguments(int argc, char** argv) {
  argument_count = argc;
  arguments = argv;
}

int posix_argument_count() { return argument_count; }

char* const* posix_arguments() { return arguments; }
