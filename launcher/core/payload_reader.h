// The payload reader: finds the payload appended to a file and hands out its decoded blocks.
//
// Payload layout (README, "The payload"), after whatever program image comes first:
//   integrity record (32 bytes, optional; integrity.h)
//   marker "WOMBIXINSTALL" (13 bytes)
//   blocks, each a 2-byte big-endian length and that many bytes of one codec block
//   end mark "KELVRA" (6 bytes), recognised in the place of a length; it may be missing, and the
//   end of the file in the place of a length ends the payload too.
//
// A Windows program's certificate table (its signature) ends the file for the reader: nothing in
// or after it is read.
//
// The launcher and the sfx tool both read payloads through this one reader, so the tool judges a
// file exactly as the launcher will. The file is read through a buffer; offsets are those of the
// bytes consumed, as if the file were read a byte at a time.
#pragma once

#include <cstdint>

#include "byte_source.h"
#include "codec.h"
#include "integrity.h"
#include "pe_image.h"

// The marker as the launcher holds it: lower case. The file holds its upper-case form, so the
// launcher's own copy of the text never matches when it searches its own file.
constexpr char PAYLOAD_MARKER_LOWER[] = "wombixinstall";
constexpr uint32_t PAYLOAD_MARKER_BYTES = 13;
static_assert(sizeof PAYLOAD_MARKER_LOWER - 1 == PAYLOAD_MARKER_BYTES, "marker length");

// The marker as files hold it, upper case, made at run time so that it never stands in the
// launcher's program file: what the reader looks for and what a packer writes.
void payload_marker(uint8_t marker[PAYLOAD_MARKER_BYTES]);

// The end mark: its first two bytes read as this length, and only the four after them tell it
// from a block of that length (whose first byte, a flag, is 0 or 1, never 'L').
constexpr char PAYLOAD_END_MARK[] = "KELVRA";
constexpr uint32_t PAYLOAD_END_MARK_BYTES = 6;
constexpr uint32_t PAYLOAD_END_MARK_LENGTH = 0x4B45;  // "KE"
static_assert(sizeof PAYLOAD_END_MARK - 1 == PAYLOAD_END_MARK_BYTES, "end mark length");

constexpr uint32_t PAYLOAD_LENGTH_BYTES = 2;

// The reader keeps this many bytes before its position in the buffer, so that the integrity
// record is still there when the marker after it has been found.
constexpr uint32_t PAYLOAD_LOOKBACK_BYTES = INTEGRITY_RECORD_BYTES + PAYLOAD_MARKER_BYTES;

// The read buffer holds at least one whole block and its length beside the bytes kept behind, so
// a block is decoded straight from it.
constexpr uint32_t PAYLOAD_READ_BUFFER_BYTES = 128 * 1024;
static_assert(PAYLOAD_READ_BUFFER_BYTES >= PAYLOAD_LOOKBACK_BYTES + 2 * (MAX_BLOCK_BYTES + PAYLOAD_LENGTH_BYTES),
              "a refill always has room for a whole block");
static_assert(PAYLOAD_READ_BUFFER_BYTES >= PE_HEADER_SPAN_BYTES, "the headers are read in one fill");

enum PayloadFault : int {
  PAYLOAD_FAULT_NONE = 0,
  PAYLOAD_FAULT_READ_ERROR,       // the file could not be read
  PAYLOAD_FAULT_LENGTH_CUT,       // the file ends inside a block's 2-byte length
  PAYLOAD_FAULT_LENGTH_TOO_SHORT, // a length below the 4-byte block header
  PAYLOAD_FAULT_LENGTH_TOO_LONG,  // a length above MAX_BLOCK_BYTES
  PAYLOAD_FAULT_BLOCK_CUT,        // the file ends before the block's last byte
  PAYLOAD_FAULT_BLOCK_MALFORMED,  // the block does not decode
  PAYLOAD_FAULT_BLOCK_TOO_BIG,    // the block decodes to more than MAX_BLOCK_BYTES
  PAYLOAD_FAULT_END_MARK_CUT,     // the file ends inside the end mark
};

// What went wrong and where: the block's number (0 for the first after the marker), the file
// offset of its length field, and the length it gave (0 when it was not read whole).
struct PayloadError {
  PayloadFault fault;
  uint32_t block;
  int64_t offset;
  uint32_t length;
};

enum PayloadRead : int {
  PAYLOAD_READ_BLOCK,    // a block was decoded (it may have decoded to nothing)
  PAYLOAD_READ_END,      // the end mark, or the end of the file in the place of a length
  PAYLOAD_READ_DAMAGED,  // see the reader's error
};

struct PayloadReader {
  ByteSource source;
  int64_t limit;          // where a certificate table begins, which ends the file for the
                          // reader; -1 when there is none
  int64_t buffer_offset;  // file offset of buffer[0]
  uint32_t buffer_pos;    // next unconsumed byte in buffer
  uint32_t buffer_end;    // bytes held in buffer
  bool at_end_of_file;    // the last read gave no byte
  bool read_failed;       // the last read failed
  bool ended;             // next_payload_bytes has met the end of the payload
  bool end_mark_read;     // the payload ended with its end mark (not the end of the file)
  uint32_t blocks_read;
  const uint8_t* block;   // the current block's bytes as the file holds them; in buffer,
                          // valid until the next read
  PayloadError error;
  PeImage image;          // the file's program headers, read by find_payload
  bool follows_program;   // the file starts with a program (a PE or ELF header): a packed
                          // launcher, whose payload must hold a program to start
  IntegrityStatus record_status;  // the integrity record before the marker, set by find_payload
  IntegrityRecord record;         // valid when record_status is INTEGRITY_PRESENT
  CodecWorkspace workspace;
  uint8_t buffer[PAYLOAD_READ_BUFFER_BYTES];
  uint8_t decoded[MAX_BLOCK_BYTES];
};

// Starts reading from source, whose next byte must be the file's first for the offsets to be file
// offsets.
void payload_reader_init(PayloadReader* reader, ByteSource source);

// The offset of the next byte the reader will consume.
int64_t payload_reader_offset(const PayloadReader* reader);

// Scans from the reader's position for the marker. Each byte is compared once: the byte that
// breaks a partial match is not compared again with the marker's first character. True when
// found, with *start the offset of the first byte after the marker; false at the end of the file
// or on a read error. Started at the start of the file, it first reads the program headers
// (reader->image): a certificate table ends the file there. Once found, reader->record_status
// tells what stands in the 32 bytes before the marker.
bool find_payload(PayloadReader* reader, int64_t* start);

// Reads the next length and block and decodes it into reader->decoded (*decoded_len bytes).
PayloadRead read_payload_block(PayloadReader* reader, uint32_t* decoded_len);

// The same in two halves, for a reader that hands blocks to decoders on other threads (the sfx
// tool): read_payload_frame reads the next length and block as read_payload_block does, without
// decoding it, and consumes it: PAYLOAD_READ_BLOCK with reader->block pointing at its *length
// bytes (valid until the next read), or the same END or DAMAGED; decode_payload_block then decodes
// those bytes into decoded (MAX_BLOCK_BYTES of room), giving PAYLOAD_FAULT_NONE and *decoded_len,
// or the fault read_payload_block reports for that block.
PayloadRead read_payload_frame(PayloadReader* reader, uint32_t* length);
PayloadFault decode_payload_block(CodecWorkspace* workspace, const uint8_t* block, uint32_t length,
                                  uint8_t* decoded, uint32_t* decoded_len);

// Hands out the payload's decoded bytes a block at a time: 1 with *bytes and *n (never 0) set to
// the next block's data, valid until the next call; 0 at the end of the payload, -1 when it is
// damaged (reader->error says how). A block that decodes to nothing ends the payload, even if
// further blocks follow it.
int next_payload_bytes(PayloadReader* reader, const uint8_t** bytes, uint32_t* n);

// The one judgement of a payload read to its end without a fault, having given length bytes whose
// CRC-32 is crc: what the launchers start and what the tool passes. A record that is damaged, or of
// a kind not known here, tells that nothing can be trusted. A payload must end with its end mark,
// record or not: the packer always writes it, so a payload that runs to the end of the file (or
// stops at a block that decodes to nothing) was cut, even where its data came through whole. With
// a record, the data must have exactly the recorded length and CRC.
enum PayloadVerdict : int {
  PAYLOAD_WHOLE = 0,
  PAYLOAD_RECORD_DAMAGED,      // the record's own check fails
  PAYLOAD_RECORD_UNSUPPORTED,  // a record of a size or version this reader does not know
  PAYLOAD_NO_END_MARK,         // cut short, or may have been
  PAYLOAD_SHORTER_THAN_RECORD, // closed by its end mark, yet fewer bytes than recorded: damaged
  PAYLOAD_LONGER_THAN_RECORD,
  PAYLOAD_CRC_DIFFERS,
};
PayloadVerdict payload_verdict(const PayloadReader* reader, uint64_t length, uint32_t crc);

// A short English description of a fault, for messages.
const char* payload_fault_text(PayloadFault fault);
