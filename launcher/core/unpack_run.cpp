// The unpack run: find the payload in the launcher's own file, decode it into a new temporary
// file while the progress bar fills, check what was written, and start that file with the
// launcher's own path.
//
// The run happens once per process, so its state is static; it is reset at the start of every
// run all the same, so the run can be repeated (tests do).

#include <cstring>

#include "crc32.h"
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

// The end of every failed run: the message, then no temporary file or folder left behind.
int fail(int own_fd, int temp_fd, bool have_temp_file) {
  show_failure();
  if (temp_fd != PLATFORM_NO_FILE) platform_close(temp_fd);
  if (have_temp_file) platform_remove_temp_file(temp_path);
  if (own_fd != PLATFORM_NO_FILE) platform_close(own_fd);
  return 0;
}

// Reads the whole file back through fd: its length and CRC-32. The payload reader's buffer is
// free by now and serves. The window answers its messages meanwhile. False on a read error.
bool read_back(int fd, uint64_t* length, uint32_t* crc) {
  *length = 0;
  *crc = 0;
  for (;;) {
    const int32_t got = platform_read(fd, reader.buffer, PAYLOAD_READ_BUFFER_BYTES);
    if (got < 0) return false;
    if (got == 0) return true;
    *crc = crc32_update(*crc, reader.buffer, static_cast<uint32_t>(got));
    *length += static_cast<uint32_t>(got);
    platform_progress_poll();
  }
}

}  // namespace

bool put_output_byte(int value, int fd) {
  if (value == OUTPUT_FLUSH) {
    const uint32_t n = output_count;
    output_count = 0;
    return n == 0 || platform_write(fd, output_buffer, n) == static_cast<int32_t>(n);
  }
  const uint8_t byte = static_cast<uint8_t>(value);
  return put_output_bytes(&byte, 1, fd);
}

bool put_output_bytes(const uint8_t* bytes, uint32_t n, int fd) {
  while (n > 0) {
    if (output_count == OUTPUT_BUFFER_BYTES) {
      output_count = 0;
      if (platform_write(fd, output_buffer, OUTPUT_BUFFER_BYTES) !=
          static_cast<int32_t>(OUTPUT_BUFFER_BYTES)) {
        return false;
      }
    }
    const uint32_t room = OUTPUT_BUFFER_BYTES - output_count;
    const uint32_t take = n < room ? n : room;
    std::memcpy(output_buffer + output_count, bytes, take);
    output_count += take;
    bytes += take;
    n -= take;
  }
  return true;
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
  const int own_fd = have_own_path ? platform_open_read(own_path) : PLATFORM_NO_FILE;
  const int temp_fd = platform_temp_dir(temp_dir, sizeof temp_dir)
                          ? platform_create_temp_file(temp_dir, temp_path, sizeof temp_path)
                          : PLATFORM_NO_FILE;
  const bool have_temp_file = temp_fd != PLATFORM_NO_FILE;

  if (own_fd == PLATFORM_NO_FILE || temp_fd == PLATFORM_NO_FILE) {
    return fail(own_fd, temp_fd, have_temp_file);
  }

  payload_reader_init(&reader, own_fd);
  int64_t payload_start = 0;
  if (!find_payload(&reader, &payload_start)) return fail(own_fd, temp_fd, true);
  // A record that is damaged, or of a kind this launcher does not know, checks nothing: the
  // payload is not to be trusted.
  const IntegrityStatus record_status = reader.record_status;
  if (record_status == INTEGRITY_DAMAGED || record_status == INTEGRITY_UNSUPPORTED) {
    return fail(own_fd, temp_fd, true);
  }

  // What the bar measures: the payload from its start to the end of the file, or to where a
  // signature begins.
  const int64_t payload_end = reader.limit >= 0 ? reader.limit : platform_file_size(own_fd);
  const int64_t payload_size = payload_end - payload_start;

  platform_progress_show();

  // Any damage found during the copy stops it: a damaged or partial program is never started.
  //
  // The copy goes a decoded block at a time. The bar's width is worked out before every output
  // byte whose count is a multiple of BAR_PACE_BYTES, from how much of the payload has been read;
  // a block is read whole before any of its bytes goes out, so within a block every such point
  // gives the same width, and only the block's first point can move the bar. The bar is drawn
  // only when its right edge moves: at most once per unit of its width.
  bool intact = true;
  uint64_t output_bytes = 0;  // wide enough that it never wraps
  uint32_t output_crc = 0;
  int32_t drawn_right = BAR_LEFT;
  for (;;) {
    const uint8_t* bytes = nullptr;
    uint32_t n = 0;
    const int got = next_payload_bytes(&reader, &bytes, &n);
    if (got <= 0) {
      intact = got == 0;
      break;
    }
    output_crc = crc32_update(output_crc, bytes, n);
    // The first pace point in this block, if any: the output count of the byte before which it
    // falls, less the bytes already out.
    const uint64_t point = (output_bytes / BAR_PACE_BYTES + 1) * BAR_PACE_BYTES;
    uint32_t before = n;
    if (point - output_bytes <= n) before = static_cast<uint32_t>(point - output_bytes - 1);
    if (!put_output_bytes(bytes, before, temp_fd)) {
      intact = false;
      break;
    }
    if (before < n) {
      const int64_t consumed = payload_reader_offset(&reader) - payload_start;
      const int32_t right = bar_right(consumed, payload_size);
      if (right != drawn_right) {
        platform_progress_fill(BAR_LEFT, BAR_TOP, right, BAR_BOTTOM);
        drawn_right = right;
      }
      if (!put_output_bytes(bytes + before, n - before, temp_fd)) {
        intact = false;
        break;
      }
    }
    output_bytes += n;
    // The window answers its messages (repaints, moves, tells the system it is alive) between
    // blocks; the platform keeps this cheap.
    platform_progress_poll();
  }
  if (intact) intact = put_output_byte(OUTPUT_FLUSH, temp_fd);
  // The file is closed once, whatever happened; a failed close may be the first news of a write
  // that did not reach the disk.
  const bool closed = platform_close(temp_fd);
  intact = intact && closed;
  platform_close(own_fd);

  // The data must be what was packed: as long as the record says (a payload cut at a block
  // boundary ends early), with the same CRC, closed by its end mark.
  intact = intact && payload_matches_record(&reader, output_bytes, output_crc);

  // The bytes started are the bytes checked: the file is opened again so that no other process
  // can write, rename or delete it until the program has started, and what it holds now is read
  // back and must be what was written. A file that someone holds open for writing cannot be
  // opened so; one that was changed in the moment between the close and this reads back
  // different.
  const int locked_fd = intact ? platform_open_locked(temp_path) : PLATFORM_NO_FILE;
  if (locked_fd != PLATFORM_NO_FILE) {
    uint64_t length = 0;
    uint32_t crc = 0;
    intact = read_back(locked_fd, &length, &crc) && length == output_bytes && crc == output_crc;
  } else {
    intact = false;
  }

  platform_progress_hide();
  platform_progress_release();

  if (!intact) return fail(PLATFORM_NO_FILE, locked_fd, true);

  const bool started = platform_start(temp_path, temp_path, own_path);
  platform_close(locked_fd);
  if (!started) return fail(PLATFORM_NO_FILE, PLATFORM_NO_FILE, true);
  // The started program's file stays behind: it is running from it.
  return 1;
}
