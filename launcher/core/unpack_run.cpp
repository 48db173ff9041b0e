// The unpack run: find the payload in the launcher's own file, decode it into a new temporary
// file while the progress bar fills, check what was written, and start that file with the
// launcher's own path.
//
// The run happens once per process, so its state is static; it is reset at the start of every
// run all the same, so the run can be repeated (tests do).

#include "unpack_run.h"

#include <cstring>

#include "crc32.h"
#include "decode_ahead.h"
#include "divide64.h"
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

// The decoded bytes go to the temporary file, or a bundle's to the bundle reader (which only
// reads them when nothing is to be written); a single file's go nowhere when it is only checked.
bool deliver(UnpackRun* run, const uint8_t* bytes, uint32_t n) {
  if (run->bundle) return bundle_feed_bytes(run, bytes, n);
  return run->temp_fd == PLATFORM_NO_FILE || put_output_bytes(bytes, n, run->temp_fd);
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
  return BAR_LEFT + static_cast<int32_t>(divide64(static_cast<uint64_t>(consumed) * BAR_WIDTH,
                                                   static_cast<uint64_t>(payload_size)));
}

UnpackRun* unpack_the_run() { return &the_run; }

void unpack_reset(UnpackRun* run, const char* tail) {
  output_count = 0;
  run->tail = tail;
  run->mode = RUN_INSTALL;
  // Asked to be silent, a run shows nothing, whatever its contract and whatever fails, from the
  // start: a window or a message would stop an unattended deployment.
  run->silent = silent_switch(tail);
  run->visible = platform_desktop_visible() && !run->silent;
  run->cause = CAUSE_IS_PAYLOAD;
  run->fault = FAULT_OTHER;
  run->reason[0] = run->tried[0] = '\0';
  run->head_bytes = 0;
  run->waits = false;
  run->kind = TEMP_PROGRAM;
  run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  run->program_status = 0;
  run->own_path[0] = run->temp_dir[0] = run->temp_path[0] = '\0';
  run->own_fd = run->temp_fd = run->locked_fd = PLATFORM_NO_FILE;
  run->have_temp_file = run->made_extract_folder = false;
  run->payload_start = run->payload_size = 0;
  run->output_bytes = 0;
  run->output_crc = 0;
  run->bundle = run->have_folder = run->have_program = false;
  run->run_entry = 0;
  run->entry_fd = PLATFORM_NO_FILE;
  run->folder[0] = run->entry_path[0] = run->program_path[0] = '\0';
}

void unpack_note(UnpackRun* run, int failure, RunCause cause) {
  run->fault = platform_last_fault(run->reason, sizeof run->reason);
  run->failure = failure;
  run->cause = cause;
}

bool unpack_find(UnpackRun* run) {
  if (platform_own_path(run->own_path, sizeof run->own_path)) run->own_fd = platform_open_read(run->own_path);
  if (run->own_fd == PLATFORM_NO_FILE) {
    unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_OWN_FILE);
    return false;
  }
  bool have_temp_dir = run->temp_dir[0] != '\0' || platform_temp_dir(run->temp_dir, sizeof run->temp_dir);
  if (!have_temp_dir) run->temp_dir[0] = '\0';

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
  if (run->kind == TEMP_MSI_PACKAGE && (reader->record.flags & INTEGRITY_FLAG_PATCH) != 0) run->kind = TEMP_MSI_PATCH;
  platform_interrupt_status(run->waits || run->silent ? LAUNCHER_EXIT_INTERRUPTED : 0);

  if (run->mode == RUN_EXTRACT) {
    run->failure = LAUNCHER_EXIT_FILE_FAILED;
    if (!extract_make_target(run)) return false;
  } else if (run->mode != RUN_INSTALL) {
    // Checked or described: nothing is written, a bundle's stream is only read.
    if (run->bundle) bundle_begin(run);
  } else if (run->bundle) {
    if (!have_temp_dir || !bundle_make_folder(run)) {
      unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
      return false;
    }
  } else {
    if (have_temp_dir) {
      run->temp_fd = platform_create_temp_file(run->temp_dir, run->kind, run->temp_path, sizeof run->temp_path);
    }
    run->have_temp_file = run->temp_fd != PLATFORM_NO_FILE;
    if (!run->have_temp_file) {
      unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
      return false;
    }
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
  // Blocks are decoded ahead on helper threads where the processor has more than one core.
  ahead_start(platform_processor_count());
  bool read_whole = true;  // false: the payload is damaged
  bool written = true;     // false: a write failed (disk full)
  int32_t drawn_right = BAR_LEFT;
  for (;;) {
    const uint8_t* bytes = nullptr;
    uint32_t n = 0;
    const int got = ahead_next(reader, &bytes, &n);
    if (got <= 0) {
      read_whole = got == 0;
      break;
    }
    run->output_crc = crc32_update(run->output_crc, bytes, n);
    // A single file's first bytes tell a #! script (blocks of a few bytes are possible).
    while (!run->bundle && run->head_bytes < sizeof run->head && run->head_bytes - run->output_bytes < n) {
      run->head[run->head_bytes] = bytes[run->head_bytes - run->output_bytes];
      ++run->head_bytes;
    }
    // The first pace point in this block, if any: the output count of the byte before which it
    // falls, less the bytes already out.
    const uint64_t point = (divide64(run->output_bytes, BAR_PACE_BYTES) + 1) * BAR_PACE_BYTES;
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
    if (!written) {
      // The system's answer for the write (or a bundle's file) that failed.
      if (!run->bundle || run->failure != LAUNCHER_EXIT_BAD_PAYLOAD) unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
      break;
    }
    run->output_bytes += n;
    // The window answers its messages (repaints, moves, tells the system it is alive) between
    // blocks; the platform keeps this cheap.
    platform_progress_poll();
    bundle_stop_if_interrupted(run);
  }
  ahead_stop();
  if (run->bundle) {
    close_file(&run->own_fd);
    // A stream fault is the payload's; the sink sets the cause of its own failures.
    if (!read_whole) run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
    return read_whole && written && bundle_copy_end(run);
  }
  close_file(&run->own_fd);
  if (!read_whole) run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  if (run->temp_fd == PLATFORM_NO_FILE) return read_whole && written;
  const bool was_written = written;
  if (read_whole && written) written = put_output_byte(OUTPUT_FLUSH, run->temp_fd);
  // The file is closed once, whatever happened; a failed close may be the first news of a write
  // that did not reach the disk.
  written = platform_close(run->temp_fd) && written;
  if (was_written && !written) unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
  run->temp_fd = PLATFORM_NO_FILE;
  return read_whole && written;
}

bool unpack_check(UnpackRun* run) {
  // The data must be what was packed: closed by its end mark, and as long as the record says (a
  // payload cut at a block boundary ends early), with the same CRC.
  run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  if (payload_verdict(&run->reader, run->output_bytes, run->output_crc) != PAYLOAD_WHOLE) return false;
  // A bundle's files were each read back and held as they were finished; a file only checked
  // was never written.
  if (run->bundle || run->mode == RUN_VERIFY || run->mode == RUN_INFO) return true;
  run->failure = LAUNCHER_EXIT_FILE_FAILED;
  run->cause = CAUSE_IS_CHECK;

  // The bytes started are the bytes checked: the file is opened again so that no other process
  // can write, rename or delete it until the program has started, and what it holds now is read
  // back and must be what was written. A file that someone holds open for writing cannot be
  // opened so; one that was changed in the moment between the close and this reads back
  // different.
  run->locked_fd = platform_open_locked(run->temp_path);
  if (run->locked_fd == PLATFORM_NO_FILE) {
    unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_CHECK);
    return false;
  }
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
  platform_release_temp_file();
  if (!run->waits) {
    const bool started = platform_start(run->temp_path, run->temp_path, run->own_path);
    if (!started) unpack_note(run, LAUNCHER_EXIT_START_FAILED, CAUSE_IS_START);
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
  // A tail that begins with one of msiexec's actions (an uninstall, a repair ...) asks for it in
  // the place of /i.
  if (run->kind == TEMP_MSI_PACKAGE) {
    request.action_length = msi_action(run->tail, &request.action, &request.tail);
  }
  const bool ran = platform_run_and_wait(&request, &run->program_status);
  if (!ran) unpack_note(run, LAUNCHER_EXIT_START_FAILED, CAUSE_IS_START);
  close_file(&run->locked_fd);
  if (!ran) return false;
  remove_with_retry(run->temp_path);
  run->have_temp_file = false;
  return true;
}

namespace {

// A folder as the user names it, when a variable names it (POSIX: "$TMPDIR (/path/)"), else as
// it is.
void put_folder(TextBuilder* b, const char* variable, const char* folder) {
  if (variable != nullptr) {
    text_put(b, variable);
    text_put(b, " (");
  }
  text_put(b, folder);
  if (variable != nullptr) text_put(b, ")");
}

// Everything the run has written, gone: the files it holds open closed, a bundle's folder or the
// temporary file and its folder removed.
void remove_unpacked(UnpackRun* run) {
  close_file(&run->temp_fd);
  close_file(&run->locked_fd);
  bundle_remove(run);
  if (run->have_temp_file) platform_remove_temp_file(run->temp_path);
  run->have_temp_file = false;
}

}  // namespace

void launcher_caption(char* caption, uint32_t capacity) {
  if (!platform_text(IDS_FAILURE_CAPTION, caption, capacity) || caption[0] == '\0')
    std::memcpy(caption, FAILURE_CAPTION, sizeof FAILURE_CAPTION);
}

void unpack_compose_message(const UnpackRun* run, const char* address, char* out, uint32_t capacity) {
  TextBuilder b;
  text_start(&b, out, capacity);
  text_put(&b, FAILURE_MESSAGE_FIRST_LINE);
  text_put(&b, "\n");
  const bool with_reason = run->reason[0] != '\0';
  if (run->failure == LAUNCHER_EXIT_BAD_PAYLOAD) {
    text_put(&b, CAUSE_PAYLOAD);
  } else if (run->cause == CAUSE_IS_OWN_FILE) {
    text_put(&b, CAUSE_OWN_FILE);
    text_put(&b, run->own_path[0] != '\0' ? run->own_path : "?");
    text_put(&b, with_reason ? ": " : ".");
    text_put(&b, run->reason);
  } else if (run->cause == CAUSE_IS_TEMP && run->mode != RUN_EXTRACT && run->temp_dir[0] == '\0') {
    text_put(&b, CAUSE_TEMP_UNKNOWN);
  } else if (run->cause == CAUSE_IS_TEMP) {
    text_put(&b, run->mode == RUN_EXTRACT ? "The folder " : CAUSE_TEMP_FOLDER);
    if (run->mode == RUN_EXTRACT) {
      text_put(&b, run->folder);
    } else {
      put_folder(&b, platform_temp_dir_variable(), run->temp_dir);
    }
    text_put(&b, run->fault == FAULT_MISSING  ? CAUSE_TEMP_MISSING
                 : run->fault == FAULT_FULL   ? CAUSE_TEMP_FULL
                 : run->fault == FAULT_DENIED ? CAUSE_TEMP_DENIED
                                              : CAUSE_TEMP_OTHER);
    if (run->fault == FAULT_OTHER) text_put(&b, with_reason ? run->reason : "?");
  } else if (run->cause == CAUSE_IS_NOEXEC) {
    text_put(&b, CAUSE_NOEXEC);
    text_put(&b, run->tried);
  } else {
    text_put(&b, run->cause == CAUSE_IS_CHECK ? CAUSE_CHECK : CAUSE_START);
    text_put(&b, with_reason ? ": " : "");
    text_put(&b, run->reason);
  }
  // The system's words may end in a full stop of their own.
  if (b.length > 0 && b.text[b.length - 1] != '.') text_put(&b, ".");
  if (address[0] != '\0') {
    char advice[MESSAGE_BUFFER_BYTES];
    compose_failure_message(address, advice, sizeof advice);
    text_put(&b, "\n\n");
    text_put(&b, advice + sizeof FAILURE_MESSAGE_FIRST_LINE + 1);
  }
}

int unpack_fail(UnpackRun* run) {
  if (run->visible) {
    char caption[MESSAGE_BUFFER_BYTES];
    char address[MESSAGE_BUFFER_BYTES];
    static char message[FAILURE_TEXT_BYTES];
    launcher_caption(caption, sizeof caption);
    if (!platform_text(IDS_PUBLISHER_ADDRESS, address, sizeof address)) {
      std::memcpy(address, DEFAULT_PUBLISHER_ADDRESS, sizeof DEFAULT_PUBLISHER_ADDRESS);
    }
    unpack_compose_message(run, address, message, sizeof message);
    platform_show_message(caption, message);
  }
  remove_unpacked(run);
  close_file(&run->own_fd);
  if (run->mode == RUN_EXTRACT) extract_undo(run);
  // A run asked to be silent, or waited for, ends with the launcher's own code: a deployment must
  // never take a failure for success.
  return run->waits || run->silent || run->mode != RUN_INSTALL ? run->failure : 0;
}

namespace {

// Whether the program can start from where it was unpacked: a file system that lets programs
// run, or a #! script, which the platform then runs through its interpreter.
bool runs_from_here(const UnpackRun* run) {
  if (run->kind != TEMP_PROGRAM || platform_folder_runs_programs(run->temp_dir)) return true;
  return run->head_bytes == 2 && run->head[0] == '#' && run->head[1] == '!';
}

// The program was unpacked where programs cannot run: everything is removed, and the next folder
// of the platform's list is tried, the one tried named in run->tried. False when there is none.
bool unpack_elsewhere(UnpackRun* run, uint32_t* next) {
  TextBuilder b;
  text_start(&b, run->tried + std::strlen(run->tried), sizeof run->tried - static_cast<uint32_t>(std::strlen(run->tried)));
  // The first is the temporary directory, named as the user names it (POSIX: $TMPDIR).
  const bool first = run->tried[0] == '\0';
  if (!first) text_put(&b, ", ");
  put_folder(&b, first ? platform_temp_dir_variable() : nullptr, run->temp_dir);
  remove_unpacked(run);
  if (!platform_fallback_temp_dir((*next)++, run->temp_dir, sizeof run->temp_dir)) {
    run->failure = LAUNCHER_EXIT_START_FAILED;
    run->cause = CAUSE_IS_NOEXEC;
    return false;
  }
  // From the start again, into the next folder.
  output_count = 0;
  run->output_bytes = 0;
  run->output_crc = 0;
  run->head_bytes = 0;
  run->have_program = false;
  return true;
}

}  // namespace

int run_unpack(const char* tail) {
  UnpackRun* run = &the_run;
  unpack_reset(run, tail);
  uint32_t next_folder = 0;
  for (;;) {
    if (!unpack_find(run)) return unpack_fail(run);
    const bool held = unpack_copy(run) && unpack_check(run);
    if (run->visible) {
      platform_progress_hide();
      platform_progress_release();
    }
    if (!held) return unpack_fail(run);
    if (run->bundle || runs_from_here(run)) break;
    if (!unpack_elsewhere(run, &next_folder)) return unpack_fail(run);
  }
  if (!unpack_start(run)) return unpack_fail(run);
  return run->waits ? static_cast<int>(run->program_status) : 1;
}
