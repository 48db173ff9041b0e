// The progress window and the failure message for the POSIX platform layer, on stderr: the bar
// is one line redrawn in place, and only on a terminal; the message always.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "progress_bar.h"

namespace {

// The bar's BAR_WIDTH dialog units, drawn as this many characters.
constexpr int32_t BAR_CHARS = 40;
constexpr char LABEL[] = "Uncompressing setup file: ";

bool shown = false;
int32_t drawn_chars = 0;  // what the line shows now; a fill that changes nothing is not drawn

void draw(int32_t filled_chars) {
  drawn_chars = filled_chars;
  char line[sizeof LABEL + BAR_CHARS + 8];
  int at = std::snprintf(line, sizeof line, "\r%s[", LABEL);
  for (int32_t i = 0; i < BAR_CHARS; ++i) line[at++] = i < filled_chars ? '#' : ' ';
  line[at++] = ']';
  std::fwrite(line, 1, static_cast<size_t>(at), stderr);
  std::fflush(stderr);
}

}  // namespace

void platform_progress_show() {
  shown = ::isatty(STDERR_FILENO) == 1;
  if (shown) draw(0);
}

void platform_progress_fill(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  (void)left;
  (void)top;
  (void)bottom;
  if (!shown) return;
  int32_t units = right - BAR_LEFT;
  if (units < 0) units = 0;
  if (units > BAR_WIDTH) units = BAR_WIDTH;
  const int32_t chars = units * BAR_CHARS / BAR_WIDTH;
  if (chars != drawn_chars) draw(chars);
}

void platform_progress_hide() {
  if (!shown) return;
  // Blank the line and leave the cursor at its start, as if the window had gone.
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(sizeof LABEL + BAR_CHARS + 1), "");
  std::fflush(stderr);
  shown = false;
}

// A terminal line needs no messages handled.
void platform_progress_poll() {}

void platform_progress_release() {}

void platform_show_message(const char* caption, const char* text) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
}
