// The launcher's own texts: the one message a user can see, and its caption. A publisher's launcher
// carries its caption and address in its resources instead (resource.h: IDS_FAILURE_CAPTION,
// IDS_PUBLISHER_ADDRESS); these are the launcher's defaults.
#pragma once

#include <cstdint>

// Every path the launcher holds lives in a buffer of this many bytes of UTF-8, the terminating
// zero included: room for any path of up to MAX_PATH (260) characters in any script (at most
// three bytes each), and for longer ones in most.
constexpr uint32_t PATH_BUFFER_CHARS = 1024;

constexpr char FAILURE_CAPTION[] = "Corvalin Installation Cancelled";
constexpr char DEFAULT_PUBLISHER_ADDRESS[] = "https://quenderby.dev/corvalin";

// The failure message: a fixed first line, a blank line, and the advice line: "Visit", two
// blanks, the publisher's address, two blanks, "for more information." and four blanks. It is
// put together by plain copies, so the launcher needs no formatting code at all (mingw's printf
// family alone would weigh as much as the rest of the Windows stub).
constexpr char FAILURE_MESSAGE_FIRST_LINE[] = "Unable to load installation data.";
constexpr char FAILURE_MESSAGE_HEAD[] = "Unable to load installation data.\n\nVisit  ";
constexpr char FAILURE_MESSAGE_TAIL[] = "  for more information.    ";

// The message has always had to fit a buffer of 256 characters, the terminating zero included,
// which leaves the address at most 186 characters (UTF-16 units, as Windows counts them).
constexpr uint32_t MESSAGE_BUFFER_CHARS = 256;
constexpr uint32_t MAX_ADDRESS_CHARS =
    MESSAGE_BUFFER_CHARS - 1 - (sizeof FAILURE_MESSAGE_HEAD - 1) - (sizeof FAILURE_MESSAGE_TAIL - 1);
static_assert(MAX_ADDRESS_CHARS == 186, "the address has the room it always had");
// The message as UTF-8: 256 characters of up to three bytes each.
constexpr uint32_t MESSAGE_BUFFER_BYTES = 3 * MESSAGE_BUFFER_CHARS;

// The message naming address, into out (capacity bytes, at least MESSAGE_BUFFER_BYTES); an
// address too long for it is replaced by the launcher's own. An empty address gives the first
// line alone: a publisher who named no address gets no advice line.
void compose_failure_message(const char* address, char* out, uint32_t capacity);

// ---- texts put together by plain copies ---------------------------------------------------------

// A text built by appending, in a caller's buffer; what does not fit is left out, and the text
// stays terminated.
struct TextBuilder {
  char* text;
  uint32_t capacity;  // at least 1
  uint32_t length;
};
void text_start(TextBuilder* b, char* buffer, uint32_t capacity);
void text_put(TextBuilder* b, const char* more);
void text_put_number(TextBuilder* b, uint64_t value);
// Eight hexadecimal digits, lower case.
void text_put_hex(TextBuilder* b, uint32_t value);

// ---- why a run failed: the line the failure message adds after its first ----------------------

constexpr char CAUSE_PAYLOAD[] = "The installation data in this file is damaged or cut short.";
constexpr char CAUSE_OWN_FILE[] = "The launcher cannot read its own file ";
constexpr char CAUSE_TEMP_FOLDER[] = "The temporary folder ";
constexpr char CAUSE_TEMP_UNKNOWN[] = "The temporary folder is not set, or its path is too long.";
constexpr char CAUSE_TEMP_MISSING[] = " does not exist.";
constexpr char CAUSE_TEMP_FULL[] = " is on a disk that is full.";
constexpr char CAUSE_TEMP_DENIED[] = " cannot be written to.";
constexpr char CAUSE_TEMP_OTHER[] = " cannot be used: ";
constexpr char CAUSE_CHECK[] = "The unpacked file could not be held against changes and read back";
constexpr char CAUSE_START[] = "The program could not be started";
constexpr char CAUSE_NOEXEC[] = "The program could not be started: no folder tried lets programs run: ";

// The whole message: the first line, the cause line, then (with an address) the advice line,
// as compose_failure_message gives it.
constexpr uint32_t FAILURE_TEXT_BYTES = MESSAGE_BUFFER_BYTES + 3 * PATH_BUFFER_CHARS;
