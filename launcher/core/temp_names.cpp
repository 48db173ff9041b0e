#include "temp_names.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_hex(char c) {
  c = lower(c);
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool is_alnum(char c) {
  c = lower(c);
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

// Whether name begins with prefix, compared without regard to case; gives what follows.
bool take_prefix(const char*& name, const char* prefix, bool any_case) {
  for (; *prefix != '\0'; ++prefix, ++name) {
    if (any_case ? lower(*name) != lower(*prefix) : *name != *prefix) return false;
  }
  return true;
}

// The number of characters at p that pass test.
uint32_t run_of(const char* p, bool (*test)(char)) {
  uint32_t n = 0;
  while (p[n] != '\0' && test(p[n])) ++n;
  return n;
}

}  // namespace

const char* last_path_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') last = p + 1;
  }
  return last;
}

bool is_windows_temp_file_name(const char* name) {
  if (!take_prefix(name, "EXE", true)) return false;
  const uint32_t digits = run_of(name, is_hex);
  name += digits;
  return digits > 0 && take_prefix(name, ".tmp", true) && *name == '\0';
}

bool is_windows_temp_folder_name(const char* name) {
  return take_prefix(name, "SFX", true) && run_of(name, is_hex) == WINDOWS_TEMP_FOLDER_DIGITS &&
         name[WINDOWS_TEMP_FOLDER_DIGITS] == '\0';
}

bool is_posix_temp_name(const char* name, const char* prefix) {
  return take_prefix(name, prefix, false) && run_of(name, is_alnum) == 6 && name[6] == '\0';
}
