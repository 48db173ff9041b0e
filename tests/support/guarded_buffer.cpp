#include "guarded_buffer.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

size_t page_size() {
#ifdef _WIN32
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

GuardedBuffer::GuardedBuffer(size_t size) : size_(size) {
  const size_t page = page_size();
  const size_t data_pages = (size + page - 1) / page;
  mapping_size_ = (data_pages + 1) * page;
#ifdef _WIN32
  mapping_ = VirtualAlloc(nullptr, mapping_size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (mapping_ == nullptr) throw std::runtime_error("VirtualAlloc failed");
  DWORD old = 0;
  if (!VirtualProtect(static_cast<uint8_t*>(mapping_) + data_pages * page, page, PAGE_NOACCESS, &old)) {
    throw std::runtime_error("VirtualProtect failed");
  }
#else
  mapping_ = mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::runtime_error("mmap failed");
  if (mprotect(static_cast<uint8_t*>(mapping_) + data_pages * page, page, PROT_NONE) != 0) {
    throw std::runtime_error("mprotect failed");
  }
#endif
  data_ = static_cast<uint8_t*>(mapping_) + data_pages * page - size;
}

GuardedBuffer::GuardedBuffer(const std::vector<uint8_t>& contents) : GuardedBuffer(contents.size()) {
  if (!contents.empty()) std::memcpy(data_, contents.data(), contents.size());
}

GuardedBuffer::~GuardedBuffer() {
#ifdef _WIN32
  VirtualFree(mapping_, 0, MEM_RELEASE);
#else
  munmap(mapping_, mapping_size_);
#endif
}
