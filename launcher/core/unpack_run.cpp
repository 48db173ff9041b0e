// The unpack run: find the payload in the launcher's own file, decode it into a new temporary
// file while the progress bar fills, and start that file with the launcher's own path.
//
// The run happens once per process, so its state is static; it is reset at the start of every
// run all the same, so the run can be repeated (tests do).

#include "launcher.h"
#include "payload_reader.h"
#include "platform.h"
#include "texts.h"
#include "unpack_run.h"

namespace {

char own_path[PATH_BUFFER_CHARS];
char temp_dir[PATH_BUFFER_CHARS];
char temp_path[PATH_BUFFER_CHARS];

// About 210 KB: static storage, never the stack.
PayloadReader reader;

uint8_t output_buffer[OUTPUT_BUFFER_BYTES];
uint32_t output_count;

void show_failure() { platform_show_message(FAILURE_CAPTION, FAILURE_MESSAGE); }

// The end of every failed run: the message, then no temporary file left behind.
int fail(int own_fd, int temp_fd, bool have_temp_file) {
  show_failure();
  if (temp_fd != PLATFORM_NO_FILE) platform_close(temp_fd);
  if (have_temp_file) platform_unlink(temp_path);
  if (own_fd != PLATFORM_NO_FILE) platform_close(own_fd);
  return 0;
}

}  // namespace

bool put_output_byte(int value, int fd) {
  bool written = true;
  if (value == OUTPUT_FLUSH || output_count == OUTPUT_BUFFER_BYTES) {
    if (output_count > 0) {
      written = platform_write(fd, output_buffer, output_count) == static_cast<int32_t>(output_count);
    }
    output_count = 0;
  }
  if (value != OUTPUT_FLUSH) output_buffer[output_count++] = static_cast<uint8_t>(value);
  return written;
}

uint32_t output_buffered_bytes() { return output_count; }

int32_t bar_right(int64_t consumed, int64_t payload_size) {
  if (payload_size <= 0 || consumed <= 0) return BAR_LEFT;
  if (consumed > payload_size) consumed = payload_size;
  return BAR_LEFT + static_cast<int32_t>(consumed * BAR_WIDTH / payload_size);
}

int run_unpack() {
  output_count = 0;
  own_path[0] = temp_dir[0] = temp_path[0] = '\0';

  const bool have_own_path = platform_own_path(own_path, sizeof own_path);
  const bool have_temp_file = platform_temp_dir(temp_dir, sizeof temp_dir) &&
                              platform_make_temp_file(temp_dir, temp_path, sizeof temp_path);

  const int own_fd = have_own_path ? platform_open_read(own_path) : PLATFORM_NO_FILE;
  const int temp_fd = have_temp_file ? platform_open_write(temp_path) : PLATFORM_NO_FILE;

  if (own_fd == PLATFORM_NO_FILE || temp_fd == PLATFORM_NO_FILE) {
    return fail(own_fd, temp_fd, have_temp_file);
  }

  payload_reader_init(&reader, own_fd);
  int64_t payload_start = 0;
  if (!find_payload(&reader, &payload_start)) return fail(own_fd, temp_fd, true);

  const int64_t payload_size = platform_file_size(own_fd) - payload_start;

  platform_progress_show();

  // Any damage found during the copy stops it: a damaged or partial program is never started.
  bool intact = true;
  uint64_t output_bytes = 0;  // wide enough that it never wraps
  for (;;) {
    uint8_t byte = 0;
    const int got = next_payload_byte(&reader, &byte);
    if (got <= 0) {
      intact = got == 0;
      break;
    }
    ++output_bytes;
    if (output_bytes % BAR_PACE_BYTES == 0) {
      const int64_t consumed = payload_reader_offset(&reader) - payload_start;
      platform_progress_fill(BAR_LEFT, BAR_TOP, bar_right(consumed, payload_size), BAR_BOTTOM);
    }
    if (!put_output_byte(byte, temp_fd)) {
      intact = false;
      break;
    }
  }
  if (intact) intact = put_output_byte(OUTPUT_FLUSH, temp_fd);
  // The file is closed once, whatever happened; a failed close may be the first news of a write
  // that did not reach the disk.
  const bool closed = platform_close(temp_fd);
  intact = intact && closed;
  platform_close(own_fd);

  platform_progress_hide();
  platform_progress_release();

  if (!intact) return fail(PLATFORM_NO_FILE, PLATFORM_NO_FILE, true);

  if (!platform_start(temp_path, temp_path, own_path)) {
    return fail(PLATFORM_NO_FILE, PLATFORM_NO_FILE, true);
  }
  // The started program's file stays behind: it is running from it.
  return 1;
}
