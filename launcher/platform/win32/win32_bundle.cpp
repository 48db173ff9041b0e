// A bundle's folder for the Win32 layer: its folders and files made new inside the private folder,
// its checked files held against other processes until the program has started, and its removal
// from the inside out without ever following a link or junction.
//
// The names come from the core, past the one name policy; every call here takes the path in its
// \\?\ form, so that the system neither resolves ".." nor strips dots and blanks nor sees devices
// in it: the name the policy passed is the name made.
#include <windows.h>

#include "bundle.h"
#include "launcher.h"
#include "platform.h"
#include "win32_layer.h"

namespace {

// The path in its long form, in a buffer of the layer's (the longest path the system takes); null
// when it does not fit.
const wchar_t* in_long_form(const char* path) {
  static wchar_t long_path[WIN32_WIDE_PATH_CHARS];
  return win32_bundle_path(path, true, long_path, WIN32_WIDE_PATH_CHARS) ? long_path : nullptr;
}

// ---- the held files ---------------------------------------------------------------------------------

// The handles platform_hold keeps, read-only and shared for reading alone: as many as the bundle
// has files, up to BUNDLE_MAX_ENTRIES. Room for them all is reserved at the first; the system
// gives the array its pages only as they are first written, so that it grows with the bundle.
HANDLE* held_files;
uint32_t held_count;

// ---- removal ----------------------------------------------------------------------------------------

// The walk of platform_remove_tree: the path of the entry at hand, one search per folder it is in,
// and the entry the last search gave. Each level adds at least two characters (a separator and a
// name) to the path, so the searches never outnumber half its length.
constexpr uint32_t WALK_MAX_DEPTH = WIN32_WIDE_PATH_CHARS / 2;
struct Walk {
  wchar_t path[WIN32_WIDE_PATH_CHARS];
  uint32_t length;
  HANDLE searches[WALK_MAX_DEPTH];
  WIN32_FIND_DATAW found;
};

// Appends '\' and name to the path; false when it would not fit.
bool append_name(Walk* walk, const wchar_t* name) {
  uint32_t n = walk->length;
  if (n + 2 >= WIN32_WIDE_PATH_CHARS) return false;
  walk->path[n++] = L'\\';
  for (; *name != L'\0'; ++name) {
    if (n + 1 >= WIN32_WIDE_PATH_CHARS) return false;
    walk->path[n++] = *name;
  }
  walk->path[n] = L'\0';
  walk->length = n;
  return true;
}

// Cuts the path's last component (names hold no '\').
void cut_name(Walk* walk) {
  uint32_t n = walk->length;
  while (n > 0 && walk->path[--n] != L'\\') {
  }
  walk->path[n] = L'\0';
  walk->length = n;
}

// Starts listing the folder at the path: its first entry in found. False when it cannot be listed
// (the search is then INVALID_HANDLE_VALUE, and the folder's removal tells what is left).
bool list_folder(Walk* walk, HANDLE* search) {
  *search = INVALID_HANDLE_VALUE;
  if (!append_name(walk, L"*")) return false;
  // FindExInfoStandard: FindExInfoBasic is Windows 7's, and the launcher runs on Vista.
  *search = FindFirstFileExW(walk->path, FindExInfoStandard, &walk->found, FindExSearchNameMatch, nullptr, 0);
  cut_name(walk);
  return *search != INVALID_HANDLE_VALUE;
}

// Removes the entry at path: a folder (an emptied one, or a directory link or junction, which goes
// itself) with RemoveDirectoryW, anything else with DeleteFileW.
bool remove_entry(const wchar_t* path, DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path) != 0 : DeleteFileW(path) != 0;
}

bool is_dot_name(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// One pass over the folder at the path, from the inside out: every entry that is a folder and no
// reparse point is entered and emptied, then removed; everything else (files, and links and
// junctions of any kind) is removed itself and never entered. True when nothing is left.
bool remove_once(Walk* walk) {
  DWORD attributes = GetFileAttributesW(walk->path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  bool all = true;
  uint32_t depth = 0;  // the folders entered, each with its search
  for (;;) {
    // The entry at the path, with the attributes its folder's listing gave (the folder itself
    // first: put back as a link by someone, it goes as a link). A read-only attribute is cleared
    // first; a link's are left as they are, since setting them may reach what it points to.
    if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_READONLY) {
      SetFileAttributesW(walk->path, FILE_ATTRIBUTE_NORMAL);
    }
    // have: found holds an entry not yet dealt with; next: the search is to be asked for one.
    bool have = false;
    bool next = true;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY &&
        depth < WALK_MAX_DEPTH) {
      have = list_folder(walk, &walk->searches[depth++]);
      next = false;
    } else {
      if (!remove_entry(walk->path, attributes)) all = false;
      if (depth == 0) return all;
      cut_name(walk);
    }
    // Up while the folder at hand is listed, each removed once empty; then the next entry.
    for (;; next = true) {
      if (next) have = FindNextFileW(walk->searches[depth - 1], &walk->found) != 0;
      if (!have) {
        const HANDLE search = walk->searches[--depth];
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        if (!RemoveDirectoryW(walk->path)) all = false;
        if (depth == 0) return all;
        cut_name(walk);
      } else if (!is_dot_name(walk->found.cFileName)) {
        if (append_name(walk, walk->found.cFileName)) break;
        all = false;
      }
    }
    attributes = walk->found.dwFileAttributes;
  }
}

}  // namespace

bool win32_bundle_path(const char* path, bool long_form, wchar_t* out, uint32_t capacity) {
  // A drive's path gets \\?\ before it, a share's (\\server\share) \\?\UNC in place of its first
  // backslash; a path in the \\?\ or \\.\ form already is taken as it is.
  const wchar_t* prefix = L"";
  uint32_t skip = 0;
  if (long_form) {
    if (path[0] != '\\') {
      prefix = L"\\\\?\\";
    } else if (path[1] == '\\' && path[2] != '?' && path[2] != '.') {
      prefix = L"\\\\?\\UNC";
      skip = 1;
    }
  }
  uint32_t n = 0;
  while (prefix[n] != L'\0') {
    if (n + 1 >= capacity) return false;
    out[n] = prefix[n];
    ++n;
  }
  if (!win32_to_wide(path + skip, out + n, capacity - n)) return false;
  for (wchar_t* p = out + n; *p != L'\0'; ++p) {
    if (*p == L'/') *p = L'\\';
  }
  return true;
}

bool platform_make_folder(const char* path) {
  // It inherits the private folder's access list.
  const wchar_t* folder = in_long_form(path);
  return folder != nullptr && CreateDirectoryW(folder, nullptr) != 0;
}

int platform_create_file(const char* path, bool /* executable: Windows goes by the name */) {
  // CREATE_NEW fails on any name that exists, a link or junction planted there included, so
  // nothing is ever opened through one. Shared for reading alone: no other writer meanwhile.
  const wchar_t* file = in_long_form(path);
  if (file == nullptr) return PLATFORM_NO_FILE;
  return win32_file_number(CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool platform_hold(int fd) {
  // Room first: a file that cannot be kept stays the caller's, to close.
  HANDLE* files = held_files;
  if (files == nullptr) {
    files = static_cast<HANDLE*>(
        VirtualAlloc(nullptr, BUNDLE_MAX_ENTRIES * sizeof(HANDLE), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    held_files = files;
  }
  const uint32_t count = held_count;
  if (files == nullptr || count == BUNDLE_MAX_ENTRIES) return false;
  HANDLE file = static_cast<HANDLE>(win32_take_file(fd));
  if (file == nullptr) return false;
  files[count] = file;
  held_count = count + 1;
  return true;
}

void platform_release_held() {
  for (uint32_t i = 0; i < held_count; ++i) CloseHandle(held_files[i]);
  held_count = 0;
}

bool platform_remove_tree(const char* path) {
  // The walk's state (128 KiB, more as 64-bit code) is taken from the system only for the removal.
  Walk* walk = static_cast<Walk*>(VirtualAlloc(nullptr, sizeof(Walk), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (walk == nullptr) return false;
  bool removed = false;
  for (uint32_t retries = 0;; ++retries) {
    if (!win32_bundle_path(path, true, walk->path, WIN32_WIDE_PATH_CHARS)) break;
    walk->length = static_cast<uint32_t>(lstrlenW(walk->path));
    removed = remove_once(walk);
    if (removed || retries == DELETE_RETRIES) break;
    // Something in it is still in use: a program the installer left running, a virus scanner.
    platform_sleep_ms(DELETE_RETRY_MS);
  }
  VirtualFree(walk, 0, MEM_RELEASE);
  return removed;
}
