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
  if (digits == 0) return false;
  const char* tmp = name;
  const char* msi = name;
  const char* msp = name;
  return (take_prefix(tmp, ".tmp", true) && *tmp == '\0') || (take_prefix(msi, ".msi", true) && *msi == '\0') ||
         (take_prefix(msp, ".msp", true) && *msp == '\0');
}

bool is_windows_temp_folder_name(const char* name) {
  return take_prefix(name, "SFX", true) && run_of(name, is_hex) == WINDOWS_TEMP_FOLDER_DIGITS &&
         name[WINDOWS_TEMP_FOLDER_DIGITS] == '\0';
}

bool is_posix_temp_name(const char* name, const char* prefix) {
  return take_prefix(name, prefix, false) && run_of(name, is_alnum) == 6 && name[6] == '\0';
}

bool is_posix_temp_folder_name(const char* name) { return is_posix_temp_name(name, "SFX"); }
bool is_posix_temp_file_name(const char* name) { return is_posix_temp_name(name, "EXE"); }

bool is_temp_file_in(const char* path, const char* temp_dir, bool (*folder_ok)(const char*),
                     bool (*file_ok)(const char*), bool fold_case) {
  const char* rest = path;
  if (!take_prefix(rest, temp_dir, fold_case)) return false;
  // The folder's name, then one separator, then the file's name with no separator in it.
  char folder[64];
  uint32_t n = 0;
  while (rest[n] != '\0' && rest[n] != '/' && rest[n] != '\\') {
    if (n + 1 >= sizeof folder) return false;
    folder[n] = rest[n];
    ++n;
  }
  folder[n] = '\0';
  if (rest[n] == '\0' || !folder_ok(folder)) return false;
  const char* file = rest + n + 1;
  return last_path_component(file) == file && file_ok(file);
}
