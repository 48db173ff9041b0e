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
