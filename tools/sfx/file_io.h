// Input and output files for the tool's commands, with "-" standing for stdin and stdout.
//
// Outputs are all-or-nothing: a named output is written to a temporary file in its own
// directory and renamed into place only by commit(); an output that is dropped without commit(),
// or whose process is stopped by SIGINT, SIGTERM or SIGHUP, leaves nothing behind. Without
// force an existing file is never replaced, also when one appears while the work runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "-" names stdin or stdout.
bool is_std_stream(const std::string& name);

// The name to put in messages: the path, or "(stdin)" / "(stdout)" for "-".
std::string input_display_name(const std::string& name);
std::string output_display_name(const std::string& name);

// A file read by a command. Errors throw ToolError with SFX_EXIT_USAGE.
class InputFile {
 public:
  // Opens name ("-": stdin). With refuse_terminal, a terminal on stdin is refused (for inputs
  // that hold binary data).
  InputFile(const std::string& name, bool refuse_terminal);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int fd() const { return fd_; }
  const std::string& display_name() const { return display_name_; }
  // The size in bytes of a regular file, -1 for a pipe or terminal.
  int64_t size() const { return size_; }
  // Device and inode, to tell when an output would replace this input.
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

  // Reads up to n bytes, looping over short reads: fewer than n only at the end of the file.
  size_t read_full(uint8_t* buffer, size_t n);

  // Makes read_at() possible: a pipe's remaining bytes are first copied into an unnamed
  // temporary file, which then stands in for it. The read position stays at the start.
  void make_seekable();
  // Reads exactly n bytes at offset, without moving the read position.
  void read_at(int64_t offset, uint8_t* buffer, size_t n) const;

 private:
  int fd_ = -1;
  bool owned_ = false;
  int64_t size_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::string display_name_;
};

// True when the output name and the input are the same file (an existing output only).
bool same_file(const std::string& output_name, const InputFile& input);

// Reads a whole file ("-": stdin).
std::vector<uint8_t> read_whole_file(const std::string& name);

// A file written by a command. Errors throw ToolError with SFX_EXIT_USAGE. stdout, and an
// existing device or named pipe, are written in place.
class OutputFile {
 public:
  // Prepares name ("-": stdout, refused when it is a terminal). Refuses an existing file unless
  // force. mode is the permission the finished file gets (the umask is applied unless
  // exact_mode).
  OutputFile(const std::string& name, bool force, mode_t mode, bool exact_mode);
  // Removes the temporary file unless commit() succeeded.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& display_name() const { return display_name_; }
  uint64_t bytes_written() const { return bytes_written_ + buffer_.size(); }

  void write(const uint8_t* data, size_t n);
  // Writes out what is buffered.
  void flush();
  // Finishes the file and moves it into place under its name.
  void commit();

 private:
  void write_all(const uint8_t* data, size_t n);
  void discard() noexcept;

  std::string name_;
  std::string display_name_;
  std::string temp_path_;
  bool force_;
  bool direct_ = false;   // stdout, a device or a pipe: written in place, nothing to rename
  bool owns_fd_ = false;
  bool committed_ = false;
  mode_t mode_;
  int fd_ = -1;
  uint64_t bytes_written_ = 0;
  std::vector<uint8_t> buffer_;
};
