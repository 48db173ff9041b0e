// A bundle's run: the decoded stream (a folder as a restricted tar stream, bundle.h) made into a
// folder inside the launcher's private folder, then the program the record names started from
// it and waited for, and the whole folder removed.
//
// Nothing is written outside the private folder, whatever the names: every name has passed the
// one name policy (no "..", no drive, no '\\' or ':', no device name ...), every folder and file
// is created new (a name that is there already, a link planted in the folder included, is never
// opened), and an entry's folder must be an earlier folder of the stream. Each file is read back
// as soon as it is written, through a handle no other process can write through, and held so
// until the program has started; the whole stream is checked against the record before anything
// starts. Any failure removes everything and starts nothing.
#include <cstring>

#include "crc32.h"
#include "launcher.h"
#include "platform.h"
#include "unpack_run.h"

namespace {

bool dry(const UnpackRun* run) { return run->mode == RUN_VERIFY || run->mode == RUN_INFO; }

void close_entry(UnpackRun* run) {
  if (run->entry_fd == PLATFORM_NO_FILE) return;
  platform_close(run->entry_fd);
  run->entry_fd = PLATFORM_NO_FILE;
}

// The entry's path: the private folder, '/', its name. False when it does not fit.
bool entry_path(UnpackRun* run, const BundleEntry* entry) {
  const size_t folder = std::strlen(run->folder);
  if (folder + 1 + entry->name_bytes + 1 > sizeof run->entry_path) return false;
  std::memcpy(run->entry_path, run->folder, folder);
  run->entry_path[folder] = '/';
  std::memcpy(run->entry_path + folder + 1, entry->name, entry->name_bytes + 1);
  return true;
}

// The sink's failures are the file system's (the payload's own are the reader's faults).
bool on_entry(void* context, const BundleEntry* entry) {
  UnpackRun* run = static_cast<UnpackRun*>(context);
  run->failure = LAUNCHER_EXIT_FILE_FAILED;
  if (!entry_path(run, entry)) return false;
  if (entry->number == run->run_entry) {
    // The program to start must be a file; a folder of that number makes the payload unusable.
    if (entry->kind != BUNDLE_FILE) {
      run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
      return false;
    }
    std::memcpy(run->program_path, run->entry_path, sizeof run->program_path);
    run->have_program = true;
  }
  run->entry_bytes = 0;
  run->entry_crc = 0;
  // Only checked or described: the stream is read, nothing is made.
  if (dry(run)) return true;
  if (entry->kind == BUNDLE_DIRECTORY) return platform_make_folder(run->entry_path);
  // The program to start is made executable whatever its mode said (a script packed on Windows).
  run->entry_fd = platform_create_file(run->entry_path, entry->executable || entry->number == run->run_entry);
  run->entry_bytes = 0;
  run->entry_crc = 0;
  return run->entry_fd != PLATFORM_NO_FILE;
}

bool on_data(void* context, const uint8_t* bytes, uint32_t n) {
  UnpackRun* run = static_cast<UnpackRun*>(context);
  run->entry_bytes += n;
  if (dry(run)) return true;
  run->entry_crc = crc32_update(run->entry_crc, bytes, n);
  return put_output_bytes(bytes, n, run->entry_fd);
}

// The file is closed, opened again so that nobody can change it, read back and held.
bool on_file_end(void* context, const BundleEntry* entry) {
  UnpackRun* run = static_cast<UnpackRun*>(context);
  if (dry(run)) return run->entry_bytes == entry->size;
  bool written = put_output_byte(OUTPUT_FLUSH, run->entry_fd);
  written = platform_close(run->entry_fd) && written;
  run->entry_fd = PLATFORM_NO_FILE;
  if (!written || run->entry_bytes != entry->size) return false;
  const int fd = platform_open_locked(run->entry_path);
  if (fd == PLATFORM_NO_FILE) return false;
  uint64_t length = 0;
  uint32_t crc = 0;
  if (!read_back(fd, run->check_buffer, sizeof run->check_buffer, &length, &crc) || length != run->entry_bytes ||
      crc != run->entry_crc || !platform_hold(fd)) {
    platform_close(fd);
    return false;
  }
  // Extracted for the user: the file carries the mark of origin the launcher's own file has.
  return run->mode != RUN_EXTRACT || platform_copy_origin_mark(run->own_path, run->entry_path);
}


}  // namespace

bool bundle_make_folder(UnpackRun* run) {
  run->have_folder = platform_create_temp_folder(run->temp_dir, run->folder, sizeof run->folder);
  if (!run->have_folder) return false;
  bundle_begin(run);
  return true;
}

void bundle_begin(UnpackRun* run) {
  name_table_init(&run->names, run->name_slots, NAME_TABLE_SLOTS);
  bundle_reader_init(&run->bundle_reader, &run->names);
}

const char* bundle_program_name(const UnpackRun* run) {
  const size_t folder = std::strlen(run->folder);
  return run->have_program ? run->program_path + folder + 1 : "";
}

bool bundle_feed_bytes(UnpackRun* run, const uint8_t* bytes, uint32_t n) {
  // Made here rather than copied from a constant: a constant table of functions would be the
  // launcher's only initialised data.
  const BundleSink sink = {on_entry, on_data, on_file_end, run};
  if (bundle_feed(&run->bundle_reader, bytes, n, &sink)) return true;
  // A fault of the stream's own is a damaged payload; the sink set its own cause.
  if (run->bundle_reader.fault != BUNDLE_FAULT_STOPPED) run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  return false;
}

bool bundle_copy_end(UnpackRun* run) {
  run->failure = LAUNCHER_EXIT_BAD_PAYLOAD;
  return bundle_finish(&run->bundle_reader) && run->have_program;
}

void bundle_stop_if_interrupted(UnpackRun* run) {
  if (!run->bundle || !platform_interrupted()) return;
  bundle_remove(run);
  platform_end_interrupted();
}

bool bundle_start(UnpackRun* run) {
  run->failure = LAUNCHER_EXIT_START_FAILED;
  // The program runs in its own folder: the program's path less its name.
  char working_dir[BUNDLE_PATH_BYTES];
  std::memcpy(working_dir, run->program_path, sizeof working_dir);
  char* last = std::strrchr(working_dir, '/');
  if (last != nullptr) *last = '\0';
  // The held files are let go once the program has started (the platform does it then).
  RunRequest request{};
  request.program = run->program_path;
  request.kind = run->kind;
  request.working_dir = working_dir;
  request.private_folder = run->folder;
  request.tail = run->tail;
  request.own_path = run->own_path;
  request.release_held = true;
  const bool ran = platform_run_and_wait(&request, &run->program_status);
  platform_release_held();
  if (!ran) return false;
  bundle_remove(run);
  return true;
}

void bundle_remove(UnpackRun* run) {
  close_entry(run);
  platform_release_held();
  if (run->have_folder) platform_remove_tree(run->folder);
  run->have_folder = false;
}
