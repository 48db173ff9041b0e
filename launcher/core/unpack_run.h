// The unpack run, phase by phase, and the pieces of it worth naming on their own: the buffered
// output and the progress bar.
//
// run_unpack (launcher.h) goes through the phases in order; each returns false when the run
// cannot go on, and the run then ends in unpack_fail:
//   unpack_find   the launcher's own file and the payload in it, a new temporary file
//   unpack_copy   the payload decoded into the temporary file while the bar fills
//   unpack_check  what the file holds, against the record and as read back through a handle
//                 that no other process can write through
//   unpack_start  the program started: by the start contract, with the launcher's own path and
//                 nothing more to do; by the wait contract, with the tail, waited for and removed
//
// A bundle (a folder: INTEGRITY_FLAG_BUNDLE) goes through the same phases: unpack_find makes a
// private folder rather than a file, unpack_copy hands the decoded stream to the bundle reader,
// which makes each folder and file new inside it, each file read back and held as it is
// finished (bundle_run.cpp), and the program is started from its own folder and waited for;
// then the whole folder is removed.
#pragma once

#include <cstdint>

#include "bundle.h"
#include "payload_reader.h"
#include "platform.h"
#include "progress_bar.h"
#include "texts.h"

// The longest path of a bundle's entry: the private folder, a separator and the entry's name.
constexpr uint32_t BUNDLE_PATH_BYTES = PATH_BUFFER_CHARS + 1 + NAME_MAX_BYTES + 1;

// What the run does with the payload: unpacks and starts it (the run a user starts), or one of
// the launcher's own switches (launcher.h): checks it and writes nothing, tells what it holds, or
// writes it into a folder the user names and starts nothing.
enum RunMode : int { RUN_INSTALL = 0, RUN_VERIFY, RUN_INFO, RUN_EXTRACT };

// What a failed run's message names (the failure code tells the kind: payload, file, start).
enum RunCause : int {
  CAUSE_IS_PAYLOAD = 0,  // the payload is damaged or cut
  CAUSE_IS_OWN_FILE,     // the launcher's own file cannot be read
  CAUSE_IS_TEMP,         // the temporary folder (or the folder extracted into) failed: fault, reason
  CAUSE_IS_CHECK,        // the unpacked file could not be held and read back
  CAUSE_IS_START,        // the program could not be started: reason
  CAUSE_IS_NOEXEC,       // no folder tried lets programs run: tried
};

// The state of the one run of the process, static as the run happens once.
struct UnpackRun {
  const char* tail;     // the launcher's command tail, passed on by the wait contract
  RunMode mode;
  bool silent;          // the tail asks the installer to be silent (silent_switch)
  bool visible;         // the window and the message may be shown
  bool waits;           // the wait contract (the record's flags)
  TempFileKind kind;    // what the temporary file holds
  int failure;          // what a waiting run returns if it fails now (launcher.h)
  RunCause cause;       // what the message names
  PlatformFault fault;  // the system's answer, for CAUSE_IS_TEMP, _CHECK and _START
  char reason[256];     // the system's words for it
  char tried[PATH_BUFFER_CHARS];  // the folders tried that do not let programs run
  uint8_t head[2];      // the program's first two bytes: "#!" for a script a shell may run
  uint32_t head_bytes;
  uint32_t program_status;  // the waited-for program's exit status
  char own_path[PATH_BUFFER_CHARS];
  char temp_dir[PATH_BUFFER_CHARS];
  char temp_path[PATH_BUFFER_CHARS];
  int own_fd;           // the launcher's own file, open for reading
  int temp_fd;          // the temporary file, open for writing while it is written
  int locked_fd;        // the temporary file, open again so that nobody can change it
  bool have_temp_file;  // the temporary file (and its folder) exist
  int64_t payload_start;
  int64_t payload_size;  // from the payload's start to the end of the file, or to a signature
  uint64_t output_bytes;
  uint32_t output_crc;
  PayloadReader reader;  // about 210 KB

  // A bundle's run (bundle_run.cpp).
  bool bundle;
  bool have_folder;         // the private folder exists
  bool made_extract_folder; // /sfx-extract made the folder it writes into
  uint32_t run_entry;       // the record's entry to start
  bool have_program;        // the stream held that entry, a file
  int entry_fd;             // the file being written
  uint64_t entry_bytes;
  uint32_t entry_crc;
  char folder[PATH_BUFFER_CHARS];  // the private folder (or the folder extracted into)
  char entry_path[BUNDLE_PATH_BYTES];
  char program_path[BUNDLE_PATH_BYTES];
  BundleReader bundle_reader;
  NameTable names;
  uint64_t name_slots[NAME_TABLE_SLOTS];  // 2 MiB, touched only by a bundle's run
  uint8_t check_buffer[64 * 1024];        // a finished file read back
};

// The one run of the process.
UnpackRun* unpack_the_run();
// Sets the run back to its start, nothing open, for the command tail given.
void unpack_reset(UnpackRun* run, const char* tail);
// Notes why the run fails now: the failure code, the cause, and the system's answer to the last
// failed call (platform_last_fault), which must be the call that failed.
void unpack_note(UnpackRun* run, int failure, RunCause cause);
// The caption of the launcher's messages: its resources' (the publisher's), else its own.
void launcher_caption(char* caption, uint32_t capacity);
// The failure message: its first line, the cause, the advice line where there is an address.
void unpack_compose_message(const UnpackRun* run, const char* address, char* out, uint32_t capacity);
// Opens the own file and finds the payload, whose integrity record must be one this launcher can
// use and tells the contract; then makes the temporary file (in run->temp_dir when that is set
// already; for RUN_EXTRACT the file or folder in run->folder; nothing for RUN_VERIFY and RUN_INFO).
bool unpack_find(UnpackRun* run);
// Shows the progress window and decodes the payload into the temporary file, a block at a time,
// taking the data's CRC-32 as it goes; closes both files. False on any damage or failed write.
bool unpack_copy(UnpackRun* run);
// Holds the data to the integrity record, then opens the file again, locked, and reads it back.
bool unpack_check(UnpackRun* run);
// Starts the file. By the start contract: with the launcher's own path, then lets go of it. By the
// wait contract: with the tail, waits for it, and removes it and its folder (retrying while it is
// still in use, as delete mode does); run->program_status is its exit status.
bool unpack_start(UnpackRun* run);
// The end of every failed run: the message (where anyone can see it), then no temporary file or
// folder left behind. Returns the run's result: 0 by the start contract, run->failure by the wait
// contract.
int unpack_fail(UnpackRun* run);

// A bundle's part of the phases (bundle_run.cpp): the private folder made (in unpack_find), the
// stream taken (the sink the copy feeds; bundle_copy_end at its end), the program started and
// waited for, and everything removed (on success and on failure alike).
bool bundle_make_folder(UnpackRun* run);
bool bundle_feed_bytes(UnpackRun* run, const uint8_t* bytes, uint32_t n);
bool bundle_copy_end(UnpackRun* run);
bool bundle_start(UnpackRun* run);
void bundle_remove(UnpackRun* run);
// The launcher's own /sfx-extract (own_switches.cpp): the target made in run->folder, the folder
// the user named (a new one, or one that is empty): a bundle's entries go into it, a single file
// is written into it under the launcher's own file name; and, on failure, everything written
// there removed again.
bool extract_make_target(UnpackRun* run);
void extract_undo(UnpackRun* run);
// Sets up the bundle reader for the stream (the folder it writes into, if any, made already).
void bundle_begin(UnpackRun* run);

// The name of the program a bundle runs, as its stream gave it (empty before the copy).
const char* bundle_program_name(const UnpackRun* run);
// An interruption noted by the platform (a signal, the window closed) ends the run here, between
// two pieces of its work: everything removed, then the process ends.
void bundle_stop_if_interrupted(UnpackRun* run);

// The output is gathered into writes of this many bytes.
constexpr uint32_t OUTPUT_BUFFER_BYTES = 4096;

// put_output_byte's value that writes out what is buffered instead of appending a byte.
constexpr int OUTPUT_FLUSH = -1;

// Appends value (0..255) to the output buffer of fd, writing the buffer out first when it is
// full; OUTPUT_FLUSH writes out what is buffered. False when a write could not be completed
// (disk full or an error): the output file is then incomplete.
bool put_output_byte(int value, int fd);

// Appends n bytes as n calls of put_output_byte would, with the same writes: a full buffer is
// written out only when a further byte comes, always OUTPUT_BUFFER_BYTES at a time.
bool put_output_bytes(const uint8_t* bytes, uint32_t n, int fd);

// Bytes waiting in the output buffer.
uint32_t output_buffered_bytes();

// Reads the whole file back through fd, capacity bytes at a time into buffer: its length and
// CRC-32. The window answers its messages meanwhile. False on a read error.
bool read_back(int fd, uint8_t* buffer, uint32_t capacity, uint64_t* length, uint32_t* crc);
