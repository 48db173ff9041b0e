// The program of a bundle that plants a link in its own private folder, as a hostile or careless
// installer might: inner\link, a link to the folder SFX_BUNDLE_LINK_TARGET names (outside the
// bundle), so that the launcher's removal of the folder can be seen never to follow it. Wine 8
// makes no reparse points, but shows a Unix symbolic link to a folder as one: the link is made by
// the system's ln, which wine starts as a Unix program. Exits 0 once the link is there, 3 if not.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using UnixNameFn = char*(CDECL*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixNameFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  wchar_t own[MAX_PATH];
  wchar_t target[MAX_PATH];
  if (unix_name == nullptr || GetModuleFileNameW(nullptr, own, MAX_PATH) >= MAX_PATH ||
      GetEnvironmentVariableW(L"SFX_BUNDLE_LINK_TARGET", target, MAX_PATH) == 0) {
    return 3;
  }
  std::wstring link(own);
  link.resize(link.rfind(L'\\'));
  link += L"\\inner";
  CreateDirectoryW(link.c_str(), nullptr);
  link += L"\\link";
  // The scratch paths are ASCII.
  const std::string line = std::string("ln -s \"") + unix_name(target) + "\" \"" + unix_name(link.c_str()) + "\"";
  std::wstring wide_line(line.begin(), line.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(L"Z:\\bin\\ln", &wide_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 3;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Wine does not wait for a Unix program through its handle: the link is looked for instead.
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  for (int i = 0; i < 300 && attributes == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(20);
    attributes = GetFileAttributesW(link.c_str());
  }
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? 0 : 3;
}
