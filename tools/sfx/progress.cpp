// The progress line: a carriage return and the line again, so that it overwrites itself.
#include "progress.h"

#include <cstdio>

#include "os_files.h"

namespace {

// Work shorter than this shows no line at all; redraws are at least this far apart.
constexpr auto PROGRESS_DELAY = std::chrono::milliseconds(500);
constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(200);

}  // namespace

std::string human_bytes(uint64_t bytes) {
  static const char* const units[] = {"B", "kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1000.0 && unit + 1 < sizeof units / sizeof units[0]) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

Progress::Progress(std::string label, int64_t total, bool quiet)
    : label_(std::move(label)),
      total_(total),
      enabled_(!quiet && os_is_terminal(OS_STDERR)),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() { clear(); }

void Progress::update(uint64_t done) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < PROGRESS_DELAY || now - last_draw_ < PROGRESS_INTERVAL) return;
  last_draw_ = now;
  if (total_ > 0) {
    const double percent = 100.0 * static_cast<double>(done) / static_cast<double>(total_);
    std::fprintf(stderr, "\rsfx: %s: %3.0f%% (%s of %s)\033[K", label_.c_str(), percent,
                 human_bytes(done).c_str(), human_bytes(static_cast<uint64_t>(total_)).c_str());
  } else {
    std::fprintf(stderr, "\rsfx: %s: %s\033[K", label_.c_str(), human_bytes(done).c_str());
  }
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}
