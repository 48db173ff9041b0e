// Where the payload reader takes its bytes: a function and its context, given by the caller. The
// launchers read their own file through the platform layer, the tool through its own descriptors,
// and whoever holds the bytes in memory (a stub being checked, a fuzz input) reads them there. The
// reader never calls the system itself.
#pragma once

#include <cstddef>
#include <cstdint>

struct ByteSource {
  // Up to n bytes into buffer: the count, 0 at the end, -1 on an error.
  int32_t (*read)(void* context, uint8_t* buffer, uint32_t n);
  void* context;
};

// Bytes in memory, read from their start; the caller keeps them and this alive while reading.
struct MemoryBytes {
  const uint8_t* bytes;
  size_t size;
  size_t position;
};

// A source over memory->bytes, from memory->position on.
ByteSource memory_source(MemoryBytes* memory);
