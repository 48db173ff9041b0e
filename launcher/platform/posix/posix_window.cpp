// The progress window and the failure message for the POSIX platform layer, on stderr: the bar
// is one line redrawn in place, and only on a terminal; the message always. Written with plain
// write calls: the C library's formatting code was a quarter of the launcher (62.9 KB against
// 46.2 KB, linked statically against musl).
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "progress_bar.h"
#include "resource.h"
#include "texts.h"

namespace {

// The bar's BAR_WIDTH dialog units, drawn as this many characters.
constexpr int32_t BAR_CHARS = 40;
constexpr char LABEL[] = "Uncompressing setup file: ";
// "\r", the label, "[", the bar, "]".
constexpr size_t LINE_BYTES = 1 + (sizeof LABEL - 1) + 1 + BAR_CHARS + 1;

bool shown = false;
int32_t drawn_chars = 0;  // what the line shows now; a fill that changes nothing is not drawn

void put(const char* bytes, size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(STDERR_FILENO, bytes, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    bytes += done;
    n -= static_cast<size_t>(done);
  }
}

void put(const char* text) { put(text, std::strlen(text)); }

void draw(int32_t filled_chars) {
  drawn_chars = filled_chars;
  char line[LINE_BYTES];
  size_t at = 0;
  line[at++] = '\r';
  std::memcpy(line + at, LABEL, sizeof LABEL - 1);
  at += sizeof LABEL - 1;
  line[at++] = '[';
  for (int32_t i = 0; i < BAR_CHARS; ++i) line[at++] = i < filled_chars ? '#' : ' ';
  line[at++] = ']';
  put(line, at);
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
  char blank[LINE_BYTES + 1];
  std::memset(blank, ' ', sizeof blank);
  blank[0] = '\r';
  blank[LINE_BYTES] = '\r';
  put(blank, sizeof blank);
  shown = false;
}

// A terminal line needs no messages handled.
void platform_progress_poll() {}

void platform_progress_release() {}

// A POSIX launcher carries no resources, and its messages name no one but itself: the caption is
// its own file's name, as a command's messages begin, and there is no address.
bool platform_text(uint32_t id, char* text, uint32_t capacity) {
  if (capacity == 0) return false;
  text[0] = '\0';
  if (id != IDS_FAILURE_CAPTION) return true;
  char path[PATH_BUFFER_CHARS];
  if (!platform_own_path(path, sizeof path)) return false;
  const char* name = std::strrchr(path, '/');
  name = name != nullptr ? name + 1 : path;
  const size_t n = std::strlen(name);
  if (n == 0 || n >= capacity) return false;
  std::memcpy(text, name, n + 1);
  return true;
}

void platform_show_message(const char* caption, const char* text) {
  put(caption);
  put(": ");
  put(text);
  put("\n");
}
