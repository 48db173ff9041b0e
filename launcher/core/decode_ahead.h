// Blocks decoded ahead on helper threads. A payload's blocks are independent (the codec keeps no
// state between them), so while the run's own thread reads the file, writes the output and keeps
// the window answering, helpers decode the blocks it has read: the run's thread reads each block's
// frame into a free slot, a helper decodes it, and the run takes the slots back in the order of the
// payload. The bytes, their order and every check are those of the single-threaded run; a block a
// helper finds damaged ends the run when its turn comes, as it would have on the run's thread.
//
// A machine with one processor runs as before: no helper is started.
#pragma once

#include <cstdint>

#include "payload_reader.h"

// At most this many helpers, and twice as many slots and one more: enough that a helper never
// waits for the reader on two processors, and a bounded 130 KB of memory a slot.
constexpr uint32_t AHEAD_MAX_HELPERS = 4;
constexpr uint32_t AHEAD_SLOTS = 2 * AHEAD_MAX_HELPERS + 1;

// Starts up to helpers threads for the payload about to be read (its marker found); 0 or 1
// starts none, and the payload is read on the run's thread as before.
void ahead_start(uint32_t helpers);
// As next_payload_bytes (payload_reader.h): 1 with the next block's bytes, 0 at the end of the
// payload, -1 when it is damaged.
int ahead_next(PayloadReader* reader, const uint8_t** bytes, uint32_t* n);
// Stops the helpers and waits for them; the slots are free again.
void ahead_stop();
