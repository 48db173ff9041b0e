// The payload reader.
#include "payload_reader.h"

#include <cctype>
#include <cstring>

#include "compiler.h"
#include "mem.h"

namespace {

// Makes at least `want` unconsumed bytes sit contiguously in the buffer, unless the file ends
// or fails first. Returns the number of unconsumed bytes held, which may be fewer than want.
// The PAYLOAD_LOOKBACK_BYTES bytes before the position stay in the buffer.
uint32_t fill(PayloadReader* r, uint32_t want) {
  const uint32_t held = r->buffer_end - r->buffer_pos;
  if (held >= want || r->at_end_of_file || r->read_failed) return held;
  if (r->buffer_pos > PAYLOAD_LOOKBACK_BYTES) {
    const uint32_t dropped = r->buffer_pos - PAYLOAD_LOOKBACK_BYTES;
    std::memmove(r->buffer, r->buffer + dropped, r->buffer_end - dropped);
    r->buffer_offset += dropped;
    r->buffer_pos -= dropped;
    r->buffer_end -= dropped;
  }
  want += r->buffer_pos;
  while (r->buffer_end < want) {
    uint32_t room = PAYLOAD_READ_BUFFER_BYTES - r->buffer_end;
    if (r->limit >= 0) {
      const int64_t left = r->limit - (r->buffer_offset + r->buffer_end);
      if (left <= 0) {
        r->at_end_of_file = true;
        break;
      }
      if (left < room) room = static_cast<uint32_t>(left);
    }
    const int32_t got = r->source.read(r->source.context, r->buffer + r->buffer_end, room);
    if (got < 0) {
      r->read_failed = true;
      break;
    }
    if (got == 0) {
      r->at_end_of_file = true;
      break;
    }
    r->buffer_end += static_cast<uint32_t>(got);
  }
  return r->buffer_end - r->buffer_pos;
}

// Reads the program headers at the start of the file; a certificate table ends the file for the
// reader where it begins, bytes already buffered past it included.
void read_image_headers(PayloadReader* r) {
  fill(r, PE_HEADER_SPAN_BYTES);
  r->image = pe_image_read(r->buffer, r->buffer_end);
  r->follows_program = r->image.is_pe || is_elf_header(r->buffer, r->buffer_end);
  if (!r->image.has_certificates) return;
  r->limit = r->image.certificates_offset;
  if (r->buffer_end > r->limit) {
    r->buffer_end = static_cast<uint32_t>(r->limit);
    r->at_end_of_file = true;
  }
}

PayloadRead damaged(PayloadReader* r, PayloadFault fault, int64_t offset, uint32_t length) {
  r->error = PayloadError{fault, r->blocks_read, offset, length};
  return PAYLOAD_READ_DAMAGED;
}

}  // namespace

void payload_marker(uint8_t marker[PAYLOAD_MARKER_BYTES]) {
  for (uint32_t i = 0; i < PAYLOAD_MARKER_BYTES; ++i) {
    marker[i] = static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(PAYLOAD_MARKER_LOWER[i])));
  }
}

void payload_reader_init(PayloadReader* r, ByteSource source) {
  r->source = source;
  r->limit = -1;
  r->buffer_offset = 0;
  r->buffer_pos = 0;
  r->buffer_end = 0;
  r->at_end_of_file = false;
  r->read_failed = false;
  r->ended = false;
  r->end_mark_read = false;
  r->blocks_read = 0;
  r->block = nullptr;
  r->error = PayloadError{PAYLOAD_FAULT_NONE, 0, 0, 0};
  r->image = PeImage{};
  r->follows_program = false;
  r->record_status = INTEGRITY_ABSENT;
  r->record = IntegrityRecord{0, 0};
}

int64_t payload_reader_offset(const PayloadReader* r) { return r->buffer_offset + r->buffer_pos; }

bool find_payload(PayloadReader* r, int64_t* start) {
  uint8_t marker[PAYLOAD_MARKER_BYTES];
  payload_marker(marker);

  if (payload_reader_offset(r) == 0) read_image_headers(r);

  uint32_t matched = 0;
  for (;;) {
    if (r->buffer_pos == r->buffer_end && fill(r, 1) == 0) return false;
    if (matched == 0) {
      // With nothing matched, every byte but the marker's first leaves the count at 0.
      const void* first = std::memchr(r->buffer + r->buffer_pos, marker[0], r->buffer_end - r->buffer_pos);
      if (first == nullptr) {
        r->buffer_pos = r->buffer_end;
        continue;
      }
      r->buffer_pos = static_cast<uint32_t>(static_cast<const uint8_t*>(first) - r->buffer) + 1;
      matched = 1;
      continue;
    }
    // The byte that breaks a partial match is consumed and not compared again.
    if (r->buffer[r->buffer_pos++] != marker[matched]) {
      matched = 0;
    } else if (++matched == PAYLOAD_MARKER_BYTES) {
      *start = payload_reader_offset(r);
      // The bytes before the marker are still buffered (the fill keeps them) unless the file
      // holds fewer than a record's worth before it.
      if (r->buffer_pos >= PAYLOAD_LOOKBACK_BYTES) {
        r->record_status = integrity_record_read(r->buffer + r->buffer_pos - PAYLOAD_LOOKBACK_BYTES,
                                                 &r->record);
      }
      return true;
    }
  }
}

namespace {

// Reads the next length and makes its whole block sit in the buffer, leaving both unconsumed:
// PAYLOAD_READ_BLOCK with *length and r->block set.
// Shared by both of its callers: a launcher reads with both (read_payload_block on one processor,
// read_payload_frame when helpers decode), so it carries one copy.
PayloadRead frame_block(PayloadReader* r, uint32_t* length_out) {
  if (r->error.fault != PAYLOAD_FAULT_NONE) return PAYLOAD_READ_DAMAGED;
  const int64_t at = payload_reader_offset(r);

  // Where the file ends before a length or an end mark is whole, the bytes left that begin the
  // end mark tell a cut end mark from a cut length or block.
  uint32_t held = fill(r, PAYLOAD_LENGTH_BYTES);
  const uint8_t* p = r->buffer + r->buffer_pos;
  if (held < PAYLOAD_LENGTH_BYTES) {
    if (r->read_failed) return damaged(r, PAYLOAD_FAULT_READ_ERROR, at, 0);
    if (held == 0) return PAYLOAD_READ_END;  // the end of the file in the place of a length
    return damaged(r, p[0] == PAYLOAD_END_MARK[0] ? PAYLOAD_FAULT_END_MARK_CUT : PAYLOAD_FAULT_LENGTH_CUT,
                   at, 0);
  }
  const uint32_t length = load_be16(p);

  if (length == PAYLOAD_END_MARK_LENGTH) {
    // The mark only if the four bytes after "KE" are the rest of it; otherwise a block of that
    // length, read from right after its length.
    held = fill(r, PAYLOAD_END_MARK_BYTES);
    p = r->buffer + r->buffer_pos;
    const uint32_t rest = (held < PAYLOAD_END_MARK_BYTES ? held : PAYLOAD_END_MARK_BYTES) - PAYLOAD_LENGTH_BYTES;
    const bool rest_of_mark =
        std::memcmp(p + PAYLOAD_LENGTH_BYTES, PAYLOAD_END_MARK + PAYLOAD_LENGTH_BYTES, rest) == 0;
    if (held >= PAYLOAD_END_MARK_BYTES && rest_of_mark) {
      r->buffer_pos += PAYLOAD_END_MARK_BYTES;
      r->end_mark_read = true;
      return PAYLOAD_READ_END;
    }
    if (held < PAYLOAD_END_MARK_BYTES && rest_of_mark && !r->read_failed) {
      return damaged(r, PAYLOAD_FAULT_END_MARK_CUT, at, 0);
    }
  }
  if (length < BLOCK_HEADER_BYTES) return damaged(r, PAYLOAD_FAULT_LENGTH_TOO_SHORT, at, length);
  if (length > MAX_BLOCK_BYTES) return damaged(r, PAYLOAD_FAULT_LENGTH_TOO_LONG, at, length);

  held = fill(r, PAYLOAD_LENGTH_BYTES + length);
  if (held < PAYLOAD_LENGTH_BYTES + length) {
    return damaged(r, r->read_failed ? PAYLOAD_FAULT_READ_ERROR : PAYLOAD_FAULT_BLOCK_CUT, at,
                   length);
  }
  r->block = r->buffer + r->buffer_pos + PAYLOAD_LENGTH_BYTES;
  *length_out = length;
  return PAYLOAD_READ_BLOCK;
}

SFX_FORCE_INLINE PayloadFault decode_block(CodecWorkspace* workspace, const uint8_t* block, uint32_t length,
                                           uint8_t* decoded, uint32_t* decoded_len) {
  const CodecStatus status = codec_run(CODEC_DECODE, workspace, block, length, decoded, decoded_len, MAX_BLOCK_BYTES);
  if (status == CODEC_OK) return PAYLOAD_FAULT_NONE;
  return status == CODEC_DST_TOO_SMALL ? PAYLOAD_FAULT_BLOCK_TOO_BIG : PAYLOAD_FAULT_BLOCK_MALFORMED;
}

void pass_block(PayloadReader* r, uint32_t length) {
  r->buffer_pos += PAYLOAD_LENGTH_BYTES + length;
  r->blocks_read += 1;
}

}  // namespace

PayloadFault decode_payload_block(CodecWorkspace* workspace, const uint8_t* block, uint32_t length,
                                  uint8_t* decoded, uint32_t* decoded_len) {
  return decode_block(workspace, block, length, decoded, decoded_len);
}

PayloadRead read_payload_block(PayloadReader* r, uint32_t* decoded_len) {
  const int64_t at = payload_reader_offset(r);
  uint32_t length = 0;
  const PayloadRead result = frame_block(r, &length);
  if (result != PAYLOAD_READ_BLOCK) return result;
  uint32_t n = 0;
  const PayloadFault fault = decode_block(&r->workspace, r->block, length, r->decoded, &n);
  if (fault != PAYLOAD_FAULT_NONE) return damaged(r, fault, at, length);
  pass_block(r, length);
  *decoded_len = n;
  return PAYLOAD_READ_BLOCK;
}

PayloadRead read_payload_frame(PayloadReader* r, uint32_t* length) {
  const PayloadRead result = frame_block(r, length);
  if (result == PAYLOAD_READ_BLOCK) pass_block(r, *length);
  return result;
}

int next_payload_bytes(PayloadReader* r, const uint8_t** bytes, uint32_t* n) {
  if (r->ended) return 0;
  const PayloadRead result = read_payload_block(r, n);
  if (result == PAYLOAD_READ_DAMAGED) return -1;
  if (result == PAYLOAD_READ_END || *n == 0) {
    r->ended = true;  // a block that decodes to nothing ends the payload too
    return 0;
  }
  *bytes = r->decoded;
  return 1;
}

PayloadVerdict payload_verdict(const PayloadReader* r, uint64_t length, uint32_t crc) {
  if (r->record_status == INTEGRITY_DAMAGED) return PAYLOAD_RECORD_DAMAGED;
  if (r->record_status == INTEGRITY_UNSUPPORTED) return PAYLOAD_RECORD_UNSUPPORTED;
  if (!r->end_mark_read) return PAYLOAD_NO_END_MARK;
  if (r->record_status == INTEGRITY_ABSENT) return PAYLOAD_WHOLE;
  if (length < r->record.decoded_length) return PAYLOAD_SHORTER_THAN_RECORD;
  if (length > r->record.decoded_length) return PAYLOAD_LONGER_THAN_RECORD;
  return crc == r->record.data_crc ? PAYLOAD_WHOLE : PAYLOAD_CRC_DIFFERS;
}

const char* payload_fault_text(PayloadFault fault) {
  switch (fault) {
    case PAYLOAD_FAULT_NONE: return "no fault";
    case PAYLOAD_FAULT_READ_ERROR: return "the file could not be read";
    case PAYLOAD_FAULT_LENGTH_CUT: return "the file ends inside the block's length";
    case PAYLOAD_FAULT_LENGTH_TOO_SHORT: return "the block's length is shorter than a block header";
    case PAYLOAD_FAULT_LENGTH_TOO_LONG: return "the block's length is larger than a block may be";
    case PAYLOAD_FAULT_BLOCK_CUT: return "the file ends inside the block";
    case PAYLOAD_FAULT_END_MARK_CUT: return "the file ends inside the end mark (it was cut short)";
    case PAYLOAD_FAULT_BLOCK_MALFORMED: return "the block is malformed";
    case PAYLOAD_FAULT_BLOCK_TOO_BIG: return "the block decodes to more than a block may hold";
  }
  return "unknown fault";
}
