// The program the wine tests pack into a launcher: it reports what it was started with.
//
// Into the folder named by SFX_CHILD_OUT it writes command-line.txt (its raw command line),
// own-path.txt (the path of its own file), both in UTF-8, own-file.bin (a copy of its own file,
// unless SFX_CHILD_NO_COPY is set) and, last, done.txt, whose presence tells the test that the
// others are complete.
#include <windows.h>

namespace {

wchar_t out_dir[32768];

bool write_file(const wchar_t* name, const void* bytes, DWORD size) {
  wchar_t path[32768];
  if (lstrlenW(out_dir) + 1 + lstrlenW(name) >= 32768) return false;
  lstrcpyW(path, out_dir);
  lstrcatW(path, L"\\");
  lstrcatW(path, name);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

bool write_text(const wchar_t* name, const wchar_t* text) {
  static char utf8[3 * 32768];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  return n > 0 && write_file(name, utf8, static_cast<DWORD>(n - 1));
}

bool copy_own_file(const wchar_t* own_path) {
  HANDLE file = CreateFileW(own_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  void* bytes = HeapAlloc(GetProcessHeap(), 0, size + 1);
  DWORD got = 0;
  const BOOL ok = bytes != nullptr && ReadFile(file, bytes, size, &got, nullptr) && got == size;
  CloseHandle(file);
  return ok && write_file(L"own-file.bin", bytes, size);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const DWORD n = GetEnvironmentVariableW(L"SFX_CHILD_OUT", out_dir, 32768);
  if (n == 0 || n >= 32768) return 2;

  static wchar_t own_path[32768];
  const DWORD own = GetModuleFileNameW(nullptr, own_path, 32768);
  if (own == 0 || own >= 32768) return 2;

  // SFX_CHILD_NO_COPY: the file is too big to be worth copying.
  const bool copy = GetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", nullptr, 0) == 0;
  const bool ok = write_text(L"command-line.txt", GetCommandLineW()) &&
                  write_text(L"own-path.txt", own_path) && (!copy || copy_own_file(own_path));
  return ok && write_file(L"done.txt", "done", 4) ? 0 : 2;
}
