// Buffers that end at an unreadable page: a read or write one byte past the end faults at once,
// sanitizers or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class GuardedBuffer {
 public:
  // size bytes, the last of them right before a page that cannot be read or written.
  explicit GuardedBuffer(size_t size);
  GuardedBuffer(const std::vector<uint8_t>& contents);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  void* mapping_ = nullptr;
  size_t mapping_size_ = 0;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};
