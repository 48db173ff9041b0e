// A user's tar stream read for sfx pack --from-tar (tar_input.h). The stream is read by offset,
// headers first and data later in the bundle's own order, so a pipe is spooled to a scratch file.
#include "tar_input.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "bundle.h"
#include "file_io.h"
#include "name_policy.h"
#include "os_files.h"
#include "tool_error.h"

namespace {

constexpr uint64_t BLOCK = BUNDLE_BLOCK_BYTES;
// The largest pax header or GNU long name taken: far past any name a bundle may hold.
constexpr uint64_t MAX_META_BYTES = 1u << 20;
constexpr size_t COPY_CHUNK_BYTES = 256 * 1024;

uint64_t padded(uint64_t n) { return (n + BLOCK - 1) / BLOCK * BLOCK; }

// The stream, read by offset from where it starts in the input.
class TarStream {
 public:
  explicit TarStream(InputFile& input) : input_(input) {
    input.spool();
    base_ = os_tell(input.fd());
    if (base_ < 0) fail("cannot be read by offset: " + os_error_text(os_last_error()));
    size_ = static_cast<uint64_t>(input.size());
  }
  uint64_t size() const { return size_; }
  int64_t base() const { return base_; }

  // Reads n bytes at offset, fewer only at the end of the stream.
  size_t read(uint64_t offset, uint8_t* buffer, size_t n) const {
    size_t done = 0;
    while (done < n) {
      const int64_t got = os_read_at(input_.fd(), base_ + static_cast<int64_t>(offset + done), buffer + done, n - done);
      if (got < 0) fail(os_error_text(os_last_error()));
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    return done;
  }

  [[noreturn]] void fail(const std::string& problem) const {
    throw ToolError(SFX_EXIT_USAGE, input_.display_name(), problem);
  }

 private:
  InputFile& input_;
  int64_t base_ = 0;
  uint64_t size_ = 0;
};

// The ustar header's fields.
enum : size_t {
  NAME_AT = 0, NAME_BYTES = 100, MODE_AT = 100, SIZE_AT = 124, CHECKSUM_AT = 148, TYPE_AT = 156,
  LINK_AT = 157, MAGIC_AT = 257, PREFIX_AT = 345, PREFIX_BYTES = 155,
};

std::string field_text(const uint8_t* header, size_t at, size_t width) {
  const auto* start = reinterpret_cast<const char*>(header + at);
  return std::string(start, strnlen(start, width));
}

// An octal number: blanks before it, a NUL or blank after (or the field's end); GNU's base-256
// form for a size too large for the digits. False for anything else, a negative number included.
bool number_field(const uint8_t* header, size_t at, size_t width, uint64_t* value) {
  *value = 0;
  if ((header[at] & 0x80) != 0) {
    if (header[at] != 0x80) return false;  // 0xFF starts a negative number
    for (size_t i = 1; i < width; ++i) {
      if (*value >> 56 != 0) return false;
      *value = (*value << 8) | header[at + i];
    }
    return true;
  }
  size_t i = 0;
  while (i < width && header[at + i] == ' ') ++i;
  const size_t first = i;
  for (; i < width && header[at + i] >= '0' && header[at + i] <= '7'; ++i) {
    if (*value >> 60 != 0) return false;
    *value = (*value << 3) | static_cast<uint64_t>(header[at + i] - '0');
  }
  if (i == first) return false;
  for (; i < width; ++i)
    if (header[at + i] != 0 && header[at + i] != ' ') return false;
  return true;
}

bool all_zero(const uint8_t* bytes, size_t n) {
  return std::all_of(bytes, bytes + n, [](uint8_t b) { return b == 0; });
}

// The header's checksum as tar writers take it: its bytes added with the checksum field as
// blanks, unsigned (as POSIX says) or, as some old writers did, signed.
bool checksum_ok(const uint8_t* header) {
  uint64_t recorded = 0;
  if (!number_field(header, CHECKSUM_AT, 8, &recorded)) return false;
  int64_t unsigned_sum = 0, signed_sum = 0;
  for (size_t i = 0; i < BLOCK; ++i) {
    const bool in_field = i >= CHECKSUM_AT && i < CHECKSUM_AT + 8;
    unsigned_sum += in_field ? ' ' : header[i];
    signed_sum += in_field ? ' ' : static_cast<int8_t>(header[i]);
  }
  return static_cast<int64_t>(recorded) == unsigned_sum || static_cast<int64_t>(recorded) == signed_sum;
}

struct PaxRecord {
  std::string key, value;
};

// The records of a pax header's data ("<length> <key>=<value>\n" each); false when malformed.
bool pax_records(const std::string& data, std::vector<PaxRecord>* records) {
  records->clear();
  size_t at = 0;
  while (at < data.size()) {
    size_t length = 0, i = at;
    while (i < data.size() && data[i] >= '0' && data[i] <= '9' && length < MAX_META_BYTES)
      length = length * 10 + static_cast<size_t>(data[i++] - '0');
    if (i == at || i >= data.size() || data[i] != ' ' || length > data.size() - at || data[at + length - 1] != '\n')
      return false;
    const std::string record = data.substr(i + 1, at + length - 1 - (i + 1));
    const size_t equals = record.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    records->push_back({record.substr(0, equals), record.substr(equals + 1)});
    at += length;
  }
  return true;
}

bool decimal(const std::string& text, uint64_t* value) {
  *value = 0;
  if (text.empty() || text.size() > 19) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// What the entries met so far left for the next one.
struct Pending {
  bool has_path = false, has_size = false, sparse = false;
  std::string path;       // pax "path", else GNU long name
  bool path_from_pax = false;
  uint64_t size = 0;
};

const char* const ONLY_FILES_AND_FOLDERS = "; a bundle holds files and folders only";

// Why an entry of type cannot be in a bundle.
std::string refused_type(char type, const std::string& link) {
  switch (type) {
    case '1': return "is a hard link (to " + quoted_entry(link) + ")" + ONLY_FILES_AND_FOLDERS;
    case '2': return "is a symbolic link (to " + quoted_entry(link) + ")" + ONLY_FILES_AND_FOLDERS;
    case '3': return std::string("is a character device") + ONLY_FILES_AND_FOLDERS;
    case '4': return std::string("is a block device") + ONLY_FILES_AND_FOLDERS;
    case '6': return std::string("is a FIFO (a named pipe)") + ONLY_FILES_AND_FOLDERS;
    case 'S': return std::string("is a sparse file, which a bundle does not carry");
    default: break;
  }
  const bool printable = type > ' ' && type < 0x7F;
  return "is an entry of type " + (printable ? "'" + std::string(1, type) + "'" : std::to_string(static_cast<uint8_t>(type))) +
         ", neither a file nor a folder" + ONLY_FILES_AND_FOLDERS;
}

// The entries as they are met, by name, with the folders they imply.
class Entries {
 public:
  explicit Entries(const TarStream& stream) : stream_(stream) {}

  void add(const std::string& raw, uint64_t header_at, bool directory, bool executable, uint64_t size,
           uint64_t data_at) {
    std::string name = raw;
    if (name.compare(0, 2, "./") == 0) name.erase(0, 2);
    if (directory && !name.empty() && name.back() == '/') name.pop_back();
    if (directory && (name.empty() || name == ".")) return;  // the folder itself
    const std::string where = at(raw, header_at);
    if (!directory && !name.empty() && name.back() == '/')
      stream_.fail(where + " is a file whose name ends in '/'");
    const NameFault fault = name_check(name.data(), static_cast<uint32_t>(std::min<size_t>(name.size(), UINT32_MAX)));
    if (fault != NAME_OK)
      stream_.fail(where + " " + name_fault_text(fault) + "; the launcher takes no such name, so a bundle holds none");
    // Each folder above it is an entry: one the stream holds, or one added here.
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      const std::string folder = name.substr(0, slash);
      const auto found = index_.find(folder);
      if (found == index_.end()) {
        BundleItem implied;
        implied.name = folder;
        implied.directory = true;
        index_.emplace(folder, Known{items_.size(), true});
        items_.push_back(implied);
      } else if (!items_[found->second.index].directory) {
        stream_.fail(where + " lies inside " + quoted_entry(folder) + ", which the stream holds as a file");
      }
    }
    const auto found = index_.find(name);
    if (found != index_.end()) {
      Known& known = found->second;
      if (directory && known.implied) {  // the folder an earlier entry implied, now met itself
        known.implied = false;
        return;
      }
      stream_.fail(where + " is met twice in the stream (as " + (items_[known.index].directory ? "a folder" : "a file") +
                   " before); a bundle holds each name once");
    }
    BundleItem item;
    item.name = name;
    item.directory = directory;
    item.executable = executable && !directory;
    item.size = directory ? 0 : size;
    item.source = static_cast<uint64_t>(stream_.base()) + data_at;
    index_.emplace(name, Known{items_.size(), false});
    items_.push_back(item);
  }

  // "the entry 'x' at offset N" for messages.
  static std::string at(const std::string& raw, uint64_t header_at) {
    return "the entry " + quoted_entry(raw) + " (header at offset " + std::to_string(header_at) + ")";
  }

  std::vector<BundleItem> take() { return std::move(items_); }

 private:
  struct Known {
    size_t index;
    bool implied;
  };
  const TarStream& stream_;
  std::vector<BundleItem> items_;
  std::map<std::string, Known> index_;
};

// The data of a pax header or a GNU long name.
std::string meta_data(const TarStream& stream, uint64_t at, uint64_t size, const std::string& what) {
  if (size > MAX_META_BYTES)
    stream.fail(what + " at offset " + std::to_string(at) + " holds " + std::to_string(size) + " bytes; at most " +
                std::to_string(MAX_META_BYTES) + " are taken");
  std::string data(static_cast<size_t>(size), '\0');
  if (stream.read(at + BLOCK, reinterpret_cast<uint8_t*>(&data[0]), data.size()) != data.size())
    stream.fail(what + " at offset " + std::to_string(at) + " runs past the end of the stream");
  return data;
}

// The stream's end at offset: a second zero block, then nothing but zeros.
void check_end(const TarStream& stream, uint64_t offset) {
  uint8_t block[BLOCK];
  const size_t got = stream.read(offset + BLOCK, block, BLOCK);
  if (got < BLOCK || !all_zero(block, BLOCK))
    stream.fail("the zero block at offset " + std::to_string(offset) +
                " is not followed by a second one: the stream does not end as a tar ends (two zero blocks)");
  std::vector<uint8_t> chunk(COPY_CHUNK_BYTES);
  for (uint64_t at = offset + 2 * BLOCK;;) {
    const size_t n = stream.read(at, chunk.data(), chunk.size());
    if (n == 0) break;
    const auto nonzero = std::find_if(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n), [](uint8_t b) { return b != 0; });
    if (nonzero != chunk.begin() + static_cast<std::ptrdiff_t>(n))
      stream.fail("holds data after its end (at offset " + std::to_string(at + static_cast<uint64_t>(nonzero - chunk.begin())) +
                  "); only zero padding may follow the two zero blocks");
    at += n;
  }
}

}  // namespace

std::vector<BundleItem> read_tar_folder(InputFile& input) {
  const TarStream stream(input);
  Entries entries(stream);
  Pending pending;
  uint8_t header[BLOCK];
  for (uint64_t offset = 0;;) {
    const size_t got = stream.read(offset, header, BLOCK);
    if (got == 0)
      stream.fail("ends at offset " + std::to_string(offset) +
                  " without the two zero blocks that end a tar: is it cut short?");
    if (got < BLOCK) stream.fail("ends inside the header at offset " + std::to_string(offset) + ": is it cut short?");
    if (all_zero(header, BLOCK)) {
      check_end(stream, offset);
      break;
    }
    const std::string header_name = field_text(header, NAME_AT, NAME_BYTES);
    if (!checksum_ok(header))
      stream.fail("the header at offset " + std::to_string(offset) + " (for " + quoted_entry(header_name) +
                  ") has a wrong checksum: the stream is damaged or not a tar");
    const bool posix = std::memcmp(header + MAGIC_AT, "ustar\0", 6) == 0;
    const bool gnu = std::memcmp(header + MAGIC_AT, "ustar  \0", 8) == 0;
    if (!posix && !gnu)
      stream.fail("the header at offset " + std::to_string(offset) +
                  " is neither a ustar, pax nor GNU header (a tar from before POSIX?)");
    uint64_t size = 0, mode = 0;
    if (!number_field(header, SIZE_AT, 12, &size) || !number_field(header, MODE_AT, 8, &mode))
      stream.fail("the header at offset " + std::to_string(offset) + " (for " + quoted_entry(header_name) +
                  ") has a size or mode that is not a number");
    const char type = static_cast<char>(header[TYPE_AT]);
    const uint64_t data_at = offset + BLOCK;

    // Headers that describe the next entry, or the whole stream.
    if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
      const std::string what = type == 'x' ? "a pax header" : type == 'g' ? "a pax global header" : "a GNU long name";
      const std::string data = meta_data(stream, offset, size, what);
      if (type == 'L') {
        // A pax "path" wins over a long name, whichever came first.
        if (!pending.path_from_pax) {
          pending.has_path = true;
          pending.path = data.substr(0, strnlen(data.c_str(), data.size()));
        }
      } else if (type == 'x' || type == 'g') {
        std::vector<PaxRecord> records;
        if (!pax_records(data, &records))
          stream.fail(what + " at offset " + std::to_string(offset) + " is malformed");
        for (const PaxRecord& record : records) {
          if (record.key.compare(0, 11, "GNU.sparse.") == 0) {
            pending.sparse = true;
          } else if (type == 'g' && (record.key == "path" || record.key == "size")) {
            stream.fail("the pax global header at offset " + std::to_string(offset) + " sets '" + record.key +
                        "' for every entry; a folder's tar does not");
          } else if (record.key == "path") {
            pending.has_path = pending.path_from_pax = true;
            pending.path = record.value;
          } else if (record.key == "size") {
            if (!decimal(record.value, &pending.size))
              stream.fail(what + " at offset " + std::to_string(offset) + " has a size that is not a number");
            pending.has_size = true;
          }
          // Every other record (times, owners, SCHILY.*, LIBARCHIVE.*, comment, ...) says nothing
          // a bundle keeps.
        }
      }
      offset = data_at + padded(size);
      continue;
    }

    std::string name = header_name;
    if (pending.has_path) {
      name = pending.path;
    } else if (posix) {
      const std::string prefix = field_text(header, PREFIX_AT, PREFIX_BYTES);
      if (!prefix.empty()) name = prefix + "/" + name;
    }
    if (pending.has_size) size = pending.size;
    if (data_at + size > stream.size() || data_at + size < data_at)
      stream.fail(Entries::at(name, offset) + " holds " + std::to_string(size) +
                  " bytes, which run past the end of the stream: is it cut short?");
    if (pending.sparse) stream.fail(Entries::at(name, offset) + " is a sparse file, which a bundle does not carry");
    const bool file = type == '0' || type == '\0' || type == '7';
    const bool directory = type == '5' || (type == '\0' && !name.empty() && name.back() == '/');
    if (!file && !directory)
      stream.fail(Entries::at(name, offset) + " " + refused_type(type, field_text(header, LINK_AT, NAME_BYTES)));
    entries.add(name, offset, directory, (mode & 0111) != 0, size, data_at);
    pending = Pending();
    offset = data_at + padded(size);
  }
  return entries.take();
}

void copy_tar_file(InputFile& input, const BundleItem& item, OutputFile& out) {
  std::vector<uint8_t> chunk(COPY_CHUNK_BYTES);
  for (uint64_t done = 0; done < item.size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), item.size - done));
    const int64_t got = os_read_at(input.fd(), static_cast<int64_t>(item.source + done), chunk.data(), want);
    if (got <= 0)
      throw ToolError(SFX_EXIT_USAGE, input.display_name(),
                      got < 0 ? os_error_text(os_last_error())
                              : "became shorter while it was read (" + quoted_entry(item.name) + ")");
    out.write(chunk.data(), static_cast<size_t>(got));
    done += static_cast<uint64_t>(got);
  }
}
