// The installer the wine tests pack: started by the launcher with the launcher's own path as its
// argument, it writes its command line to that path + ".report", and exits.
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 2) return 2;
  char path[MAX_PATH * 2];
  std::snprintf(path, sizeof path, "%s.report", __argv[1]);
  std::FILE* report = std::fopen(path, "w");
  if (report == nullptr) return 3;
  std::fprintf(report, "%s\n", GetCommandLineA());
  return std::fclose(report) == 0 ? 0 : 4;
}
