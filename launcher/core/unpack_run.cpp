// The unpack run: find the payload in the launcher's own file, decode it into a new temporary
// file while the progress bar fills, check what was written, and start that file with the
// launcher's own path.
//
// The run happens once per process, so its state is static; it is reset at the start of every
// run all the same, so the run can be repeated (tests do).

#include "unpack_run.h"

#include <cstring>

#include "crc32.h"
#include "launcher.h"
#include "platform.h"
#include "resource.h"

namespace {

UnpackRun the_run;

uint8_t output_buffer[OUTPUT_BUFFER_BYTES];
uint32_t output_count;

// The reader takes the own file's bytes through the platform layer.
int32_t read_own_file(void* context, uint8_t* buffer, uint32_t n) {
  return platform_read(*static_cast<const int*>(context), buffer, n);
}

// The decoded bytes go to the temporary file, or a bundle's to the bundle reader.
bool deliver(UnpackRun* run, const uint8_t* bytes, uint32_t n) {
  return run->bundle ? bundle_feed_bytes(run, bytes, n) : put_output_bytes(bytes, n, run->temp_fd);
}

void close_file(int* fd) {
  if (*fd == PLATFORM_NO_FILE) return;
  platform_close(*fd);
  *fd = PLATFORM_NO_FILE;
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

bool read_back(int fd, uint8_t* buffer, uint32_t capacity, uint64_t* length, uint32_t* crc) {
  *length = 0;
  *crc = 0;
  for (;;) {
    const int32_t got = platform_read(fd, buffer, capacity);
    if (got < 0) return false;
    if (got == 0) return true;
    *crc = crc32_update(*crc, buffer, static_cast<uint32_t>(got));
    *length += static_cast<uint32_t>(got);
    platform_progress_poll();
  }
}

int32_t bar_right(int64_t consumed, int64_t payload_size) {
  if (payload_size <= 0 || consumed <= 0) return BAR_LEFT;
  if (consumed > payload_size) consumed = payload_size;
  return BAR_LEFT + static_cast<int32_t>(consumed * BAR_WIDTH / payload_size);
}

void unpack_reset(UnpackRun* run, const char* tail) {
  output_count = 0;
  run->tail = tail;
  run->visible = platform_desktop_visible();
  run->waits = false;
  run->kind = TEMP_PROGRAM;
  run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  run->program_status = 0;
  run->own_path[0] = run->temp_dir[0] = run->temp_path[0] = '\0';
  run->own_fd = run->temp_fd = run->locked_fd = PLATFORM_NO_FILE;
  run->have_temp_file = false;
  run->payload_start = run->payload_size = 0;
  run->output_bytes = 0;
  run->output_crc = 0;
  run->bundle = run->have_folder = run->have_program = false;
  run->run_entry = 0;
  run->entry_fd = PLATFORM_NO_FILE;
  run->folder[0] = run->entry_path[0] = run->program_path[0] = '\0';
}

bool unpack_find(UnpackRun* run) {
  if (platform_own_path(run->own_path, sizeof run->own_path)) run->own_fd = platform_open_read(run->own_path);
  const bool have_temp_dir = platform_temp_dir(run->temp_dir, sizeof run->temp_dir);
  if (run->own_fd == PLATFORM_NO_FILE) return false;

  PayloadReader* reader = &run->reader;
  payload_reader_init(reader, ByteSource{read_own_file, &run->own_fd});
  if (!find_payload(reader, &run->payload_start)) return false;
  // A record that is damaged, or of a kind this launcher does not know, checks nothing: the
  // payload is not to be trusted.
  if (reader->record_status == INTEGRITY_DAMAGED || reader->record_status == INTEGRITY_UNSUPPORTED) return false;

  // The contract the publisher chose. Asked to be silent, a waiting run shows nothing.
  if (reader->record_status == INTEGRITY_PRESENT) {
    const uint8_t flags = reader->record.flags;
    // A bundle always waits: its folder must be removed once the program has ended.
    run->bundle = (flags & INTEGRITY_FLAG_BUNDLE) != 0;
    run->run_entry = reader->record.run_entry;
    run->waits = (flags & (INTEGRITY_FLAG_WAIT | INTEGRITY_FLAG_MSI | INTEGRITY_FLAG_BUNDLE)) != 0;
    run->kind = (flags & INTEGRITY_FLAG_MSI) != 0              ? TEMP_MSI_PACKAGE
                : (flags & INTEGRITY_FLAG_COMMAND_SCRIPT) != 0 ? TEMP_COMMAND_SCRIPT
                                                               : TEMP_PROGRAM;
  }
  if (run->waits && silent_switch(run->tail)) run->visible = false;
  platform_interrupt_status(run->waits ? LAUNCHER_EXIT_INTERRUPTED : 0);

  run->failure = LAUNCHER_EXIT_FILE_FAILED;
  if (run->bundle) {
    if (!have_temp_dir || !bundle_make_folder(run)) return false;
  } else {
    if (have_temp_dir) {
      run->temp_fd = platform_create_temp_file(run->temp_dir, run->kind, run->temp_path, sizeof run->temp_path);
    }
    run->have_temp_file = run->temp_fd != PLATFORM_NO_FILE;
    if (!run->have_temp_file) return false;
    // The file's private folder: its path less the file's name.
    std::memcpy(run->folder, run->temp_path, sizeof run->folder);
    char* name = run->folder;
    for (char* p = run->folder; *p != '\0'; ++p) {
      if (*p == '/' || *p == '\\') name = p;
    }
    *name = '\0';
  }
  run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;

  // What the bar measures: the payload from its start to the end of the file, or to where a
  // signature begins.
  const int64_t payload_end = reader->limit >= 0 ? reader->limit : platform_file_size(run->own_fd);
  run->payload_size = payload_end - run->payload_start;
  return true;
}

bool unpack_copy(UnpackRun* run) {
  if (run->visible) platform_progress_show();
  PayloadReader* reader = &run->reader;
  // Any damage found during the copy stops it: a damaged or partial program is never started.
  //
  // The copy goes a decoded block at a time. The bar's width is worked out before every output
  // byte whose count is a multiple of BAR_PACE_BYTES, from how much of the payload has been read;
  // a block is read whole before any of its bytes goes out, so within a block every such point
  // gives the same width, and only the block's first point can move the bar. The bar is drawn
  // only when its right edge moves: at most once per unit of its width.
  bool read_whole = true;  // false: the payload is damaged
  bool written = true;     // false: a write failed (disk full)
  int32_t drawn_right = BAR_LEFT;
  for (;;) {
    const uint8_t* bytes = nullptr;
    uint32_t n = 0;
    const int got = next_payload_bytes(reader, &bytes, &n);
    if (got <= 0) {
      read_whole = got == 0;
      break;
    }
    run->output_crc = crc32_update(run->output_crc, bytes, n);
    // The first pace point in this block, if any: the output count of the byte before which it
    // falls, less the bytes already out.
    const uint64_t point = (run->output_bytes / BAR_PACE_BYTES + 1) * BAR_PACE_BYTES;
    uint32_t before = n;
    if (point - run->output_bytes <= n) before = static_cast<uint32_t>(point - run->output_bytes - 1);
    written = deliver(run, bytes, before);
    if (written && before < n) {
      const int32_t right = bar_right(payload_reader_offset(reader) - run->payload_start, run->payload_size);
      if (right != drawn_right) {
        platform_progress_fill(BAR_LEFT, BAR_TOP, right, BAR_BOTTOM);
        drawn_right = right;
      }
      written = deliver(run, bytes + before, n - before);
    }
    if (!written) break;
    run->output_bytes += n;
    // The window answers its messages (repaints, moves, tells the system it is alive) between
    // blocks; the platform keeps this cheap.
    platform_progress_poll();
    bundle_stop_if_interrupted(run);
  }
  if (run->bundle) {
    close_file(&run->own_fd);
    // A stream fault is the payload's; the sink sets the cause of its own failures.
    if (!read_whole) run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
    return read_whole && written && bundle_copy_end(run);
  }
  if (read_whole && written) written = put_output_byte(OUTPUT_FLUSH, run->temp_fd);
  // The file is closed once, whatever happened; a failed close may be the first news of a write
  // that did not reach the disk.
  written = platform_close(run->temp_fd) && written;
  run->temp_fd = PLATFORM_NO_FILE;
  close_file(&run->own_fd);
  run->failure = read_whole ? LAUNCHER_EXIT_FILE_FAILED : LAUNCHER_EXIT_BAD_PAYLOAD;
  return read_whole && written;
}

bool unpack_check(UnpackRun* run) {
  // The data must be what was packed: closed by its end mark, and as long as the record says (a
  // payload cut at a block boundary ends early), with the same CRC.
  run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  if (payload_verdict(&run->reader, run->output_bytes, run->output_crc) != PAYLOAD_WHOLE) return false;
  // A bundle's files were each read back and held as they were finished.
  if (run->bundle) return true;
  run->failure = LAUNCHER_EXIT_FILE_FAILED;

  // The bytes started are the bytes checked: the file is opened again so that no other process
  // can write, rename or delete it until the program has started, and what it holds now is read
  // back and must be what was written. A file that someone holds open for writing cannot be
  // opened so; one that was changed in the moment between the close and this reads back
  // different.
  run->locked_fd = platform_open_locked(run->temp_path);
  if (run->locked_fd == PLATFORM_NO_FILE) return false;
  uint64_t length = 0;
  uint32_t crc = 0;
  // The payload reader's buffer is free by now and serves.
  return read_back(run->locked_fd, run->reader.buffer, PAYLOAD_READ_BUFFER_BYTES, &length, &crc) &&
         length == run->output_bytes && crc == run->output_crc;
}

namespace {

// Removes the finished program's file and folder, trying again while it is still in use (the
// program's last moments, or a scanner's look), as delete mode does.
void remove_with_retry(const char* path) {
  for (uint32_t retries = 0;; ++retries) {
    if (platform_remove_temp_file(path) || retries == DELETE_RETRIES) return;
    platform_sleep_ms(DELETE_RETRY_MS);
  }
}

}  // namespace

bool unpack_start(UnpackRun* run) {
  if (run->bundle) return bundle_start(run);
  run->failure = LAUNCHER_EXIT_START_FAILED;
  platform_release_temp_file();
  if (!run->waits) {
    const bool started = platform_start(run->temp_path, run->temp_path, run->own_path);
    close_file(&run->locked_fd);
    // The started program's file stays behind: it is running from it.
    if (started) run->have_temp_file = false;
    return started;
  }
  // The file stays locked while the program runs from it.
  RunRequest request{};
  request.program = run->temp_path;
  request.kind = run->kind;
  request.private_folder = run->folder;
  request.tail = run->tail;
  request.own_path = run->own_path;
  const bool ran = platform_run_and_wait(&request, &run->program_status);
  close_file(&run->locked_fd);
  if (!ran) return false;
  remove_with_retry(run->temp_path);
  run->have_temp_file = false;
  return true;
}

int unpack_fail(UnpackRun* run) {
  if (run->visible) {
    char caption[MESSAGE_BUFFER_BYTES];
    char address[MESSAGE_BUFFER_BYTES];
    char message[MESSAGE_BUFFER_BYTES];
    if (!platform_text(IDS_FAILURE_CAPTION, caption, sizeof caption) || caption[0] == '\0')
      std::memcpy(caption, FAILURE_CAPTION, sizeof FAILURE_CAPTION);
    if (!platform_text(IDS_PUBLISHER_ADDRESS, address, sizeof address)) {
      std::memcpy(address, DEFAULT_PUBLISHER_ADDRESS, sizeof DEFAULT_PUBLISHER_ADDRESS);
    }
    compose_failure_message(address, message, sizeof message);
    platform_show_message(caption, message);
  }
  close_file(&run->temp_fd);
  close_file(&run->locked_fd);
  bundle_remove(run);
  if (run->have_temp_file) platform_remove_temp_file(run->temp_path);
  run->have_temp_file = false;
  close_file(&run->own_fd);
  return run->waits ? run->failure : 0;
}

int run_unpack(const char* tail) {
  UnpackRun* run = &the_run;
  unpack_reset(run, tail);
  if (!unpack_find(run)) return unpack_fail(run);
  const bool held = unpack_copy(run) && unpack_check(run);
  if (run->visible) {
    platform_progress_hide();
    platform_progress_release();
  }
  if (!held || !unpack_start(run)) return unpack_fail(run);
  return run->waits ? static_cast<int>(run->program_status) : 1;
}
