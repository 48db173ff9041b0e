// The launcher's own texts: the one message a user can see, and its caption.
#pragma once

#include <cstdint>

// Every path the launcher holds lives in a buffer of this many bytes of UTF-8, the terminating
// zero included: room for any path of up to MAX_PATH (260) characters in any script (at most
// three bytes each), and for longer ones in most.
constexpr uint32_t PATH_BUFFER_CHARS = 1024;

constexpr char FAILURE_CAPTION[] = "Corvalin Installation Cancelled";

// The failure message: a fixed first line, a blank line, and the advice line: "Visit", two
// blanks, the publisher's address, two blanks, "for more information." and four blanks. It is
// put together here, at compile time, so the launcher needs no formatting code at all (mingw's
// printf family alone would weigh as much as the rest of the Windows stub).
#define SFX_PUBLISHER_ADDRESS "https://quenderby.dev/corvalin"
constexpr char FAILURE_MESSAGE[] =
    "Unable to load installation data.\n\n"
    "Visit  " SFX_PUBLISHER_ADDRESS "  for more information.    ";
#undef SFX_PUBLISHER_ADDRESS

// The message has always had to fit a buffer of 256 characters, the terminating zero included,
// which leaves the address at most 186 characters.
constexpr uint32_t MESSAGE_BUFFER_CHARS = 256;
static_assert(sizeof FAILURE_MESSAGE <= MESSAGE_BUFFER_CHARS, "the failure message fits its buffer");
