// Bundles: a folder carried as a payload's data (the record's flag INTEGRITY_FLAG_BUNDLE, its
// run_entry naming the program to start). The data is a tar stream in a restricted pax form, so
// that standard tools read it (GNU tar, bsdtar, Python's tarfile, Windows' tar.exe), and it holds
// only what the launcher needs (README, "Bundles"):
//
//   - 512-byte ustar headers (magic "ustar\0", version "00"), the header checksum right, numbers
//     in octal (NUL- or blank-terminated), typeflag '0' (a regular file) or '5' (a directory);
//   - a pax extended header (typeflag 'x') may stand right before an entry, holding only the
//     records "path" (a name that does not fit the ustar fields, or is not ASCII) and "size" (a
//     size past ustar's 11 octal digits); the entry's own fields give way to them;
//   - names in strict UTF-8, components separated by '/', a directory's name may end in '/';
//     every entry's folder is an earlier directory entry of the stream (the top is implied);
//   - each file's data padded to a multiple of 512 bytes;
//   - two zero blocks end the stream, and nothing follows them.
//
// Every other entry type (links, devices, FIFOs, GNU long names and sparse files, pax global
// headers), any other pax record, a name the name policy (name_policy.h) refuses, two entries
// that are one name for Windows, too many entries, and anything after the end are faults: the
// one reader below refuses them, for the launchers and for the tool alike.
//
// The reader is pushed the decoded data as it comes, in pieces of any size, and hands each entry
// and each file's bytes to a sink; it keeps no more than one header (and one pax header) of the
// stream, allocates nothing and calls no system function.
#pragma once

#include <cstdint>

#include "name_policy.h"

constexpr uint32_t BUNDLE_BLOCK_BYTES = 512;
// The most entries a bundle may hold (files and folders together).
constexpr uint32_t BUNDLE_MAX_ENTRIES = 100000;
// The largest pax extended header the reader takes (its records, without padding).
constexpr uint32_t BUNDLE_MAX_PAX_BYTES = 8192;

enum BundleEntryKind : uint8_t { BUNDLE_FILE = 0, BUNDLE_DIRECTORY = 1 };

struct BundleEntry {
  BundleEntryKind kind;
  uint32_t number;      // its place in the stream, 0 for the first entry
  uint64_t size;        // a file's bytes (0 for a directory)
  bool executable;      // a file whose mode has an execute bit
  uint32_t name_bytes;  // strlen(name)
  char name[NAME_MAX_BYTES + 1];  // UTF-8, '/' between components, no '/' at the end
};

// Where the reader hands what it reads. Each function returns false to stop the read, which then
// ends with BUNDLE_FAULT_STOPPED (the sink keeps its own reason).
struct BundleSink {
  // An entry: a directory, or the start of a file (its data follows through data).
  bool (*entry)(void* context, const BundleEntry* entry);
  // The next bytes of the current file, in order; all of them come before file_end.
  bool (*data)(void* context, const uint8_t* bytes, uint32_t n);
  // The current file's last byte has been handed over (also for an empty file).
  bool (*file_end)(void* context, const BundleEntry* entry);
  void* context;
};

enum BundleFault : int {
  BUNDLE_FAULT_NONE = 0,
  BUNDLE_FAULT_CHECKSUM,       // a header's checksum is wrong
  BUNDLE_FAULT_NOT_USTAR,      // a header without the ustar magic and version (a lone zero
                               // block followed by a header too)
  BUNDLE_FAULT_NUMBER,         // a size, mode or checksum field that is not an octal number
  BUNDLE_FAULT_ENTRY_TYPE,     // a link, device, FIFO, GNU or other entry (fault_type says which)
  BUNDLE_FAULT_GLOBAL_HEADER,  // a pax global header
  BUNDLE_FAULT_PAX,            // a malformed or too large pax header, a record not taken, or a
                               // pax header followed by another or by the end
  BUNDLE_FAULT_NAME,           // a name the name policy refuses (fault_name says why)
  BUNDLE_FAULT_DUPLICATE,      // one name for Windows with an earlier entry
  BUNDLE_FAULT_NO_FOLDER,      // the entry's folder is not an earlier directory entry
  BUNDLE_FAULT_TOO_MANY,       // more than BUNDLE_MAX_ENTRIES entries, or than the names table
                               // holds (capacity / 2)
  BUNDLE_FAULT_DIRECTORY_DATA, // a directory entry with a size
  BUNDLE_FAULT_TRAILING,       // bytes after the two zero blocks that end the stream
  BUNDLE_FAULT_CUT,            // the data ended before the two zero blocks
  BUNDLE_FAULT_STOPPED,        // the sink stopped the read
};

struct BundleReader {
  // The state of the stream (private to bundle.cpp).
  uint8_t header[BUNDLE_BLOCK_BYTES];
  uint32_t header_fill;
  uint8_t pax[BUNDLE_MAX_PAX_BYTES];
  uint64_t pax_bytes;        // the pax header's data size; its data is collected into pax
  uint64_t pax_fill;
  bool have_pax;             // a pax header has been read for the next entry
  bool pax_path_set, pax_size_set;
  uint64_t pax_size;
  uint32_t state;
  uint64_t data_left;        // of the current file (or pax header)
  uint32_t padding_left;
  uint32_t zero_blocks;      // zero blocks in a row at the end
  uint64_t offset;           // bytes of the stream read so far
  BundleEntry entry;         // the current entry
  uint32_t entries;
  NameTable* names;          // the names met so far, for duplicates (name_policy.h)
  // What went wrong, where: the fault; its offset in the stream (the header at fault, the first
  // byte after the end for BUNDLE_FAULT_TRAILING, the length read for BUNDLE_FAULT_CUT, the data
  // or header the sink stopped at); the entry's number (the entry whose data was being read, else
  // the entries read so far); the entry type met (BUNDLE_FAULT_ENTRY_TYPE) and the name's fault
  // (BUNDLE_FAULT_NAME; a pax path past NAME_MAX_BYTES is NAME_TOO_LONG).
  BundleFault fault;
  uint64_t fault_offset;
  uint32_t fault_entry;
  char fault_type;
  NameFault fault_name;
};

// Starts a stream; names is the caller's table (name_table_init), emptied here.
void bundle_reader_init(BundleReader* reader, NameTable* names);

// Reads n more bytes of the stream. False on a fault (reader->fault), after which the reader
// takes nothing more.
bool bundle_feed(BundleReader* reader, const uint8_t* bytes, uint32_t n, const BundleSink* sink);

// At the end of the data: true when the stream ended with its two zero blocks and nothing
// after them; otherwise sets BUNDLE_FAULT_CUT (or keeps an earlier fault) and returns false.
bool bundle_finish(BundleReader* reader);

// A short English description of a fault, for messages, naming the entry (and its name where
// it is known) and the cause: "entry 3 (setup/data.bin): a symbolic link", "entry 0: the name
// \"..\\x\" holds a backslash", "the stream ends before its end (two zero blocks)". Written into
// out, zero-terminated (capacity bytes; at least 128, which every message fits).
void bundle_fault_describe(const BundleReader* reader, char* out, uint32_t capacity);
