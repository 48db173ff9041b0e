// Loads sfx_planted.dll, which lies beside this program, by name, after restricting the library
// search as the launcher does first thing (or, with --unrestricted, without): exit 0 when it
// was not loaded, 1 when it was, 2 on a usage error.
#include <windows.h>

#include <cstring>

#include "win32_layer.h"

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--unrestricted") != 0)) return 2;
  if (argc == 1) win32_restrict_library_search();
  return LoadLibraryW(L"sfx_planted.dll") == nullptr ? 0 : 1;
}
