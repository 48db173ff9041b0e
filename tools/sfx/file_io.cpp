// Input and output files: descriptors, all-or-nothing outputs, removal of a half-written output
// when the process is interrupted.
#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool_error.h"

std::string errno_text(int error_number) { return std::strerror(error_number); }

bool is_std_stream(const std::string& name) { return name == "-"; }

std::string input_display_name(const std::string& name) {
  return is_std_stream(name) ? "(stdin)" : name;
}

std::string output_display_name(const std::string& name) {
  return is_std_stream(name) ? "(stdout)" : name;
}

namespace {

constexpr size_t OUTPUT_BUFFER_BYTES = 256 * 1024;

// The temporary file being written, for the signal handler: one output at a time is open.
// The path is copied here before the handler may look at it, and the flag set after.
char interrupted_temp_path[4096];
volatile std::sig_atomic_t interrupted_temp_active = 0;

extern "C" void remove_temp_and_die(int signal_number) {
  if (interrupted_temp_active) unlink(interrupted_temp_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_signal_cleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = remove_temp_and_die;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

void guard_temp(const std::string& path) {
  if (path.size() >= sizeof interrupted_temp_path) return;  // too long to guard; rare
  interrupted_temp_active = 0;
  std::memcpy(interrupted_temp_path, path.c_str(), path.size() + 1);
  interrupted_temp_active = 1;
}

void unguard_temp() { interrupted_temp_active = 0; }

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t current_umask() {
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

}  // namespace

// ---- InputFile ---------------------------------------------------------------------------------

InputFile::InputFile(const std::string& name, bool refuse_terminal)
    : display_name_(input_display_name(name)) {
  if (is_std_stream(name)) {
    fd_ = STDIN_FILENO;
    if (refuse_terminal && isatty(fd_))
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "refusing to read binary data from a terminal");
  } else {
    do fd_ = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
    owned_ = true;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
  if (S_ISDIR(st.st_mode)) throw ToolError(SFX_EXIT_USAGE, display_name_, "is a directory");
  device_ = st.st_dev;
  inode_ = st.st_ino;
  if (S_ISREG(st.st_mode)) {
    // stdin may be a file opened part-way; the offsets the reader reports are then relative to
    // where it stands, and so is the size.
    const off_t here = lseek(fd_, 0, SEEK_CUR);
    size_ = static_cast<int64_t>(st.st_size) - (here > 0 ? static_cast<int64_t>(here) : 0);
  }
}

InputFile::~InputFile() {
  if (owned_) close(fd_);
}

size_t InputFile::read_full(uint8_t* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = read(fd_, buffer + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void InputFile::make_seekable() {
  if (size_ >= 0 && lseek(fd_, 0, SEEK_CUR) == 0) return;
  std::FILE* spool = std::tmpfile();
  if (spool == nullptr)
    throw ToolError(SFX_EXIT_USAGE, display_name_,
                    "cannot make a temporary copy: " + errno_text(errno));
  // The stream's descriptor lives as long as the process; the unnamed file goes with it.
  const int spool_fd = dup(fileno(spool));
  std::fclose(spool);
  if (spool_fd < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
  std::vector<uint8_t> chunk(OUTPUT_BUFFER_BYTES);
  int64_t total = 0;
  for (;;) {
    const size_t got = read_full(chunk.data(), chunk.size());
    if (got == 0) break;
    size_t put = 0;
    while (put < got) {
      const ssize_t n = write(spool_fd, chunk.data() + put, got - put);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int error_number = errno;
        close(spool_fd);
        throw ToolError(SFX_EXIT_USAGE, display_name_,
                        "cannot make a temporary copy: " + errno_text(error_number));
      }
      put += static_cast<size_t>(n);
    }
    total += static_cast<int64_t>(got);
  }
  lseek(spool_fd, 0, SEEK_SET);
  if (owned_) close(fd_);
  fd_ = spool_fd;
  owned_ = true;
  size_ = total;
}

void InputFile::read_at(int64_t offset, uint8_t* buffer, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(fd_, buffer + done, n - done, static_cast<off_t>(offset) +
                                                                static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
    if (got == 0) throw ToolError(SFX_EXIT_USAGE, display_name_, "changed while being read");
    done += static_cast<size_t>(got);
  }
}

bool same_file(const std::string& output_name, const InputFile& input) {
  if (is_std_stream(output_name)) return false;
  struct stat st;
  if (stat(output_name.c_str(), &st) != 0) return false;
  return st.st_dev == input.device() && st.st_ino == input.inode();
}

std::vector<uint8_t> read_whole_file(const std::string& name) {
  InputFile input(name, false);
  std::vector<uint8_t> data;
  if (input.size() > 0) data.reserve(static_cast<size_t>(input.size()));
  std::vector<uint8_t> chunk(OUTPUT_BUFFER_BYTES);
  for (;;) {
    const size_t got = input.read_full(chunk.data(), chunk.size());
    data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < chunk.size()) break;
  }
  return data;
}

// ---- OutputFile --------------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& name, bool force, mode_t mode, bool exact_mode)
    : name_(name),
      display_name_(output_display_name(name)),
      force_(force),
      mode_(exact_mode ? mode : (mode & ~current_umask())) {
  buffer_.reserve(OUTPUT_BUFFER_BYTES);
  if (is_std_stream(name)) {
    direct_ = true;
    fd_ = STDOUT_FILENO;
  } else {
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
      // A device or a pipe (/dev/null, a named pipe) is written as it is: there is nothing to
      // replace, and renaming over it would put a plain file in its place.
      do fd_ = open(name.c_str(), O_WRONLY | O_CLOEXEC);
      while (fd_ < 0 && errno == EINTR);
      if (fd_ < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
      direct_ = true;
      owns_fd_ = true;
    }
  }
  if (direct_) {
    if (isatty(fd_))
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "refusing to write binary data to a terminal (use -o FILE, or a pipe)");
    return;
  }
  struct stat st;
  if (lstat(name.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw ToolError(SFX_EXIT_USAGE, display_name_, "is a directory");
    if (!force) throw ToolError(SFX_EXIT_USAGE, display_name_, "already exists (use -f to overwrite)");
  }
  install_signal_cleanup();
  std::string pattern = directory_of(name) + "/." + base_of(name) + ".sfx-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  fd_ = mkostemp(path.data(), O_CLOEXEC);
  if (fd_ < 0)
    throw ToolError(SFX_EXIT_USAGE, display_name_,
                    "cannot create a file in " + directory_of(name) + ": " + errno_text(errno));
  temp_path_ = path.data();
  guard_temp(temp_path_);
}

OutputFile::~OutputFile() {
  if (owns_fd_ && fd_ >= 0) close(fd_);
  if (!committed_) discard();
}

void OutputFile::discard() noexcept {
  if (direct_ || fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  unlink(temp_path_.c_str());
  unguard_temp();
}

void OutputFile::write(const uint8_t* data, size_t n) {
  if (buffer_.size() + n > OUTPUT_BUFFER_BYTES) flush();
  if (n >= OUTPUT_BUFFER_BYTES) {
    write_all(data, n);
    return;
  }
  buffer_.insert(buffer_.end(), data, data + n);
}

void OutputFile::flush() {
  write_all(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void OutputFile::write_all(const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t put = ::write(fd_, data + done, n - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
    done += static_cast<size_t>(put);
  }
  bytes_written_ += n;
}

void OutputFile::commit() {
  flush();
  if (direct_) {
    committed_ = true;
    return;
  }
  if (fchmod(fd_, mode_) != 0 || fsync(fd_) != 0)
    throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(errno));
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    const int error_number = errno;
    unlink(temp_path_.c_str());
    unguard_temp();
    throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(error_number));
  }
  // Without force, link() refuses a file that appeared meanwhile, where rename() would replace
  // it. File systems without hard links fall back to rename().
  if (!force_) {
    if (link(temp_path_.c_str(), name_.c_str()) == 0) {
      unlink(temp_path_.c_str());
      unguard_temp();
      committed_ = true;
      return;
    }
    const int error_number = errno;
    if (error_number == EEXIST || (error_number != EPERM && error_number != ENOTSUP &&
                                   error_number != EXDEV && error_number != EMLINK)) {
      unlink(temp_path_.c_str());
      unguard_temp();
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      error_number == EEXIST ? "already exists (use -f to overwrite)"
                                             : errno_text(error_number));
    }
  }
  if (rename(temp_path_.c_str(), name_.c_str()) != 0) {
    const int error_number = errno;
    unlink(temp_path_.c_str());
    unguard_temp();
    throw ToolError(SFX_EXIT_USAGE, display_name_, errno_text(error_number));
  }
  unguard_temp();
  committed_ = true;
}
