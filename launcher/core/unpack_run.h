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
#pragma once

#include <cstdint>

#include "payload_reader.h"
#include "platform.h"
#include "progress_bar.h"
#include "texts.h"

// The state of the one run of the process, static as the run happens once.
struct UnpackRun {
  const char* tail;     // the launcher's command tail, passed on by the wait contract
  bool visible;         // the window and the message may be shown
  bool waits;           // the wait contract (the record's flags)
  TempFileKind kind;    // what the temporary file holds
  int failure;          // what a waiting run returns if it fails now (launcher.h)
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
};

// Sets the run back to its start, nothing open, for the command tail given.
void unpack_reset(UnpackRun* run, const char* tail);
// Opens the own file and finds the payload, whose integrity record must be one this launcher can
// use and tells the contract; then makes the temporary file.
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
