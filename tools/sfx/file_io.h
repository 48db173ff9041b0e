// Input and output files for the tool's commands, with "-" standing for stdin and stdout.
//
// Outputs are all-or-nothing: a named output is written to a temporary file in its own
// folder and moved into place only by commit(); an output that is dropped without commit(),
// or whose process is interrupted (Ctrl-C, SIGINT, SIGTERM, SIGHUP), leaves nothing behind.
// Without force an existing file is never replaced, also when one appears while the work runs.
// Nothing waits on the disk unless asked (--sync): the file then reaches it before its name
// does, and the name before commit() returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "os_files.h"

// "-" names stdin or stdout.
bool is_std_stream(const std::string& name);

// The name to put in messages: the path, or "(stdin)" / "(stdout)" for "-".
std::string input_display_name(const std::string& name);
std::string output_display_name(const std::string& name);

class OutputFile;

// A file read by a command. Errors throw ToolError with SFX_EXIT_USAGE.
class InputFile {
 public:
  // Opens name ("-": stdin). With refuse_terminal, a terminal on stdin is refused (for inputs
  // that hold binary data).
  InputFile(const std::string& name, bool refuse_terminal);
  // What was written to a scratch file (OutputFile::SCRATCH), read from its start and named
  // display_name in messages: the scratch file outlives this input and takes no more writes.
  InputFile(OutputFile& scratch, const std::string& display_name);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int fd() const { return fd_; }
  const std::string& display_name() const { return display_name_; }
  // The size in bytes of a regular file (from where reading started), -1 for a pipe or device.
  int64_t size() const { return size_; }
  const OsFileInfo& info() const { return info_; }

  // Reads up to n bytes, looping over short reads: fewer than n only at the end of the file.
  size_t read_full(uint8_t* buffer, size_t n);
  // The file as a source for the payload reader, from where it stands; it reports a read error
  // as the reader expects (-1), leaving the system's error number.
  ByteSource byte_source();

  // Refuses (exit 2) a regular file that changed while it was read: its size or modification time
  // is no longer what it was when it was opened, or bytes_read (all of it, read to its end) is not
  // the size it had; the message says which. Files whose size the system does not tell (/proc's,
  // 0) are held to their time alone.
  void check_unchanged(uint64_t bytes_read) const;

  // Reads up to n bytes at offset (from where reading started) of a file that can be read again,
  // leaving its position: fewer than n only at its end.
  size_t read_at(uint64_t offset, uint8_t* buffer, size_t n);
  // A regular file can be read again from where reading started.
  bool can_rewind() const { return start_ >= 0; }
  void rewind();
  // Makes the input one that can be read again: the rest of a pipe is first copied into an
  // unnamed scratch file, which then stands in for it.
  void spool();

 private:
  int fd_ = -1;
  bool owned_ = false;
  int64_t size_ = -1;
  int64_t start_ = -1;  // the offset reading started from, for a regular file
  OsFileInfo info_;
  std::string display_name_;
};

// True when the output name and the input are the same file (an existing output only).
bool same_file(const std::string& output_name, const InputFile& input);

// A file written by a command. Errors throw ToolError with SFX_EXIT_USAGE. stdout, and an
// existing device or named pipe, are written in place.
class OutputFile {
 public:
  // Prepares name ("-": stdout, refused when it is a terminal). Refuses an existing file unless
  // force. mode is the permission the finished file gets, before the umask. durable: commit()
  // returns once the file and its name are on the disk (a stream is written as it is).
  OutputFile(const std::string& name, bool force, unsigned mode, bool durable = false);
  // An unnamed scratch file in the temporary folder, which can be read back and written again
  // and is then copied into a stream (copy_into); it goes with the process.
  static constexpr struct Scratch {
  } SCRATCH{};
  explicit OutputFile(Scratch);
  // Removes the temporary file unless commit() succeeded.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& display_name() const { return display_name_; }
  uint64_t bytes_written() const { return bytes_written_ + buffer_.size(); }

  void write(const uint8_t* data, size_t n);
  // Writes out what is buffered.
  void flush();
  // Bytes already written can be written again (a file of the tool's own, not a stream).
  bool can_write_at() const { return !direct_; }
  // Replaces n bytes at offset, which lie within what was written.
  void write_at(uint64_t offset, const uint8_t* data, size_t n);
  // Reads n bytes at offset of what was written (a file of the tool's own): fewer only at its end.
  size_t read_at(uint64_t offset, uint8_t* data, size_t n);
  // Writes all that was written to this scratch file into target.
  void copy_into(OutputFile& target);
  // Finishes the file and moves it into place under its name.
  void commit();

 private:
  void write_all(const uint8_t* data, size_t n);
  [[noreturn]] void fail(int error_number);
  void discard() noexcept;

  friend class InputFile;  // reads a scratch file back

  std::string name_;
  std::string display_name_;
  std::string temp_path_;
  bool force_;
  bool durable_ = false;
  bool direct_ = false;   // stdout, a device or a pipe: written in place, nothing to move
  bool owns_fd_ = false;
  bool committed_ = false;
  unsigned mode_;
  int fd_ = -1;
  uint64_t bytes_written_ = 0;
  std::vector<uint8_t> buffer_;
};
