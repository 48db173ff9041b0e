#include "decode_ahead.h"

#include <cstring>

#include "platform.h"

namespace {

enum SlotState : uint32_t { SLOT_FREE = 0, SLOT_READ, SLOT_DECODING, SLOT_DONE };

struct Slot {
  SlotState state;
  uint32_t length;        // the frame's bytes
  uint32_t decoded_len;
  PayloadFault fault;
  uint8_t frame[MAX_BLOCK_BYTES];
  uint8_t decoded[MAX_BLOCK_BYTES];
};

// The state of the one run, shared under the platform's lock: the slots form a ring in the
// payload's order. `read` counts the frames read, `taken` those a helper has taken, `given` those
// handed out to the run.
struct Ahead {
  uint32_t helpers;     // 0: the reader is read directly
  bool stop;
  bool reader_done;     // the reader met the end of the payload or a fault
  PayloadRead reader_end;
  uint32_t read, taken, given;
  Slot slots[AHEAD_SLOTS];
  CodecWorkspace workspaces[AHEAD_MAX_HELPERS];  // one a helper
};

Ahead ahead;

Slot& slot_of(uint32_t sequence) { return ahead.slots[sequence % AHEAD_SLOTS]; }

void decode_blocks(void* context) {
  CodecWorkspace* workspace = static_cast<CodecWorkspace*>(context);
  platform_lock();
  for (;;) {
    while (!ahead.stop && ahead.taken == ahead.read) platform_wait(1000);
    if (ahead.stop) break;
    Slot& slot = slot_of(ahead.taken++);
    slot.state = SLOT_DECODING;
    platform_unlock();
    slot.fault = decode_payload_block(workspace, slot.frame, slot.length, slot.decoded, &slot.decoded_len);
    platform_lock();
    slot.state = SLOT_DONE;
    platform_wake_all();
  }
  platform_unlock();
}

// Reads frames into the free slots (with the lock not held: only the run's thread reads).
void read_ahead(PayloadReader* reader) {
  while (!ahead.reader_done && ahead.read - ahead.given < AHEAD_SLOTS) {
    Slot& slot = slot_of(ahead.read);
    uint32_t length = 0;
    const PayloadRead got = read_payload_frame(reader, &length);
    if (got != PAYLOAD_READ_BLOCK) {
      ahead.reader_done = true;
      ahead.reader_end = got;
      return;
    }
    std::memcpy(slot.frame, reader->block, length);
    slot.length = length;
    platform_lock();
    slot.state = SLOT_READ;
    ++ahead.read;
    platform_wake_all();
    platform_unlock();
  }
}

}  // namespace

void ahead_start(uint32_t helpers) {
  ahead.helpers = 0;
  ahead.stop = ahead.reader_done = false;
  ahead.read = ahead.taken = ahead.given = 0;
  if (helpers > AHEAD_MAX_HELPERS) helpers = AHEAD_MAX_HELPERS;
  if (helpers < 2) return;
  while (ahead.helpers < helpers && platform_thread_start(decode_blocks, &ahead.workspaces[ahead.helpers])) {
    ++ahead.helpers;
  }
}

int ahead_next(PayloadReader* reader, const uint8_t** bytes, uint32_t* n) {
  if (ahead.helpers == 0) return next_payload_bytes(reader, bytes, n);
  // The slot handed out last is free again.
  read_ahead(reader);
  if (ahead.given == ahead.read) {
    // Every frame read has been handed out: the reader's end is the payload's.
    reader->ended = true;
    return ahead.reader_end == PAYLOAD_READ_END ? 0 : -1;
  }
  Slot& slot = slot_of(ahead.given);
  platform_lock();
  // The window answers its messages while the run waits (a block takes well under a millisecond).
  while (slot.state != SLOT_DONE) {
    platform_wait(50);
    if (slot.state != SLOT_DONE) {
      platform_unlock();
      platform_progress_poll();
      platform_lock();
    }
  }
  platform_unlock();
  ++ahead.given;
  if (slot.fault != PAYLOAD_FAULT_NONE) {
    reader->error.fault = slot.fault;
    return -1;
  }
  if (slot.decoded_len == 0) {
    // A block that decodes to nothing ends the payload there, as it does on one thread: whatever
    // was read after it, its end mark included, is not the payload's.
    reader->ended = true;
    reader->end_mark_read = false;
    return 0;
  }
  *bytes = slot.decoded;
  *n = slot.decoded_len;
  return 1;
}

void ahead_stop() {
  if (ahead.helpers == 0) return;
  platform_lock();
  ahead.stop = true;
  platform_wake_all();
  platform_unlock();
  platform_threads_join();
  ahead.helpers = 0;
}
