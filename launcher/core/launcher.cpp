// The entry: the command tail, the choice of run mode, and delete mode.
#include "launcher.h"

#include <cstring>

#include "crc32.h"
#include "platform.h"
#include "texts.h"

namespace {

// White space as the C library's isspace sees it in the "C" locale.
bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The code of c taken as unsigned, whatever the signedness of char.
unsigned code_of(char c) { return static_cast<unsigned char>(c); }

// The end of the token that starts at p (which is not white space). A double quote opens a
// stretch that runs to the next double quote, or to the end of the text, blanks and all.
const char* token_end(const char* p) {
  bool quoted = false;
  for (; *p != '\0'; ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (!quoted && is_white(*p)) {
      break;
    }
  }
  return p;
}

const char* skip_white(const char* p) {
  while (is_white(*p)) ++p;
  return p;
}

}  // namespace

const char* command_tail(const char* command_line) {
  const char* p = command_line;
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (code_of(*p) > 32) ++p;
  }
  while (*p != '\0' && code_of(*p) <= 32) ++p;
  return p;
}

int count_tail_tokens(const char* tail) {
  int count = 0;
  const char* p = skip_white(tail);
  while (*p != '\0' && count < 2) {
    ++count;
    p = skip_white(token_end(p));
  }
  return count;
}

bool first_token(const char* tail, char* out, uint32_t capacity) {
  return *skip_white(tail) != '\0' && delete_file_name(tail, out, capacity);
}

bool delete_file_name(const char* tail, char* name, uint32_t name_capacity) {
  const char* begin = skip_white(tail);
  const char* end = token_end(begin);
  if (end - begin >= 2 && *begin == '"' && end[-1] == '"') {
    ++begin;
    --end;
  }
  const size_t length = static_cast<size_t>(end - begin);
  if (length >= name_capacity) return false;
  std::memcpy(name, begin, length);
  name[length] = '\0';
  return true;
}

void delete_with_retry(const char* tail) {
  platform_chdir_root();
  // A name too long for its buffer is treated as a file that cannot be deleted: the same
  // attempts and waits, without touching any file.
  char name[PATH_BUFFER_CHARS];
  const bool have_name = delete_file_name(tail, name, sizeof name);
  for (uint32_t retries = 0;; ++retries) {
    if (have_name && platform_remove_temp_file(name)) return;
    if (retries == DELETE_RETRIES) return;
    platform_sleep_ms(DELETE_RETRY_MS);
  }
}

bool is_delete_request(const char* tail) {
  if (count_tail_tokens(tail) != 1) return false;
  // A name too long for the buffer is no temporary file of the launcher's either.
  char name[PATH_BUFFER_CHARS];
  char temp_dir[PATH_BUFFER_CHARS];
  return delete_file_name(tail, name, sizeof name) && platform_temp_dir(temp_dir, sizeof temp_dir) &&
         platform_is_temp_file_path(name, temp_dir);
}

namespace {

// How much of the switch word p..end (after its '/' or '-') matches name, an upper-case word, in
// any case: the characters matched, name's whole length when the word is name or begins with it.
uint32_t switch_match(const char* p, const char* end, const char* name) {
  const char* q = p + 1;
  const char* n = name;
  while (q < end && *n != '\0' && (*q == *n || (*n >= 'A' && *n <= 'Z' && *q == *n - 'A' + 'a'))) ++q, ++n;
  return static_cast<uint32_t>(n - name);
}

bool is_switch_word(const char* p, const char* end, const char* name) {
  return (*p == '/' || *p == '-') && switch_match(p, end, name) == std::strlen(name) &&
         static_cast<size_t>(end - p - 1) == std::strlen(name);
}

}  // namespace

bool silent_switch(const char* tail) {
  static const char* const SWITCHES[] = {"S", "SILENT", "VERYSILENT", "Q", "QN", "QUIET", "PASSIVE"};
  for (const char* p = skip_white(tail); *p != '\0'; p = skip_white(token_end(p))) {
    const char* end = token_end(p);
    for (const char* name : SWITCHES) {
      if (is_switch_word(p, end, name)) return true;
    }
  }
  return false;
}

uint32_t msi_action(const char* tail, const char** action, const char** rest) {
  static const char* const ACTIONS[] = {"I", "PACKAGE", "A", "X", "UNINSTALL", "J", "JU", "JM"};
  const char* p = skip_white(tail);
  const char* end = token_end(p);
  *rest = tail;
  bool found = false;
  for (const char* name : ACTIONS) found = found || is_switch_word(p, end, name);
  // /f and its repair options.
  if (!found && (*p == '/' || *p == '-') && (p[1] == 'f' || p[1] == 'F')) {
    found = true;
    for (const char* q = p + 2; q < end; ++q) found = found && std::strchr("pecdoamusvPECDOAMUSV", *q) != nullptr;
  }
  if (!found) return 0;
  *action = p;
  *rest = skip_white(end);
  return static_cast<uint32_t>(end - p);
}

OwnSwitch own_switch(const char* tail, const char** rest) {
  static const char* const WORDS[] = {"SFX-VERIFY", "SFX-EXTRACT", "SFX-INFO", "SFX-HELP"};
  const char* p = skip_white(tail);
  const char* end = token_end(p);
  *rest = skip_white(end);
  for (int i = 0; i < 4; ++i) {
    if (is_switch_word(p, end, WORDS[i])) return static_cast<OwnSwitch>(SWITCH_VERIFY + i);
  }
  return (*p == '/' || *p == '-') && switch_match(p, end, "SFX-") == 4 ? SWITCH_UNKNOWN : SWITCH_NONE;
}

int launcher_main(const char* tail) {
  crc32_prepare();
  if (is_delete_request(tail)) {
    delete_with_retry(tail);
    return 1;
  }
  const char* rest = nullptr;
  const OwnSwitch which = own_switch(tail, &rest);
  if (which != SWITCH_NONE) return run_own_switch(which, rest);
  return run_unpack(tail);
}
