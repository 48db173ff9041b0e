// A progress line on stderr for long work: shown only when stderr is a terminal and the user
// did not ask for quiet, redrawn at most a few times a second, erased when the work is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Progress {
 public:
  // total: the amount of work in bytes, or -1 when unknown (a pipe).
  Progress(std::string label, int64_t total, bool quiet);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void update(uint64_t done);
  // Erases the line; a later update() draws it again.
  void clear();

 private:
  std::string label_;
  int64_t total_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// "12.3 MB", "512 B": a size for people.
std::string human_bytes(uint64_t bytes);
