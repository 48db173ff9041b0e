// The launcher's own texts: the one message a user can see, and its caption.
#pragma once

#include <cstdint>

// Every path the launcher holds, and the composed message, lives in a buffer of this many
// characters, the terminating zero included.
constexpr uint32_t PATH_BUFFER_CHARS = 256;
constexpr uint32_t MESSAGE_BUFFER_CHARS = 256;

constexpr char FAILURE_CAPTION[] = "Corvalin Installation Cancelled";

// The failure message; %s is the advice line.
constexpr char FAILURE_FORMAT[] = "Unable to load installation data.\n\n%s";

// The advice line: "Visit", two blanks, the publisher's address, two blanks, "for more
// information." and four blanks.
#define PUBLISHER_ADDRESS "https://quenderby.dev/corvalin"
constexpr char ADVICE_LINE[] = "Visit  " PUBLISHER_ADDRESS "  for more information.    ";
#undef PUBLISHER_ADDRESS

// The address may take at most 186 characters: the composed message must fit its buffer.
static_assert(sizeof "Unable to load installation data.\n\n" - 1 + sizeof ADVICE_LINE - 1 <
                  MESSAGE_BUFFER_CHARS,
              "the failure message fits its buffer");
