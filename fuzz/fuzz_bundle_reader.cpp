// The bundle reader on any bytes: it never steps outside its buffers; every entry it hands out
// passes the name policy, has its folder among the folders before it and is no other entry's
// name; each file gets exactly its size in data before its end; its fault message fits its
// buffer; and the stream read in pieces (of sizes drawn from the input) reads as it does whole.
//
// The input's first byte chooses how the rest is read: with its low bit set, every 512-byte
// block that has the ustar magic gets its checksum put right first, so that the fuzzer reaches
// past the checksum; clear, the bytes are read as they are.
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bundle.h"
#include "fuzz_target.h"

namespace {

struct Reading {
  std::string log;  // each entry and its data, in order
  bool whole = false;
  BundleFault fault = BUNDLE_FAULT_NONE;
  uint64_t fault_offset = 0;
  uint32_t fault_entry = 0;
  std::string message;
  // What the checks in the sink keep.
  std::set<uint64_t> names, folders;
  bool in_file = false;
  uint64_t file_size = 0, file_data = 0;
  uint32_t entries = 0;
};

bool on_entry(void* context, const BundleEntry* e) {
  Reading* r = static_cast<Reading*>(context);
  if (r->in_file) fuzz_fail("an entry inside a file's data");
  if (e->number != r->entries++) fuzz_fail("entries out of number");
  if (e->name_bytes > NAME_MAX_BYTES || std::strlen(e->name) != e->name_bytes) fuzz_fail("name length");
  if (name_check(e->name, e->name_bytes) != NAME_OK) fuzz_fail("an entry the name policy refuses");
  const char* slash = std::strrchr(e->name, '/');
  if (slash != nullptr &&
      r->folders.count(name_fold(e->name, static_cast<uint32_t>(slash - e->name))) == 0) {
    fuzz_fail("an entry whose folder is no earlier folder");
  }
  const uint64_t key = name_fold(e->name, e->name_bytes);
  if (!r->names.insert(key).second) fuzz_fail("one name twice");
  if (e->kind == BUNDLE_DIRECTORY) {
    if (e->size != 0 || e->executable) fuzz_fail("a folder with a size or an execute bit");
    r->folders.insert(key);
  } else {
    r->in_file = true;
    r->file_size = e->size;
    r->file_data = 0;
  }
  r->log += std::string(e->kind == BUNDLE_DIRECTORY ? "D " : e->executable ? "X " : "F ") + e->name +
            " " + std::to_string(e->size) + "\n";
  return true;
}

bool on_data(void* context, const uint8_t* bytes, uint32_t n) {
  Reading* r = static_cast<Reading*>(context);
  if (!r->in_file || n == 0) fuzz_fail("data outside a file, or none");
  r->file_data += n;
  if (r->file_data > r->file_size) fuzz_fail("more data than the file's size");
  r->log.append(reinterpret_cast<const char*>(bytes), n);
  return true;
}

bool on_file_end(void* context, const BundleEntry* e) {
  Reading* r = static_cast<Reading*>(context);
  if (!r->in_file || r->file_data != e->size || e->size != r->file_size) {
    fuzz_fail("a file's end before its size in data");
  }
  r->in_file = false;
  r->log += "\n";
  return true;
}

// Reads the stream in pieces: all at once when seed is 0, else of sizes drawn from seed.
Reading read(const uint8_t* data, size_t size, uint64_t seed) {
  static uint64_t slots[64];  // 32 entries at most, so that a short input reaches the limit
  static auto reader = std::make_unique<BundleReader>();
  NameTable names{slots, 64, 0};
  bundle_reader_init(reader.get(), &names);
  Reading r;
  const BundleSink sink{on_entry, on_data, on_file_end, &r};
  bool fed = true;
  for (size_t at = 0; fed && at < size;) {
    size_t n = size - at;
    if (seed != 0) {
      seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
      const size_t piece = 1 + seed % (size_t{1} << (seed >> 59 & 11));
      if (piece < n) n = piece;
    }
    fed = bundle_feed(reader.get(), data + at, static_cast<uint32_t>(n), &sink);
    at += n;
  }
  if (!fed && bundle_feed(reader.get(), data, 0, &sink)) fuzz_fail("a reader at fault takes more");
  r.whole = bundle_finish(reader.get());
  if ((!fed && r.whole) || r.whole != (reader->fault == BUNDLE_FAULT_NONE)) fuzz_fail("verdicts disagree");
  if (r.whole && r.in_file) fuzz_fail("whole with a file not ended");
  r.fault = reader->fault;
  r.fault_offset = reader->fault_offset;
  r.fault_entry = reader->fault_entry;
  if (!r.whole) {
    if (r.fault_offset > size) fuzz_fail("a fault past the stream");
    // The capacity the header asks for, in a buffer of exactly that size.
    const auto message = std::make_unique<char[]>(128);
    bundle_fault_describe(reader.get(), message.get(), 128);
    r.message = message.get();
    if (r.message.empty() || r.message.size() >= 127) fuzz_fail("a message empty or cut short");
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> stream(data + 1, data + size);
  if (data[0] & 1) {
    for (size_t at = 0; at + BUNDLE_BLOCK_BYTES <= stream.size(); at += BUNDLE_BLOCK_BYTES) {
      uint8_t* h = stream.data() + at;
      if (std::memcmp(h + 257, "ustar", 5) != 0) continue;
      unsigned sum = 8 * ' ';
      for (size_t i = 0; i < BUNDLE_BLOCK_BYTES; ++i) sum += i >= 148 && i < 156 ? 0u : h[i];
      for (int i = 5; i >= 0; --i, sum >>= 3) h[148 + i] = static_cast<uint8_t>('0' + (sum & 7));
      h[154] = 0, h[155] = ' ';
    }
  }
  // The stream in a buffer of its own size, so that a read past it is caught.
  const std::unique_ptr<uint8_t[]> bytes(new uint8_t[stream.size()]);
  if (!stream.empty()) std::memcpy(bytes.get(), stream.data(), stream.size());
  uint64_t seed = 0x9E3779B97F4A7C15u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 0x100000001B3u;
  const Reading whole = read(bytes.get(), stream.size(), 0);
  const Reading pieces = read(bytes.get(), stream.size(), seed | 1);
  if (whole.log != pieces.log || whole.whole != pieces.whole || whole.fault != pieces.fault ||
      whole.fault_offset != pieces.fault_offset || whole.fault_entry != pieces.fault_entry ||
      whole.message != pieces.message) {
    fuzz_fail("read in pieces, the stream reads otherwise than whole");
  }
  return 0;
}
