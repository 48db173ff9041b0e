// The program the wine tests pack into a launcher: it reports what it was started with.
//
// Into the folder named by SFX_CHILD_OUT it writes command-line.txt (its raw command line),
// own-path.txt (the path of its own file), own-file.bin (a copy of its own file, unless
// SFX_CHILD_NO_COPY is set) and, last, done.txt, whose presence tells the test that the others
// are complete.
#include <windows.h>

#include <cstring>

namespace {

bool write_file(const char* dir, const char* name, const void* bytes, DWORD size) {
  char path[MAX_PATH];
  if (std::strlen(dir) + 1 + std::strlen(name) >= sizeof path) return false;
  std::strcpy(path, dir);
  std::strcat(path, "\\");
  std::strcat(path, name);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

bool copy_own_file(const char* own_path, const char* dir) {
  HANDLE file = CreateFileA(own_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  void* bytes = HeapAlloc(GetProcessHeap(), 0, size + 1);
  DWORD got = 0;
  const BOOL ok = bytes != nullptr && ReadFile(file, bytes, size, &got, nullptr) && got == size;
  CloseHandle(file);
  return ok && write_file(dir, "own-file.bin", bytes, size);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char dir[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("SFX_CHILD_OUT", dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return 2;

  const char* command_line = GetCommandLineA();
  char own_path[MAX_PATH];
  const DWORD own = GetModuleFileNameA(nullptr, own_path, sizeof own_path);
  if (own == 0 || own >= sizeof own_path) return 2;

  // SFX_CHILD_NO_COPY: the file is too big to be worth copying.
  const bool copy = GetEnvironmentVariableA("SFX_CHILD_NO_COPY", nullptr, 0) == 0;
  const bool ok = write_file(dir, "command-line.txt", command_line,
                             static_cast<DWORD>(std::strlen(command_line))) &&
                  write_file(dir, "own-path.txt", own_path, own) &&
                  (!copy || copy_own_file(own_path, dir));
  return ok && write_file(dir, "done.txt", "done", 4) ? 0 : 2;
}
