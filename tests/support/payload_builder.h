// Payloads made the way the packer makes them, for tests of their readers.
#pragma once

#include <cstdint>
#include <vector>

namespace payload_builder {

using Bytes = std::vector<uint8_t>;

// The 13-byte marker, as it stands in a file.
Bytes marker();
// A block's 2-byte big-endian length and the block.
Bytes framed(const Bytes& block);
// One encoded block of data.
Bytes encoded_block(const Bytes& data);
// The marker, the data in encoded blocks of at most block_bytes each, then the end mark
// (unless end_mark is false).
Bytes payload(const Bytes& data, uint32_t block_bytes = 64000, bool end_mark = true);
// The 32-byte integrity record of data (its length and CRC-32, and the contract's flags), as it
// stands before the marker.
// A bundle's record (INTEGRITY_FLAG_BUNDLE) names the entry to start, run_entry.
Bytes record(const Bytes& data, uint8_t flags = 0, uint32_t run_entry = 0);
// The record, then payload(data, ...): the layout the packer writes by default.
Bytes checked_payload(const Bytes& data, uint32_t block_bytes = 64000, bool end_mark = true, uint8_t flags = 0,
                      uint32_t run_entry = 0);

// A minimal Windows program header: "MZ", the PE signature at 0x80, a COFF header and an
// optional header (PE32 or PE32+) with `directories` data directories, the security directory
// naming a certificate table at cert_offset of cert_bytes (0, 0: none).
Bytes program_header(bool pe32, uint32_t cert_offset, uint32_t cert_bytes, uint32_t directories = 16);

}  // namespace payload_builder
