#include "byte_source.h"

#include <cstring>

namespace {

int32_t read_memory(void* context, uint8_t* buffer, uint32_t n) {
  MemoryBytes* memory = static_cast<MemoryBytes*>(context);
  const size_t left = memory->size - memory->position;
  const uint32_t take = left < n ? static_cast<uint32_t>(left) : n;
  const uint32_t count = take > 0x7FFFFFFFu ? 0x7FFFFFFFu : take;
  if (count != 0) std::memcpy(buffer, memory->bytes + memory->position, count);
  memory->position += count;
  return static_cast<int32_t>(count);
}

}  // namespace

ByteSource memory_source(MemoryBytes* memory) { return ByteSource{read_memory, memory}; }
