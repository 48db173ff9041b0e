// The launcher's own switches: an administrator checks, describes or extracts a packed file
// without running it, with nothing but the file itself. Each goes through the unpack run's phases
// (unpack_run.h) in its own mode: the payload is found and decoded as for a run, every check made,
// and nothing started.
#include <cstring>

#include "integrity.h"
#include "launcher.h"
#include "platform.h"
#include "resource.h"
#include "unpack_run.h"

namespace {

constexpr char HELP[] =
    "/sfx-verify       check the data, write nothing (0 whole, 110 damaged)\n"
    "/sfx-extract DIR  write the installer into DIR, new or empty; start nothing\n"
    "/sfx-info         what the file holds and how it runs it\n"
    "/sfx-help         this text\n";

// What a switch tells goes to the console the launcher was started from, or else (where someone
// can see it) into a message.
void tell(const char* text) {
  if (platform_print(text) || !platform_desktop_visible()) return;
  char caption[MESSAGE_BUFFER_BYTES];
  launcher_caption(caption, sizeof caption);
  platform_show_message(caption, text);
}

// The last component of a path.
const char* file_name(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

const char* contract_text(const UnpackRun* run) {
  if (run->bundle) return "folder, waits";
  if (run->kind == TEMP_MSI_PATCH) return "msiexec /p, waits";
  if (run->kind == TEMP_MSI_PACKAGE) return "msiexec /i, waits";
  return run->waits ? "program, waits" : "program, starts";
}

// Decodes the whole payload in the run's mode: true when it is whole.
bool decode_whole(UnpackRun* run) { return unpack_find(run) && unpack_copy(run) && unpack_check(run); }

void put_label(TextBuilder* b, const char* label, const char* value) {
  text_put(b, label);
  text_put(b, value);
  text_put(b, "\n");
}

}  // namespace

bool extract_make_target(UnpackRun* run) {
  // The folder named: a new one, or one that is there and empty.
  if (!platform_folder_is_empty(run->folder)) {
    if (!platform_make_folder(run->folder)) {
      // Something is there already (a file, a folder with things in it), or the folder's own
      // folder is missing or closed to the user.
      unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
      if (run->fault == FAULT_OTHER) run->failure = LAUNCHER_EXIT_USAGE;
      return false;
    }
    run->made_extract_folder = true;
  }
  if (run->bundle) {
    bundle_begin(run);
    return true;
  }
  // A single file takes the launcher's own name; a package's ends as msiexec wants it.
  TextBuilder b;
  text_start(&b, run->temp_path, sizeof run->temp_path);
  text_put(&b, run->folder);
  text_put(&b, "/");
  text_put(&b, file_name(run->own_path));
  if (run->kind == TEMP_MSI_PACKAGE || run->kind == TEMP_MSI_PATCH) {
    char* dot = std::strrchr(run->temp_path, '.');
    if (dot != nullptr && dot > std::strrchr(run->temp_path, '/')) {
      b.length = static_cast<uint32_t>(dot - run->temp_path);
      b.text[b.length] = '\0';
    }
    text_put(&b, run->kind == TEMP_MSI_PATCH ? ".msp" : ".msi");
  }
  run->temp_fd = platform_create_file(run->temp_path, run->kind == TEMP_PROGRAM);
  if (run->temp_fd == PLATFORM_NO_FILE) {
    unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
    return false;
  }
  return true;
}

void extract_undo(UnpackRun* run) {
  // All or nothing: the folder is left as it was found, made again empty when it was there.
  platform_release_held();
  if (run->folder[0] == '\0' || (run->failure == LAUNCHER_EXIT_USAGE)) return;
  platform_remove_tree(run->folder);
  if (!run->made_extract_folder) platform_make_folder(run->folder);
}

int run_own_switch(OwnSwitch which, const char* rest) {
  if (which == SWITCH_HELP || which == SWITCH_UNKNOWN) {
    tell(HELP);
    return which == SWITCH_HELP ? 0 : LAUNCHER_EXIT_USAGE;
  }
  UnpackRun* run = unpack_the_run();
  unpack_reset(run, "");
  run->visible = false;
  run->mode = which == SWITCH_VERIFY ? RUN_VERIFY : which == SWITCH_INFO ? RUN_INFO : RUN_EXTRACT;
  static char text[FAILURE_TEXT_BYTES];
  TextBuilder b;
  text_start(&b, text, sizeof text);
  if (which == SWITCH_EXTRACT) {
    char named[PATH_BUFFER_CHARS];
    if (!first_token(rest, named, sizeof named) || !platform_full_path(named, run->folder, sizeof run->folder)) {
      tell(HELP);
      return LAUNCHER_EXIT_USAGE;
    }
    // The folder's path without a separator at its end (a drive's or the system's root keeps it).
    size_t n = std::strlen(run->folder);
    while (n > 1 && (run->folder[n - 1] == '/' || run->folder[n - 1] == '\\') && run->folder[n - 2] != ':') {
      run->folder[--n] = '\0';
    }
  }
  bool whole = decode_whole(run);
  platform_release_held();
  if (run->locked_fd != PLATFORM_NO_FILE) platform_close(run->locked_fd);
  run->locked_fd = PLATFORM_NO_FILE;
  // A single file extracted carries the launcher's mark of origin (a bundle's files got it as
  // each was finished).
  if (whole && run->mode == RUN_EXTRACT && !run->bundle && !platform_copy_origin_mark(run->own_path, run->temp_path)) {
    unpack_note(run, LAUNCHER_EXIT_FILE_FAILED, CAUSE_IS_TEMP);
    whole = false;
  }
  if (!whole) {
    // Nothing left open or written (the run shows nothing: it is not visible).
    unpack_fail(run);
    if (run->failure == LAUNCHER_EXIT_USAGE) {
      put_label(&b, "/sfx-extract: not empty: ", run->folder);
    } else {
      unpack_compose_message(run, "", text, sizeof text);
      b.length = static_cast<uint32_t>(std::strlen(text));
      text_put(&b, "\n");
    }
    tell(text);
    return run->failure;
  }
  if (run->mode == RUN_EXTRACT) {
    put_label(&b, "extracted into ", run->folder);
    put_label(&b, "program: ", run->bundle ? bundle_program_name(run) : file_name(run->temp_path));
    tell(text);
    return 0;
  }
  text_put(&b, run->own_path);
  text_put(&b, ": whole, ");
  text_put_number(&b, run->output_bytes);
  text_put(&b, " bytes, CRC-32 ");
  text_put_hex(&b, run->output_crc);
  put_label(&b, run->reader.record_status == INTEGRITY_PRESENT ? "" : ", no record", "");
  if (run->mode == RUN_INFO) {
    put_label(&b, "contract: ", contract_text(run));
    if (run->bundle) put_label(&b, "program: ", bundle_program_name(run));
    text_put(&b, "payload: ");
    text_put_number(&b, static_cast<uint64_t>(run->payload_size));
    text_put(&b, " bytes\nrecord flags: ");
    text_put_hex(&b, run->reader.record.flags);
    char identity[MESSAGE_BUFFER_BYTES];
    launcher_caption(identity, sizeof identity);
    put_label(&b, "\ntitle: ", identity);
    if (!platform_text(IDS_PUBLISHER_ADDRESS, identity, sizeof identity))
      std::memcpy(identity, DEFAULT_PUBLISHER_ADDRESS, sizeof DEFAULT_PUBLISHER_ADDRESS);
    put_label(&b, "address: ", identity[0] != '\0' ? identity : "none");
  }
  tell(text);
  return 0;
}
