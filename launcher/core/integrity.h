// The integrity record: the decoded length and CRC-32 of a payload, in a fixed 32-byte record
// that lies right before the payload marker (README, "The payload"). Lying before the payload,
// it lets a reader tell a payload cut anywhere after it, at a block boundary or just before the
// end mark included, from a whole one.
//
//   offset  bytes  field
//   0       8      decoded length, unsigned, little-endian
//   8       4      CRC-32 of the decoded data, little-endian
//   12      2      record size: 32, little-endian
//   14      1      version: 1
//   15      1      flags: how the launcher runs what it unpacked (below); readers ignore the
//                  bits they do not know
//   16      4      the bundle's program: with the flag BUNDLE, the number of the entry to start
//                  (0 for the stream's first entry), little-endian; otherwise 0 (readers ignore it)
//   20      4      the record's own check: CRC-32 of bytes 0-19, little-endian
//   24      8      magic "sfxcheck"
//
// The magic holds only lower-case letters, none of which occurs in the marker, so however the
// bytes before it leave the marker search, it has given up any partial match by the record's
// last byte and finds the marker that follows. A launcher that does not know the record passes
// over it as part of its program image.
#pragma once

#include <cstdint>

constexpr uint32_t INTEGRITY_RECORD_BYTES = 32;
constexpr char INTEGRITY_MAGIC[] = "sfxcheck";
constexpr uint32_t INTEGRITY_MAGIC_BYTES = 8;
constexpr uint8_t INTEGRITY_VERSION = 1;
static_assert(sizeof INTEGRITY_MAGIC - 1 == INTEGRITY_MAGIC_BYTES, "magic length");

// The flags: the contract the publisher chose at packing time.
// WAIT: start the program with the launcher's command tail, wait for it, remove it and end with
//   its exit status (README, "Running installers").
// MSI: the data is a Windows Installer package, started through msiexec; such a payload waits.
// BUNDLE: the data is a folder as a tar stream in the bundle's restricted form (bundle.h); the
//   program to start is its entry run_entry, run from the unpacked folder. A bundle waits.
// COMMAND_SCRIPT: the program is a .cmd or .bat file, run by the system's command interpreter.
// PATCH: with MSI, the package is a Windows Installer patch (.msp), applied through msiexec /p.
constexpr uint8_t INTEGRITY_FLAG_WAIT = 0x01;
constexpr uint8_t INTEGRITY_FLAG_MSI = 0x02;
constexpr uint8_t INTEGRITY_FLAG_BUNDLE = 0x04;
constexpr uint8_t INTEGRITY_FLAG_COMMAND_SCRIPT = 0x08;
constexpr uint8_t INTEGRITY_FLAG_PATCH = 0x10;

struct IntegrityRecord {
  uint64_t decoded_length;
  uint32_t data_crc;
  uint8_t flags = 0;
  uint32_t run_entry = 0;  // with INTEGRITY_FLAG_BUNDLE: the entry to start
};

enum IntegrityStatus : int {
  INTEGRITY_ABSENT = 0,       // no magic before the marker: a payload without a record
  INTEGRITY_PRESENT,          // a sound record
  INTEGRITY_DAMAGED,          // the magic, but the record's check fails
  INTEGRITY_UNSUPPORTED,      // the magic and a sound check, but a size or version unknown here
};

// The 32 bytes of the record.
void integrity_record_write(const IntegrityRecord& record, uint8_t out[INTEGRITY_RECORD_BYTES]);

// Reads the 32 bytes that precede a marker. *record is set only for INTEGRITY_PRESENT.
IntegrityStatus integrity_record_read(const uint8_t in[INTEGRITY_RECORD_BYTES], IntegrityRecord* record);
