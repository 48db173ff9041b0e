// CRC-32 as zlib, PNG and Ethernet compute it (reflected polynomial 0xEDB88320, initial and
// final value 0xFFFFFFFF): crc32_update(0, "123456789", 9) is 0xCBF43926.
//
// The tables are built at run time by crc32_prepare, so the launcher carries code but no table in
// its file (8 KiB, a third of the Windows stub). crc32_prepare must have run once before the
// first CRC is taken, and before any thread that takes one starts: every program calls it first
// thing. Afterwards the tables are only read, so any number of threads may take CRCs at once. On x86 processors with carry-less multiplication (PCLMULQDQ: nearly every one since
// 2010) long runs are folded 64 bytes at a time, about ten times the speed of the tables; the
// rest takes eight bytes per step through eight tables ("slicing by 8"), about eight times the
// speed of the one-table loop. Either way checking a payload costs little beside decoding it.
#pragma once

#include <cstddef>
#include <cstdint>

// Builds the tables and looks at what the processor offers. Calling it again changes nothing.
void crc32_prepare();

// The CRC of the bytes after those that gave crc (0 for none).
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n);

// The same through the tables alone, whatever the processor: for holding the two ways to each
// other.
uint32_t crc32_update_by_tables(uint32_t crc, const uint8_t* data, size_t n);
