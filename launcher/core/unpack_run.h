// The pieces of the unpack run that are worth naming on their own: the buffered output and the
// progress bar's arithmetic.
#pragma once

#include <cstdint>

// The output is gathered into writes of this many bytes.
constexpr uint32_t OUTPUT_BUFFER_BYTES = 4096;

// put_output_byte's value that writes out what is buffered instead of appending a byte.
constexpr int OUTPUT_FLUSH = -1;

// Appends value (0..255) to the output buffer of fd, writing the buffer out first when it is
// full; OUTPUT_FLUSH writes out what is buffered. False when a write could not be completed
// (disk full or an error): the output file is then incomplete.
bool put_output_byte(int value, int fd);

// Appends n bytes as n calls of put_output_byte would, with the same writes: a full buffer is
// written out only when a further byte comes, always OUTPUT_BUFFER_BYTES at a time.
bool put_output_bytes(const uint8_t* bytes, uint32_t n, int fd);

// Bytes waiting in the output buffer.
uint32_t output_buffered_bytes();

// The bar's width is worked out before every output byte whose count is a multiple of this,
// and the bar is drawn when its right edge has moved.
constexpr uint32_t BAR_PACE_BYTES = 500;

// The bar, in dialog units: it grows from x = BAR_LEFT by up to BAR_WIDTH units.
constexpr int32_t BAR_LEFT = 16;
constexpr int32_t BAR_TOP = 35;
constexpr int32_t BAR_BOTTOM = 40;
constexpr int32_t BAR_WIDTH = 146;

// The right edge of the bar when consumed of payload_size bytes of the payload have been read.
// The product is taken at 64 bits so it cannot overflow; the quotient is truncated. Never past
// the frame, and a payload of no bytes draws no width.
int32_t bar_right(int64_t consumed, int64_t payload_size);
