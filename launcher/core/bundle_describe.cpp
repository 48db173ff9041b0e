// bundle_fault_describe (bundle.h): the reader's fault in words, for the tool's messages. The
// launchers show one message whatever went wrong and never link this.
#include <cstring>

#include "bundle.h"
#include "bundle_state.h"

namespace {

// The text written for a fault: the message goes into out, cut to its capacity.
struct Text {
  char* out;
  uint32_t capacity;
  uint32_t used;
};

void put(Text* t, const char* s) {
  for (; *s != 0 && t->used + 1 < t->capacity; ++s) t->out[t->used++] = *s;
}

void put_number(Text* t, uint32_t v) {
  char digits[11];
  uint32_t i = 10;
  digits[i] = 0;
  do {
    digits[--i] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  put(t, digits + i);
}

// The name as a message shows it: control characters (and, in a name that is not UTF-8, every
// byte past ASCII) as \xNN, at most NAME_SHOWN_BYTES bytes of it and then "...", never cutting a
// character in two.
// Within a capacity of 128 the longest message fits whole: "entry 100000 (", 43 bytes of name,
// "): " and the longest cause (63 bytes).
constexpr uint32_t NAME_SHOWN_BYTES = 40;

void put_name(Text* t, const BundleEntry* e) {
  const bool utf8 = name_check(e->name, e->name_bytes) != NAME_NOT_UTF8;
  const uint32_t stop = t->used + NAME_SHOWN_BYTES;
  for (uint32_t i = 0; i < e->name_bytes; ++i) {
    const uint8_t c = static_cast<uint8_t>(e->name[i]);
    char piece[5] = {static_cast<char>(c), 0, 0, 0, 0};
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
      const char* hex = "0123456789abcdef";
      piece[0] = '\\', piece[1] = 'x', piece[2] = hex[c >> 4], piece[3] = hex[c & 15];
    }
    const uint32_t width = c >= 0xC0 && utf8 ? (c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2)
                                              : static_cast<uint32_t>(std::strlen(piece));
    if (t->used + width > stop) {
      put(t, "...");
      return;
    }
    put(t, piece);
  }
}

const char* entry_type_text(char type) {
  switch (type) {
    case '1': return "a hard link";
    case '2': return "a symbolic link";
    case '3': return "a character device";
    case '4': return "a block device";
    case '6': return "a FIFO";
    case '7': return "a contiguous file";
    case 'L': return "a GNU long name";
    case 'K': return "a GNU long link name";
    case 'S': return "a GNU sparse file";
    case 'D': return "a GNU directory dump";
    case 'M': return "a GNU multi-volume continuation";
    case 'V': return "a GNU volume label";
    default: return nullptr;
  }
}

}  // namespace

void bundle_fault_describe(const BundleReader* r, char* out, uint32_t capacity) {
  Text t{out, capacity, 0};
  const BundleFault fault = r->fault;
  const bool in_pax = r->state == STATE_PAX || (r->state == STATE_PADDING && r->have_pax);
  const bool whole_stream =
      fault == BUNDLE_FAULT_NONE || fault == BUNDLE_FAULT_TRAILING ||
      (fault == BUNDLE_FAULT_CUT && !in_pax && r->state != STATE_DATA && r->state != STATE_PADDING);
  if (!whole_stream) {
    put(&t, "entry ");
    put_number(&t, r->fault_entry);
    const bool named = r->entry.number == r->fault_entry && r->entry.name_bytes != 0;
    if (named && fault != BUNDLE_FAULT_NAME) {
      put(&t, " (");
      put_name(&t, &r->entry);
      put(&t, ")");
    }
    put(&t, ": ");
  }
  switch (fault) {
    case BUNDLE_FAULT_NONE: put(&t, "no fault"); break;
    case BUNDLE_FAULT_CHECKSUM: put(&t, "a header whose checksum is wrong"); break;
    case BUNDLE_FAULT_NOT_USTAR: put(&t, "a header that is not a ustar header"); break;
    case BUNDLE_FAULT_NUMBER: put(&t, "a size, mode or checksum that is not an octal number"); break;
    case BUNDLE_FAULT_ENTRY_TYPE: {
      const char* text = entry_type_text(r->fault_type);
      if (text != nullptr) {
        put(&t, text);
      } else {
        const char type[2] = {r->fault_type, 0};
        put(&t, "an entry of type ");
        if (r->fault_type > ' ' && r->fault_type < 0x7F) {
          put(&t, "'");
          put(&t, type);
          put(&t, "'");
        } else {
          put_number(&t, static_cast<uint8_t>(r->fault_type));
        }
      }
      break;
    }
    case BUNDLE_FAULT_GLOBAL_HEADER: put(&t, "a pax global header"); break;
    case BUNDLE_FAULT_PAX:
      put(&t, "a pax header malformed or with a record other than path or size");
      break;
    case BUNDLE_FAULT_NAME:
      put(&t, "the name \"");
      put_name(&t, &r->entry);
      put(&t, "\" ");
      put(&t, name_fault_text(r->fault_name));
      break;
    case BUNDLE_FAULT_DUPLICATE: put(&t, "the same name for Windows as an earlier entry"); break;
    case BUNDLE_FAULT_NO_FOLDER: put(&t, "its folder is not an earlier folder entry"); break;
    case BUNDLE_FAULT_TOO_MANY: put(&t, "more entries than a bundle may hold"); break;
    case BUNDLE_FAULT_DIRECTORY_DATA: put(&t, "a folder with data"); break;
    case BUNDLE_FAULT_TRAILING: put(&t, "data after the end of the stream (two zero blocks)"); break;
    case BUNDLE_FAULT_CUT:
      put(&t, whole_stream ? "the stream ends before its end (two zero blocks)"
                           : in_pax ? "the stream ends inside its pax header"
                                    : "the stream ends inside its data");
      break;
    case BUNDLE_FAULT_STOPPED: put(&t, "the read was stopped"); break;
  }
  if (capacity != 0) out[t.used] = 0;
}
