// The recording fake of the platform layer: see fake_platform.h.
#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstring>

#include "platform.h"
#include "temp_names.h"

namespace fake {

namespace {

Platform* instance = nullptr;

void log(const std::string& line) { platform().calls.push_back(line); }

void fail_with(int fault, const char* reason) {
  platform().last_fault = fault;
  platform().last_reason = reason;
}

bool copy_out(const std::string& text, char* buffer, uint32_t capacity) {
  if (text.size() + 1 > capacity) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

bool is_unopenable(const std::string& path) {
  const auto& list = platform().unopenable;
  return std::find(list.begin(), list.end(), path) != list.end();
}

OpenFile* find_open(int fd) {
  auto& open = platform().open_files;
  const auto it = open.find(fd);
  return it == open.end() ? nullptr : &it->second;
}

}  // namespace

Platform& platform() {
  if (instance == nullptr) instance = new Platform();
  return *instance;
}

void reset() { platform() = Platform(); }  // in place: references to the instance stay good

int Platform::call_index(const std::string& prefix, int from) const {
  for (size_t i = static_cast<size_t>(from); i < calls.size(); ++i) {
    if (calls[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  }
  return -1;
}

int Platform::call_count(const std::string& prefix) const {
  int count = 0;
  for (const auto& call : calls) count += call.compare(0, prefix.size(), prefix) == 0;
  return count;
}

}  // namespace fake

using fake::platform;

bool platform_own_path(char* path, uint32_t capacity) {
  fake::log("own_path");
  if (platform().own_path_fails) fake::fail_with(FAULT_OTHER, "no path");
  return !platform().own_path_fails && fake::copy_out(platform().own_path, path, capacity);
}

bool platform_temp_dir(char* dir, uint32_t capacity) {
  fake::log("temp_dir");
  return !platform().temp_dir_fails && fake::copy_out(platform().temp_dir, dir, capacity);
}

int platform_create_temp_file(const char* dir, TempFileKind kind, char* path, uint32_t capacity) {
  fake::log(std::string("create_temp_file ") + dir);
  auto& p = platform();
  if (p.make_temp_fails) return fake::fail_with(FAULT_DENIED, "Permission denied"), PLATFORM_NO_FILE;
  const std::string number = std::to_string(p.next_temp_number++);
  const std::string folder = std::string(dir) + "SFX" + number + "/";
  const std::string made = folder + "EXE" + number + (kind == TEMP_MSI_PACKAGE ? ".msi" : ".tmp");
  p.temp_file_guarded = true;
  if (!fake::copy_out(made, path, capacity)) return PLATFORM_NO_FILE;
  p.folders.push_back(folder);
  p.files[made];  // new and empty
  p.temp_files.push_back(made);
  const int fd = p.next_fd++;
  p.open_files[fd] = fake::OpenFile{made, 0, true, false};
  return fd;
}

bool platform_remove_temp_file(const char* path) {
  fake::log(std::string("remove_temp_file ") + path);
  auto& p = platform();
  if (p.unlink_failures < 0) return false;
  if (p.unlink_failures > 0) {
    --p.unlink_failures;
    return false;
  }
  if (p.files.erase(path) == 0) return false;
  p.unlinked.push_back(path);
  p.temp_file_guarded = false;
  const std::string name = path;
  const std::string folder = name.substr(0, name.rfind('/') + 1);
  const auto it = std::find(p.folders.begin(), p.folders.end(), folder);
  const bool empty = std::none_of(p.files.begin(), p.files.end(), [&](const auto& file) {
    return file.first.compare(0, folder.size(), folder) == 0;
  });
  if (it != p.folders.end() && empty) {
    p.folders.erase(it);
    p.removed_folders.push_back(folder);
  }
  return true;
}

// The Windows form of the file; the fake's folders (SFX<N>) are "SFX" and digits.
bool platform_is_temp_file_path(const char* path, const char* temp_dir) {
  return is_temp_file_in(
      path, temp_dir,
      [](const char* folder) {
        return std::strncmp(folder, "SFX", 3) == 0 && folder[3] != '\0' &&
               std::strspn(folder + 3, "0123456789") == std::strlen(folder + 3);
      },
      is_windows_temp_file_name, true);
}

void platform_interrupt_status(int status) { platform().interrupt_status = status; }

void platform_release_temp_file() {
  fake::log("release_temp_file");
  platform().temp_file_guarded = false;
}

bool platform_run_and_wait(const RunRequest* request, uint32_t* status) {
  const char* program = request->program;
  const bool in_folder = request->working_dir != nullptr;
  fake::log(std::string(in_folder ? "run_in_folder_and_wait " : "run_and_wait ") + program);
  auto& p = platform();
  fake::Run run{program, request->tail, request->own_path, in_folder ? request->working_dir : "",
                request->kind == TEMP_MSI_PACKAGE || request->kind == TEMP_MSI_PATCH, {}, false, "", "", 0};
  run.private_folder = request->private_folder != nullptr ? request->private_folder : "";
  run.action = request->action != nullptr ? std::string(request->action, request->action_length) : "";
  run.kind = request->kind;
  const auto it = p.files.find(program);
  if (it != p.files.end()) run.program_bytes = it->second;
  for (const auto& open : p.open_files) run.program_locked |= open.second.path == program && open.second.locked;
  for (const int fd : p.held) {
    if (const fake::OpenFile* open = fake::find_open(fd)) p.held_at_run.push_back(open->path);
  }
  p.runs.push_back(run);
  if (p.start_fails || it == p.files.end()) {
    fake::fail_with(FAULT_OTHER, "the file is not a program");
    return false;
  }
  *status = p.run_status;
  if (request->release_held) platform_release_held();
  return true;
}

bool platform_desktop_visible() { return platform().desktop_visible; }

bool platform_text(uint32_t id, char* text, uint32_t capacity) {
  const auto it = platform().texts.find(id);
  return it != platform().texts.end() && fake::copy_out(it->second, text, capacity);
}

void platform_chdir_root() {
  fake::log("chdir_root");
  platform().working_dir = "/";
}

int platform_open_read(const char* path) {
  fake::log(std::string("open_read ") + path);
  auto& p = platform();
  if (fake::is_unopenable(path) || p.files.count(path) == 0) {
    fake::fail_with(FAULT_MISSING, "No such file or directory");
    return PLATFORM_NO_FILE;
  }
  const int fd = p.next_fd++;
  p.open_files[fd] = fake::OpenFile{path, 0, false, false};
  return fd;
}

int platform_open_locked(const char* path) {
  fake::log(std::string("open_locked ") + path);
  auto& p = platform();
  if (p.before_lock && p.files.count(path) != 0) p.before_lock(p.files[path]);
  if (p.lock_fails || fake::is_unopenable(path) || p.files.count(path) == 0) return PLATFORM_NO_FILE;
  for (const auto& open : p.open_files) {
    if (open.second.path == path && open.second.for_write) return PLATFORM_NO_FILE;
  }
  const int fd = p.next_fd++;
  p.open_files[fd] = fake::OpenFile{path, 0, false, true};
  return fd;
}

int32_t platform_read(int fd, void* buffer, uint32_t n) {
  fake::log("read " + std::to_string(fd) + " " + std::to_string(n));
  auto& p = platform();
  fake::OpenFile* file = fake::find_open(fd);
  if (file == nullptr || file->for_write) return -1;
  const std::vector<uint8_t>& bytes = p.files[file->path];
  uint64_t end = bytes.size();
  if (p.read_fails_at >= 0 && file->path == p.own_path) {
    const auto fail_at = static_cast<uint64_t>(p.read_fails_at);
    if (file->position >= fail_at) return -1;
    end = std::min(end, fail_at);
  }
  const uint64_t available = end > file->position ? end - file->position : 0;
  const auto got = static_cast<uint32_t>(std::min<uint64_t>(n, available));
  if (got > 0) std::memcpy(buffer, bytes.data() + file->position, got);
  file->position += got;
  return static_cast<int32_t>(got);
}

int32_t platform_write(int fd, const void* buffer, uint32_t n) {
  fake::log("write " + std::to_string(fd) + " " + std::to_string(n));
  auto& p = platform();
  p.writes.push_back(n);
  fake::OpenFile* file = fake::find_open(fd);
  if (file == nullptr || !file->for_write) return -1;
  uint32_t put = n;
  if (p.disk_space >= 0) {
    put = static_cast<uint32_t>(std::min<int64_t>(n, p.disk_space));
    p.disk_space -= put;
    if (put < n) fake::fail_with(FAULT_FULL, "No space left on device");
  }
  std::vector<uint8_t>& bytes = p.files[file->path];
  const auto* from = static_cast<const uint8_t*>(buffer);
  bytes.resize(static_cast<size_t>(std::max<uint64_t>(bytes.size(), file->position + put)));
  std::copy(from, from + put, bytes.begin() + static_cast<std::ptrdiff_t>(file->position));
  file->position += put;
  return static_cast<int32_t>(put);
}

int64_t platform_file_size(int fd) {
  fake::log("file_size " + std::to_string(fd));
  auto& p = platform();
  const fake::OpenFile* file = fake::find_open(fd);
  if (file == nullptr || p.file_size_fails) return -1;
  return static_cast<int64_t>(p.files[file->path].size());
}

bool platform_close(int fd) {
  fake::log("close " + std::to_string(fd));
  auto& p = platform();
  const fake::OpenFile* file = fake::find_open(fd);
  if (file == nullptr) return false;
  const bool ok = !(file->for_write && p.close_write_fails);
  if (!ok) fake::fail_with(FAULT_OTHER, "Input/output error");
  p.open_files.erase(fd);  // a descriptor is gone after close, even when close reports failure
  return ok;
}

bool platform_start(const char* program, const char* arg0, const char* arg1) {
  fake::log(std::string("start ") + program + " " + arg0 + " " + arg1);
  auto& p = platform();
  fake::Start start{program, arg0, arg1, {}, false, false};
  const auto it = p.files.find(program);
  if (it != p.files.end()) start.program_bytes = it->second;
  for (const auto& open : p.open_files) {
    if (open.second.path != program) continue;
    start.program_open_for_write |= open.second.for_write;
    start.program_locked |= open.second.locked;
  }
  p.starts.push_back(start);
  if (p.start_fails || it == p.files.end()) fake::fail_with(FAULT_OTHER, "the file is not a program");
  return !p.start_fails && it != p.files.end();
}

void platform_sleep_ms(uint32_t milliseconds) {
  fake::log("sleep " + std::to_string(milliseconds));
  platform().clock_ms += milliseconds;
}

void platform_progress_show() {
  fake::log("progress_show");
  platform().window_visible = true;
  ++platform().window_shows;
}

void platform_progress_fill(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  fake::log("progress_fill " + std::to_string(left) + " " + std::to_string(top) + " " +
            std::to_string(right) + " " + std::to_string(bottom));
  platform().fills.push_back(fake::Fill{left, top, right, bottom});
  if (platform().on_fill) platform().on_fill();
}

// Counted, not logged: it comes once per block.
void platform_progress_poll() { ++platform().polls; }

void platform_progress_hide() {
  fake::log("progress_hide");
  platform().window_visible = false;
}

void platform_progress_release() { fake::log("progress_release"); }

void platform_show_message(const char* caption, const char* text) {
  fake::log("message");
  platform().messages.push_back(std::string(caption) + "|" + text);
}

// ---- bundles ----------------------------------------------------------------------------------

bool platform_create_temp_folder(const char* dir, char* path, uint32_t capacity) {
  fake::log(std::string("create_temp_folder ") + dir);
  auto& p = platform();
  if (p.make_temp_fails) return false;
  const std::string folder = std::string(dir) + "SFX" + std::to_string(p.next_temp_number++);
  if (!fake::copy_out(folder, path, capacity)) return false;
  p.folders.push_back(folder + "/");
  return true;
}

bool platform_interrupted() { return false; }

void platform_end_interrupted() { std::abort(); }  // no test interrupts the fake

bool platform_make_folder(const char* path) {
  fake::log(std::string("make_folder ") + path);
  auto& p = platform();
  const std::string folder = std::string(path) + "/";
  if (p.files.count(path) != 0 || std::find(p.made_folders.begin(), p.made_folders.end(), folder) != p.made_folders.end()) {
    fake::fail_with(FAULT_OTHER, "Cannot create a file when that file already exists");
    return false;
  }
  p.made_folders.push_back(folder);
  return true;
}

int platform_create_file(const char* path, bool executable) {
  fake::log(std::string("create_file ") + path);
  auto& p = platform();
  if (fake::is_unopenable(path) || p.files.count(path) != 0 ||
      std::find(p.made_folders.begin(), p.made_folders.end(), std::string(path) + "/") != p.made_folders.end())
    return PLATFORM_NO_FILE;
  p.files[path];
  if (executable) p.executables.push_back(path);
  const int fd = p.next_fd++;
  p.open_files[fd] = fake::OpenFile{path, 0, true, false};
  return fd;
}

bool platform_hold(int fd) {
  platform().held.push_back(fd);
  return fake::find_open(fd) != nullptr;
}

void platform_release_held() {
  auto& p = platform();
  for (const int fd : p.held) p.open_files.erase(fd);
  p.held.clear();
}

bool platform_remove_tree(const char* path) {
  fake::log(std::string("remove_tree ") + path);
  auto& p = platform();
  const std::string prefix = std::string(path) + "/";
  for (auto it = p.files.begin(); it != p.files.end();) it = it->first.rfind(prefix, 0) == 0 ? p.files.erase(it) : std::next(it);
  p.made_folders.erase(std::remove_if(p.made_folders.begin(), p.made_folders.end(),
                                      [&](const std::string& f) { return f.rfind(prefix, 0) == 0; }),
                       p.made_folders.end());
  p.folders.erase(std::remove(p.folders.begin(), p.folders.end(), prefix), p.folders.end());
  p.removed_trees.push_back(path);
  return true;
}


PlatformFault platform_last_fault(char* reason, uint32_t capacity) {
  auto& p = platform();
  if (!fake::copy_out(p.last_reason, reason, capacity) && capacity > 0) reason[0] = '\0';
  return static_cast<PlatformFault>(p.last_fault);
}

const char* platform_temp_dir_variable() {
  const auto& v = platform().temp_dir_variable;
  return v.empty() ? nullptr : v.c_str();
}

bool platform_folder_runs_programs(const char* dir) {
  const auto& n = platform().noexec_dirs;
  return std::find(n.begin(), n.end(), std::string(dir)) == n.end();
}

bool platform_fallback_temp_dir(uint32_t index, char* dir, uint32_t capacity) {
  const auto& f = platform().fallback_dirs;
  return index < f.size() && fake::copy_out(f[index], dir, capacity);
}

bool platform_print(const char* text) {
  fake::log("print");
  auto& p = platform();
  if (!p.has_console) return false;
  p.printed += text;
  return true;
}

bool platform_full_path(const char* path, char* out, uint32_t capacity) {
  const std::string full = path[0] == '/' ? std::string(path) : platform().working_dir + "/" + path;
  return fake::copy_out(full, out, capacity);
}

bool platform_folder_is_empty(const char* path) {
  auto& p = platform();
  const std::string prefix = std::string(path) + "/";
  const bool exists = std::find(p.made_folders.begin(), p.made_folders.end(), prefix) != p.made_folders.end();
  if (!exists) return false;
  for (const auto& f : p.files) {
    if (f.first.rfind(prefix, 0) == 0) return false;
  }
  for (const auto& f : p.made_folders) {
    if (f != prefix && f.rfind(prefix, 0) == 0) return false;
  }
  return true;
}

bool platform_copy_origin_mark(const char* own_path, const char* path) {
  platform().origin_marks[path] = own_path;
  return true;
}
