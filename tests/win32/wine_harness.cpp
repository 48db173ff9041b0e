#include "wine_harness.h"

#include <algorithm>

#include <cstring>

#include "codec.h"

std::wstring wide(const std::string& utf8_text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8_text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8_text.c_str(), -1, &out[0], n);
  out.resize(out.size() - 1);
  return out;
}

std::string utf8(const std::wstring& wide_text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide_text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide_text.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

namespace {

// The path for a wide call: long ones get the prefix that lifts the usual length limit.
std::wstring system_path(const std::string& path) {
  const std::wstring w = wide(path);
  return w.size() >= 240 && w.compare(0, 4, L"\\\\?\\") != 0 ? L"\\\\?\\" + w : w;
}

}  // namespace

std::string windows_path(const char* build_path) {
  std::string path = build_path;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;  // wine's drive for the Unix root
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

bool read_file(const std::string& path, Bytes* bytes) {
  HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  bytes->assign(size, 0);
  DWORD got = 0;
  const BOOL ok = size == 0 || ReadFile(file, bytes->data(), size, &got, nullptr);
  CloseHandle(file);
  return ok && got == size;
}

bool write_file(const std::string& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const BOOL ok = bytes.empty() ||
                  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(file);
  return ok && put == bytes.size();
}

bool file_exists(const std::string& path) {
  return GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_folder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(system_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> list_files(const std::string& dir, const char* pattern, bool folders) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(system_path(dir + "\\" + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = utf8(found.cFileName);
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder == folders && name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool remove_tree(const std::string& dir) {
  for (const std::string& name : list_files(dir, "*", true)) remove_tree(dir + "\\" + name);
  for (const std::string& name : list_files(dir, "*")) {
    const std::wstring path = system_path(dir + "\\" + name);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
  RemoveDirectoryW(system_path(dir).c_str());
  return !file_exists(dir);
}

namespace {

// The temporary directory as the tests found it: run_launcher sets TMP and TEMP for the launcher
// it runs, which would otherwise move every later scratch folder into an earlier one's.
const std::string& first_temp_dir() {
  static const std::string dir = [] {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return utf8(temp);
  }();
  return dir;
}

const std::string& FIRST_TEMP_DIR = first_temp_dir();

}  // namespace

ScratchFolder::ScratchFolder(const char* name) {
  path_ = FIRST_TEMP_DIR + "sfx-wine-" + std::to_string(GetCurrentProcessId()) + "-" + name;
  remove_tree(path_);
  CreateDirectoryW(system_path(path_).c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { remove_tree(path_); }

std::string ScratchFolder::make(const std::string& name) const {
  const std::string path = path_ + "\\" + name;
  CreateDirectoryW(system_path(path).c_str(), nullptr);
  return path;
}

Bytes make_payload(const Bytes& program, bool end_mark) {
  static CodecWorkspace workspace;
  Bytes payload(reinterpret_cast<const uint8_t*>("WOMBIXINSTALL"),
                reinterpret_cast<const uint8_t*>("WOMBIXINSTALL") + 13);
  Bytes block(encode_bound(PACK_CHUNK_BYTES));
  for (size_t at = 0; at < program.size(); at += PACK_CHUNK_BYTES) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(PACK_CHUNK_BYTES, program.size() - at));
    uint32_t length = 0;
    codec_run(CODEC_ENCODE, &workspace, program.data() + at, n, block.data(), &length,
              static_cast<uint32_t>(block.size()));
    payload.push_back(static_cast<uint8_t>(length >> 8));
    payload.push_back(static_cast<uint8_t>(length & 0xFF));
    payload.insert(payload.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length));
  }
  if (end_mark) {
    const char* mark = "KELVRA";
    payload.insert(payload.end(), mark, mark + 6);
  }
  return payload;
}

bool write_long_payload(const std::string& path, const Bytes& head, uint32_t zero_blocks) {
  const Bytes zeros(PACK_CHUNK_BYTES, 0);
  const Bytes framed = make_payload(zeros, false);  // the marker, then the one framed block
  HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  auto put = [&](const uint8_t* bytes, size_t n) {
    DWORD done = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(n), &done, nullptr) && done == n;
  };
  bool ok = put(head.data(), head.size());
  for (uint32_t i = 0; ok && i < zero_blocks; ++i) ok = put(framed.data() + 13, framed.size() - 13);
  ok = ok && put(reinterpret_cast<const uint8_t*>("KELVRA"), 6);
  return CloseHandle(file) && ok;
}

std::string quoted_if_blank(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

namespace {

struct WindowSearch {
  DWORD process_id;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_window(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->process_id) search->found.push_back(window);
  return TRUE;
}

// The top-level windows of a process, visible or not.
std::vector<HWND> windows_of(DWORD process_id) {
  WindowSearch search{process_id, {}};
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string window_text(HWND window) {
  wchar_t text[512] = L"";
  GetWindowTextW(window, text, 512);
  return utf8(text);
}

// Notes the launcher's visible windows by their captions, and reads a visible failure message
// box, if one is up (a dialog whose static text 0xFFFF is the message), and presses its OK button.
void look_at_windows(LauncherRun* run, DWORD process_id) {
  const std::vector<HWND> windows = windows_of(process_id);
  for (HWND window : windows) {
    if (!IsWindowVisible(window)) continue;
    const std::string caption = window_text(window);
    wchar_t text[512] = L"";
    GetDlgItemTextW(window, 0xFFFF, text, 512);
    const std::string message = utf8(text);
    if (message.rfind("Unable to load installation data.", 0) != 0) {
      if (std::find(run->titles_seen.begin(), run->titles_seen.end(), caption) == run->titles_seen.end())
        run->titles_seen.push_back(caption);
      continue;
    }
    if (!run->message_shown) {
      run->message_text = message;
      run->message_caption = caption;
      for (HWND other : windows)
        run->progress_visible_with_message |= other != window && IsWindowVisible(other);
    }
    run->message_shown = true;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
}

// Sends WM_NULL to each of the launcher's windows, shown or hidden, as the system does to tell a
// hung program.
void ping_windows(LauncherRun* run, DWORD process_id) {
  for (HWND window : windows_of(process_id)) {
    ++run->pings;
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1500, &result) != 0) {
      ++run->answers;
    } else if (IsWindow(window)) {
      ++run->ping_timeouts;
    }
  }
}

}  // namespace

namespace {

// Moves what the pipe holds into output, without waiting for more.
void drain(HANDLE pipe, std::string* output) {
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) return;
    output->append(buffer, got);
  }
}

LauncherRun launch(const std::string& launcher, const std::string& tail, const std::string& temp_dir,
                   const std::string& child_out, bool watch, WhileRunning while_running, void* context,
                   std::string* output) {
  LauncherRun run;
  SetEnvironmentVariableW(L"TMP", wide(temp_dir).c_str());
  SetEnvironmentVariableW(L"TEMP", wide(temp_dir).c_str());
  SetEnvironmentVariableW(L"SFX_CHILD_OUT", wide(child_out).c_str());

  std::wstring command_line = L"\"" + wide(launcher) + L"\"";
  if (!tail.empty()) command_line += L" " + wide(tail);
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  // With output, the launcher's standard output is a pipe, read while it runs.
  HANDLE pipe_read = nullptr;
  if (output != nullptr) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    if (!CreatePipe(&pipe_read, &startup.hStdOutput, &inherited, 0)) return run;
    SetHandleInformation(pipe_read, HANDLE_FLAG_INHERIT, 0);
    startup.dwFlags = STARTF_USESTDHANDLES;
  }
  PROCESS_INFORMATION process;
  run.started = CreateProcessW(wide(launcher).c_str(), &command_line[0], nullptr, nullptr, output != nullptr, 0,
                               nullptr, nullptr, &startup, &process) != 0;
  if (output != nullptr) CloseHandle(startup.hStdOutput);
  if (!run.started) {
    if (pipe_read != nullptr) CloseHandle(pipe_read);
    return run;
  }

  // A minute is far more than any of the tests' runs needs, even on a slow machine.
  const DWORD deadline = GetTickCount() + 60000;
  DWORD next_ping = GetTickCount();
  while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
    look_at_windows(&run, process.dwProcessId);
    if (pipe_read != nullptr) drain(pipe_read, output);
    if (while_running != nullptr) while_running(context);
    if (watch && static_cast<LONG>(GetTickCount() - next_ping) >= 0) {
      next_ping = GetTickCount() + 300;
      ping_windows(&run, process.dwProcessId);
    }
    if (static_cast<LONG>(GetTickCount() - deadline) > 0) break;
  }
  run.finished = WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
  if (!run.finished) TerminateProcess(process.hProcess, 99);
  GetExitCodeProcess(process.hProcess, &run.exit_status);
  if (pipe_read != nullptr) {
    drain(pipe_read, output);
    CloseHandle(pipe_read);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return run;
}

}  // namespace

LauncherRun run_launcher(const std::string& launcher, const std::string& tail,
                         const std::string& temp_dir, const std::string& child_out, bool watch,
                         WhileRunning while_running, void* context) {
  return launch(launcher, tail, temp_dir, child_out, watch, while_running, context, nullptr);
}

LauncherRun run_launcher_capturing(const std::string& launcher, const std::string& tail,
                                   const std::string& temp_dir, std::string* output) {
  output->clear();
  return launch(launcher, tail, temp_dir, temp_dir, false, nullptr, nullptr, output);
}

DWORD run_program(const std::string& program, const std::wstring& arguments) {
  std::wstring line = L"\"" + wide(program) + L"\" " + arguments;
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(wide(program).c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return 255;
  }
  WaitForSingleObject(process.hProcess, 120000);
  DWORD status = 255;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

bool wait_for_child(const std::string& child_out, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (!file_exists(child_out + "\\done.txt")) {
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(20);
  }
  return true;
}
