// The progress bar's geometry and arithmetic, shared by the unpack run, which works out its width,
// and the platform layers, which draw it.
#pragma once

#include <cstdint>

// The bar's width is worked out before every output byte whose count is a multiple of this,
// and the bar is drawn when its right edge has moved.
constexpr uint32_t BAR_PACE_BYTES = 500;

// The bar, in dialog units of the progress window: it grows from x = BAR_LEFT by up to BAR_WIDTH
// units, inside the bar's frame.
constexpr int32_t BAR_LEFT = 16;
constexpr int32_t BAR_TOP = 35;
constexpr int32_t BAR_BOTTOM = 40;
constexpr int32_t BAR_WIDTH = 146;

// The right edge of the bar when consumed of payload_size bytes of the payload have been read.
// The product is taken at 64 bits so it cannot overflow; the quotient is truncated. Never past
// the frame, and a payload of no bytes draws no width.
int32_t bar_right(int64_t consumed, int64_t payload_size);
