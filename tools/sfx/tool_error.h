// How the tool's commands fail: an exit status and a message naming the file and the problem.
#pragma once

#include <stdexcept>
#include <string>

// Exit statuses, as documented in `sfx --help`.
constexpr int SFX_EXIT_OK = 0;
constexpr int SFX_EXIT_DAMAGED = 1;  // damaged or missing payload, verify mismatch
constexpr int SFX_EXIT_USAGE = 2;    // usage or I/O errors

// Thrown by the commands; reported as "sfx: FILE: problem" (or "sfx: problem" when no single
// file is to blame), and the process exits with the status.
class ToolError : public std::runtime_error {
 public:
  ToolError(int status, std::string file, const std::string& problem)
      : std::runtime_error(problem), status_(status), file_(std::move(file)) {}
  int status() const { return status_; }
  const std::string& file() const { return file_; }

 private:
  int status_;
  std::string file_;
};

// Prints the error's message on stderr, after what stdout holds so far.
void report_tool_error(const ToolError& error);
