// Input and output files over the system layer (os_files.h): buffering, "-" for the standard
// streams, and all-or-nothing outputs.
#include "file_io.h"

#include <cerrno>

#include "tool_error.h"

bool is_std_stream(const std::string& name) { return name == "-"; }

std::string input_display_name(const std::string& name) {
  return is_std_stream(name) ? "(stdin)" : name;
}

std::string output_display_name(const std::string& name) {
  return is_std_stream(name) ? "(stdout)" : name;
}

namespace {

constexpr size_t IO_BUFFER_BYTES = 256 * 1024;

}  // namespace

// ---- InputFile ---------------------------------------------------------------------------------

InputFile::InputFile(const std::string& name, bool refuse_terminal)
    : display_name_(input_display_name(name)) {
  if (is_std_stream(name)) {
    fd_ = OS_STDIN;
    if (refuse_terminal && os_is_terminal(fd_))
      throw ToolError(SFX_EXIT_USAGE, display_name_, "refusing to read binary data from a terminal");
  } else {
    fd_ = os_open_read(name);
    if (fd_ < 0) {
      const int error_number = os_last_error();
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      error_number == EISDIR ? "is a directory" : os_error_text(error_number));
    }
    owned_ = true;
  }
  if (!os_info_of_fd(fd_, &info_)) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
  if (info_.kind == OsFileKind::DIRECTORY) throw ToolError(SFX_EXIT_USAGE, display_name_, "is a directory");
  if (info_.kind == OsFileKind::REGULAR) {
    // stdin may be a file opened part-way; offsets the reader reports are then relative to
    // where it stands, and so is the size.
    start_ = os_tell(fd_);
    if (start_ < 0) start_ = 0;
    size_ = info_.size - start_;
  }
}

InputFile::InputFile(OutputFile& scratch, const std::string& display_name) : display_name_(display_name) {
  scratch.flush();
  fd_ = scratch.fd_;
  if (!os_info_of_fd(fd_, &info_)) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
  start_ = 0;
  size_ = info_.size;
  rewind();
}

InputFile::~InputFile() {
  if (owned_) os_close(fd_);
}

size_t InputFile::read_full(uint8_t* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const int64_t got = os_read(fd_, buffer + done, n - done);
    if (got < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t InputFile::read_at(uint64_t offset, uint8_t* buffer, size_t n) {
  if (start_ < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, "cannot be read again");
  size_t done = 0;
  while (done < n) {
    const int64_t got = os_read_at(fd_, start_ + static_cast<int64_t>(offset + done), buffer + done, n - done);
    if (got < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void InputFile::check_unchanged(uint64_t bytes_read) const {
  if (info_.kind != OsFileKind::REGULAR) return;
  OsFileInfo now;
  if (!os_info_of_fd(fd_, &now))
    throw ToolError(SFX_EXIT_USAGE, display_name_,
                    "cannot tell whether it changed while it was read: " + os_error_text(os_last_error()) +
                        "; nothing was written");
  // Each change the file shows, in the order a reader would look for them.
  std::string changes;
  const auto add = [&changes](const std::string& change) { changes += (changes.empty() ? "" : "; ") + change; };
  const std::string opened = std::to_string(size_) + " bytes when it was opened";
  if (now.size != info_.size)
    add(opened + ", " + std::to_string(now.size - (info_.size - size_)) + " now");
  else if (size_ > 0 && bytes_read != static_cast<uint64_t>(size_))
    add(opened + ", " + std::to_string(bytes_read) + " read");
  if (now.modified != info_.modified) {
    const bool size_kept = changes.empty();
    add("its modification time changed");
    if (size_kept) add("its size, " + std::to_string(size_) + " bytes, did not");
  }
  if (!changes.empty())
    throw ToolError(SFX_EXIT_USAGE, display_name_, "changed while it was read (" + changes + "); nothing was written");
}

namespace {

int32_t read_input(void* context, uint8_t* buffer, uint32_t n) {
  const int64_t got = os_read(*static_cast<const int*>(context), buffer, n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n);
  return static_cast<int32_t>(got);
}

}  // namespace

ByteSource InputFile::byte_source() { return ByteSource{read_input, &fd_}; }

void InputFile::rewind() {
  if (start_ < 0 || !os_seek(fd_, start_))
    throw ToolError(SFX_EXIT_USAGE, display_name_, "cannot read it again: " + os_error_text(os_last_error()));
}

void InputFile::spool() {
  if (can_rewind()) return;
  std::string folder;
  const int scratch = os_scratch_file(&folder);
  if (scratch < 0)
    throw ToolError(SFX_EXIT_USAGE, display_name_,
                    "cannot make a temporary copy in " + folder + ": " + os_error_text(os_last_error()));
  std::vector<uint8_t> chunk(IO_BUFFER_BYTES);
  int64_t total = 0;
  for (;;) {
    size_t got = 0;
    try {
      got = read_full(chunk.data(), chunk.size());
    } catch (...) {
      os_close(scratch);
      throw;
    }
    if (got == 0) break;
    if (!os_write_all(scratch, chunk.data(), got)) {
      const int error_number = os_last_error();
      os_close(scratch);
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "cannot make a temporary copy in " + folder + ": " + os_error_text(error_number));
    }
    total += static_cast<int64_t>(got);
  }
  if (owned_) os_close(fd_);
  fd_ = scratch;
  owned_ = true;
  start_ = 0;
  size_ = total;
  rewind();
}

bool same_file(const std::string& output_name, const InputFile& input) {
  if (is_std_stream(output_name)) return false;
  OsFileInfo output;
  if (!os_info_of_path(output_name, &output) || output.kind != OsFileKind::REGULAR) return false;
  return input.info().kind == OsFileKind::REGULAR && output.device == input.info().device &&
         output.file == input.info().file;
}

// ---- OutputFile --------------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& name, bool force, unsigned mode, bool durable)
    : name_(name), display_name_(output_display_name(name)), force_(force), durable_(durable), mode_(mode) {
  buffer_.reserve(IO_BUFFER_BYTES);
  OsFileInfo existing;
  if (is_std_stream(name)) {
    direct_ = true;
    fd_ = OS_STDOUT;
  } else if (os_info_of_path(name, &existing) && existing.kind == OsFileKind::DEVICE_OR_PIPE) {
    // A device or a pipe (/dev/null, a named pipe) is written as it is: there is nothing to
    // replace, and moving a file over it would put a plain file in its place.
    fd_ = os_open_write_existing(name);
    if (fd_ < 0) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
    direct_ = true;
    owns_fd_ = true;
  }
  if (direct_) {
    if (os_is_terminal(fd_))
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "refusing to write binary data to a terminal (use -o FILE, or a pipe)");
    return;
  }
  if (!os_info_of_link(name, &existing)) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
  if (existing.kind == OsFileKind::DIRECTORY) throw ToolError(SFX_EXIT_USAGE, display_name_, "is a directory");
  if (existing.kind != OsFileKind::MISSING && !force)
    throw ToolError(SFX_EXIT_USAGE, display_name_, "already exists (use -f to overwrite)");
  fd_ = os_create_temp_beside(name, &temp_path_);
  if (fd_ < 0) {
    size_t cut = name.size();
    while (cut > 0 && !os_is_separator(name[cut - 1])) --cut;
    const std::string folder = cut == 0 ? "." : name.substr(0, cut == 1 ? 1 : cut - 1);
    throw ToolError(SFX_EXIT_USAGE, display_name_,
                    "cannot create a file in " + folder + ": " + os_error_text(os_last_error()));
  }
}

OutputFile::OutputFile(Scratch)
    : display_name_("a temporary copy"), force_(false), owns_fd_(true), committed_(true), mode_(0) {
  buffer_.reserve(IO_BUFFER_BYTES);
  std::string folder;
  fd_ = os_scratch_file(&folder);
  display_name_ = "a temporary copy in " + folder;
  if (fd_ < 0) throw ToolError(SFX_EXIT_USAGE, "", "cannot make " + display_name_ + ": " + os_error_text(os_last_error()));
}

size_t OutputFile::read_at(uint64_t offset, uint8_t* data, size_t n) {
  flush();
  size_t done = 0;
  while (done < n) {
    const int64_t got = os_read_at(fd_, static_cast<int64_t>(offset + done), data + done, n - done);
    if (got < 0) fail(os_last_error());
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void OutputFile::copy_into(OutputFile& target) {
  std::vector<uint8_t> chunk(IO_BUFFER_BYTES);
  for (uint64_t at = 0;;) {
    const size_t got = read_at(at, chunk.data(), chunk.size());
    if (got == 0) break;
    target.write(chunk.data(), got);
    at += got;
  }
}

OutputFile::~OutputFile() {
  if (owns_fd_ && fd_ >= 0) os_close(fd_);
  if (!committed_) discard();
}

void OutputFile::discard() noexcept {
  if (direct_ || temp_path_.empty()) return;
  if (fd_ >= 0) os_close(fd_);
  fd_ = -1;
  os_remove(temp_path_);
  os_forget_temp();
  temp_path_.clear();
}

void OutputFile::fail(int error_number) {
  discard();
  throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(error_number));
}

void OutputFile::write(const uint8_t* data, size_t n) {
  if (buffer_.size() + n > IO_BUFFER_BYTES) flush();
  if (n >= IO_BUFFER_BYTES) {
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
  if (!os_write_all(fd_, data, n)) fail(os_last_error());
  bytes_written_ += n;
}

void OutputFile::write_at(uint64_t offset, const uint8_t* data, size_t n) {
  flush();
  if (!os_write_at(fd_, static_cast<int64_t>(offset), data, n)) fail(os_last_error());
}

void OutputFile::commit() {
  flush();
  if (direct_) {
    committed_ = true;
    return;
  }
  if (!os_finish_file(fd_, mode_, durable_)) fail(os_last_error());
  const int fd = fd_;
  fd_ = -1;
  if (!os_close(fd)) fail(os_last_error());
  bool exists = false;
  if (!os_move_into_place(temp_path_, name_, force_, durable_, &exists)) {
    const int error_number = os_last_error();
    discard();
    throw ToolError(SFX_EXIT_USAGE, display_name_,
                    exists ? "already exists (use -f to overwrite)" : os_error_text(error_number));
  }
  os_forget_temp();
  temp_path_.clear();
  committed_ = true;
}
