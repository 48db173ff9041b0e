// The bundle reader (bundle.h). Linked into the launcher stubs: no C++ library, no allocation,
// no formatting code.
#include "bundle.h"
#include "bundle_state.h"

#include <cstring>

namespace {

// The ustar header's fields: offset and width.
constexpr uint32_t NAME_AT = 0, NAME_BYTES = 100;
constexpr uint32_t MODE_AT = 100, MODE_BYTES = 8;
constexpr uint32_t SIZE_AT = 124, SIZE_BYTES = 12;
constexpr uint32_t CHECKSUM_AT = 148, CHECKSUM_BYTES = 8;
constexpr uint32_t TYPE_AT = 156;
constexpr uint32_t MAGIC_AT = 257, MAGIC_BYTES = 8;  // "ustar\0" and the version "00"
constexpr uint32_t PREFIX_AT = 345, PREFIX_BYTES = 155;
static_assert(PREFIX_BYTES + 1 + NAME_BYTES <= NAME_MAX_BYTES, "a ustar name always fits an entry's");
static_assert(PREFIX_AT + PREFIX_BYTES <= BUNDLE_BLOCK_BYTES, "the fields lie inside the block");

bool inside_file(const BundleReader* r) {
  return r->state == STATE_DATA || (r->state == STATE_PADDING && !r->have_pax);
}

// Records the fault; the reader takes nothing more. Its state stays as it was, for the message.
bool fail(BundleReader* r, BundleFault fault, uint64_t offset) {
  r->fault = fault;
  r->fault_offset = offset;
  r->fault_entry = inside_file(r) ? r->entry.number : r->entries;
  return false;
}

// An octal field: optional leading blanks, at least one digit, then only NULs and blanks to the
// field's end. A field of 12 digits at most, so the value fits.
bool octal(const uint8_t* field, uint32_t width, uint64_t* value) {
  uint32_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  const uint32_t first = i;
  uint64_t v = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) v = v << 3 | (field[i] & 7u);
  if (i == first) return false;
  for (; i < width; ++i) {
    if (field[i] != 0 && field[i] != ' ') return false;
  }
  *value = v;
  return true;
}

uint32_t field_length(const uint8_t* field, uint32_t width) {
  uint32_t n = 0;
  while (n < width && field[n] != 0) ++n;
  return n;
}

bool all_zero(const uint8_t* block) {
  for (uint32_t i = 0; i < BUNDLE_BLOCK_BYTES; ++i) {
    if (block[i] != 0) return false;
  }
  return true;
}

uint32_t padding_of(uint64_t size) {
  return static_cast<uint32_t>((BUNDLE_BLOCK_BYTES - size % BUNDLE_BLOCK_BYTES) % BUNDLE_BLOCK_BYTES);
}

void skip_padding(BundleReader* r, uint64_t size) {
  r->padding_left = padding_of(size);
  r->state = r->padding_left != 0 ? STATE_PADDING : STATE_HEADER;
}

// The current file's data has all been handed over (the reader is in STATE_DATA).
bool end_file(BundleReader* r, const BundleSink* sink) {
  if (!sink->file_end(sink->context, &r->entry)) return fail(r, BUNDLE_FAULT_STOPPED, r->offset);
  skip_padding(r, r->entry.size);
  return true;
}

// The records of the pax header in r->pax: "LENGTH key=value\n", LENGTH counting the whole
// record in decimal. Only "path" and "size" are taken, each at most once.
bool take_pax(BundleReader* r, uint64_t at) {
  const uint8_t* p = r->pax;
  const uint32_t n = static_cast<uint32_t>(r->pax_bytes);
  for (uint32_t i = 0; i < n;) {
    uint32_t length = 0, j = i;
    if (p[j] < '1' || p[j] > '9') return fail(r, BUNDLE_FAULT_PAX, at);
    for (; j < n && p[j] >= '0' && p[j] <= '9'; ++j) {
      length = length * 10 + (p[j] - '0');
      if (length > n - i) return fail(r, BUNDLE_FAULT_PAX, at);
    }
    const uint32_t end = i + length;  // the record's '\n' is at end - 1
    if (j >= end - 1 || p[j] != ' ' || p[end - 1] != '\n') return fail(r, BUNDLE_FAULT_PAX, at);
    const uint32_t key = ++j;
    while (j < end - 1 && p[j] != '=') ++j;
    if (j == end - 1) return fail(r, BUNDLE_FAULT_PAX, at);
    const uint32_t key_bytes = j - key, value = j + 1, value_bytes = end - 1 - value;
    if (key_bytes == 4 && std::memcmp(p + key, "path", 4) == 0 && !r->pax_path_set) {
      r->pax_path_set = true;
      r->entry.number = r->entries;
      if (value_bytes > NAME_MAX_BYTES) {
        std::memcpy(r->entry.name, p + value, NAME_MAX_BYTES);
        r->entry.name[NAME_MAX_BYTES] = 0;
        r->entry.name_bytes = NAME_MAX_BYTES;
        r->fault_name = NAME_TOO_LONG;
        return fail(r, BUNDLE_FAULT_NAME, at);
      }
      std::memcpy(r->entry.name, p + value, value_bytes);
      r->entry.name[value_bytes] = 0;
      r->entry.name_bytes = value_bytes;
    } else if (key_bytes == 4 && std::memcmp(p + key, "size", 4) == 0 && !r->pax_size_set) {
      // Decimal digits, at most 18 of them so that the value fits.
      if (value_bytes == 0 || value_bytes > 18) return fail(r, BUNDLE_FAULT_PAX, at);
      uint64_t size = 0;
      for (uint32_t k = value; k < end - 1; ++k) {
        if (p[k] < '0' || p[k] > '9') return fail(r, BUNDLE_FAULT_PAX, at);
        size = size * 10 + (p[k] - '0');
      }
      r->pax_size_set = true;
      r->pax_size = size;
    } else {
      return fail(r, BUNDLE_FAULT_PAX, at);
    }
    i = end;
  }
  return true;
}

// The entry's name: the pax path, else the ustar prefix, a slash and the name.
void take_ustar_name(BundleReader* r) {
  BundleEntry& e = r->entry;
  const uint32_t prefix = field_length(r->header + PREFIX_AT, PREFIX_BYTES);
  const uint32_t name = field_length(r->header + NAME_AT, NAME_BYTES);
  uint32_t n = 0;
  if (prefix != 0) {
    std::memcpy(e.name, r->header + PREFIX_AT, prefix);
    e.name[prefix] = '/';
    n = prefix + 1;
  }
  std::memcpy(e.name + n, r->header + NAME_AT, name);
  e.name_bytes = n + name;
  e.name[e.name_bytes] = 0;
}

// A whole header block has been collected.
bool take_header(BundleReader* r, const BundleSink* sink) {
  const uint8_t* h = r->header;
  const uint64_t at = r->offset - BUNDLE_BLOCK_BYTES;
  if (all_zero(h)) {
    // A pax header stands right before its entry, never before the end.
    if (r->have_pax) return fail(r, BUNDLE_FAULT_PAX, at);
    if (++r->zero_blocks == 2) r->state = STATE_END;
    return true;
  }
  // A lone zero block is no header (and GNU tar would take it for the end).
  if (r->zero_blocks != 0) return fail(r, BUNDLE_FAULT_NOT_USTAR, at - BUNDLE_BLOCK_BYTES);

  uint64_t checksum = 0;
  if (!octal(h + CHECKSUM_AT, CHECKSUM_BYTES, &checksum)) return fail(r, BUNDLE_FAULT_NUMBER, at);
  uint32_t sum = CHECKSUM_BYTES * ' ';
  for (uint32_t i = 0; i < BUNDLE_BLOCK_BYTES; ++i) {
    if (i < CHECKSUM_AT || i >= CHECKSUM_AT + CHECKSUM_BYTES) sum += h[i];
  }
  if (sum != checksum) return fail(r, BUNDLE_FAULT_CHECKSUM, at);
  if (std::memcmp(h + MAGIC_AT, "ustar\0" "00", MAGIC_BYTES) != 0) {
    return fail(r, BUNDLE_FAULT_NOT_USTAR, at);
  }

  const char type = static_cast<char>(h[TYPE_AT]);
  uint64_t size = 0;
  if (type == 'x') {
    if (r->have_pax) return fail(r, BUNDLE_FAULT_PAX, at);  // two for one entry
    if (!octal(h + SIZE_AT, SIZE_BYTES, &size)) return fail(r, BUNDLE_FAULT_NUMBER, at);
    if (size > BUNDLE_MAX_PAX_BYTES) return fail(r, BUNDLE_FAULT_PAX, at);
    r->have_pax = true;
    r->pax_path_set = r->pax_size_set = false;
    r->pax_bytes = r->data_left = size;
    r->pax_fill = 0;
    if (size != 0) {
      r->state = STATE_PAX;
      return true;
    }
    return take_pax(r, at);
  }
  if (type == 'g') return fail(r, BUNDLE_FAULT_GLOBAL_HEADER, at);

  BundleEntry& e = r->entry;
  e.number = r->entries;
  if (!r->pax_path_set) take_ustar_name(r);
  const bool directory = type == '5';
  if (!directory && type != '0' && type != '\0') {
    r->fault_type = type;
    return fail(r, BUNDLE_FAULT_ENTRY_TYPE, at);
  }
  if (directory && e.name_bytes != 0 && e.name[e.name_bytes - 1] == '/') e.name[--e.name_bytes] = 0;
  if (r->entries >= BUNDLE_MAX_ENTRIES || r->names->count >= r->names->capacity / 2) {
    return fail(r, BUNDLE_FAULT_TOO_MANY, at);
  }
  uint64_t mode = 0;
  if (!octal(h + MODE_AT, MODE_BYTES, &mode)) return fail(r, BUNDLE_FAULT_NUMBER, at);
  if (r->pax_size_set) {
    size = r->pax_size;
  } else if (!octal(h + SIZE_AT, SIZE_BYTES, &size)) {
    return fail(r, BUNDLE_FAULT_NUMBER, at);
  }
  if (directory && size != 0) return fail(r, BUNDLE_FAULT_DIRECTORY_DATA, at);

  r->fault_name = name_check(e.name, e.name_bytes);
  if (r->fault_name != NAME_OK) return fail(r, BUNDLE_FAULT_NAME, at);
  uint32_t folder = e.name_bytes;
  while (folder > 0 && e.name[folder - 1] != '/') --folder;
  if (folder != 0 && !name_table_has_directory(r->names, e.name, folder - 1)) {
    return fail(r, BUNDLE_FAULT_NO_FOLDER, at);
  }
  if (!name_table_add(r->names, e.name, e.name_bytes, directory)) {
    return fail(r, BUNDLE_FAULT_DUPLICATE, at);
  }

  e.kind = directory ? BUNDLE_DIRECTORY : BUNDLE_FILE;
  e.size = size;
  e.executable = !directory && (mode & 0111) != 0;
  r->have_pax = r->pax_path_set = r->pax_size_set = false;
  if (!sink->entry(sink->context, &e)) return fail(r, BUNDLE_FAULT_STOPPED, at);
  ++r->entries;
  if (directory) return true;
  r->state = STATE_DATA;
  r->data_left = size;
  return size != 0 || end_file(r, sink);
}

}  // namespace

void bundle_reader_init(BundleReader* reader, NameTable* names) {
  std::memset(reader, 0, sizeof *reader);
  name_table_init(names, names->slots, names->capacity);
  reader->names = names;
  reader->state = STATE_HEADER;
}

bool bundle_feed(BundleReader* r, const uint8_t* bytes, uint32_t n, const BundleSink* sink) {
  if (r->fault != BUNDLE_FAULT_NONE) return false;
  while (n > 0) {
    uint32_t take = n;
    switch (r->state) {
      case STATE_HEADER:
        if (take > BUNDLE_BLOCK_BYTES - r->header_fill) take = BUNDLE_BLOCK_BYTES - r->header_fill;
        std::memcpy(r->header + r->header_fill, bytes, take);
        r->header_fill += take;
        r->offset += take;
        if (r->header_fill == BUNDLE_BLOCK_BYTES) {
          r->header_fill = 0;
          if (!take_header(r, sink)) return false;
        }
        break;
      case STATE_PAX:
        if (take > r->data_left) take = static_cast<uint32_t>(r->data_left);
        std::memcpy(r->pax + r->pax_fill, bytes, take);
        r->pax_fill += take;
        r->data_left -= take;
        r->offset += take;
        if (r->data_left == 0) {
          if (!take_pax(r, r->offset - r->pax_bytes - BUNDLE_BLOCK_BYTES)) return false;
          skip_padding(r, r->pax_bytes);
        }
        break;
      case STATE_DATA:
        if (take > r->data_left) take = static_cast<uint32_t>(r->data_left);
        if (!sink->data(sink->context, bytes, take)) return fail(r, BUNDLE_FAULT_STOPPED, r->offset);
        r->data_left -= take;
        r->offset += take;
        if (r->data_left == 0 && !end_file(r, sink)) return false;
        break;
      case STATE_PADDING:
        if (take > r->padding_left) take = r->padding_left;
        r->padding_left -= take;
        r->offset += take;
        if (r->padding_left == 0) r->state = STATE_HEADER;
        break;
      default:  // STATE_END
        return fail(r, BUNDLE_FAULT_TRAILING, r->offset);
    }
    bytes += take;
    n -= take;
  }
  return true;
}

bool bundle_finish(BundleReader* r) {
  if (r->fault != BUNDLE_FAULT_NONE) return false;
  if (r->state == STATE_END) return true;
  return fail(r, BUNDLE_FAULT_CUT, r->offset);
}
