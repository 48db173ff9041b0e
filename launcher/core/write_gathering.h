// The run's writes (4,096 bytes each) gathered into runs of WRITE_GATHER_BYTES before they reach
// the system, for the platform layers: a system call per 4,096 bytes was a third of the POSIX
// run (0.160 s against 0.113 s for a 94 MB installer), and under wine, where every write is a
// request to the wine server, 0.21 s against 0.13 s of the unpack (`bench/launcher-bench.sh`).
// One file is written at a time.
#pragma once

#include <cstdint>

constexpr uint32_t WRITE_GATHER_BYTES = 256 * 1024;

// The system's own write: all n bytes, or false (disk full, an error).
using RawWrite = bool (*)(int fd, const uint8_t* bytes, uint32_t n);

// Takes n bytes for fd: n, or -1 when writing out what was gathered failed.
int32_t gathered_write(int fd, const void* buffer, uint32_t n, RawWrite raw);

// Writes out what is gathered for fd before it is closed: false when that, or an earlier
// write of the gathered bytes, failed.
bool gathered_flush_before_close(int fd, RawWrite raw);
