// Helper threads for the Win32 layer: the system's threads, one slim reader/writer lock taken
// exclusively and one condition variable (Windows Vista and later, as the manifest says). Both
// start as zeros, so they need no call to set them up.
#include <windows.h>

#include "decode_ahead.h"
#include "platform.h"

namespace {

SRWLOCK lock;                 // SRWLOCK_INIT: zeros
CONDITION_VARIABLE condition;  // CONDITION_VARIABLE_INIT: zeros

struct Started {
  void (*work)(void*);
  void* context;
};
HANDLE threads[AHEAD_MAX_HELPERS];
Started started[AHEAD_MAX_HELPERS];
DWORD thread_count = 0;

DWORD WINAPI run(void* argument) {
  const Started* s = static_cast<const Started*>(argument);
  s->work(s->context);
  return 0;
}

}  // namespace

uint32_t platform_processor_count() {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  uint32_t n = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
    for (; process_mask != 0; process_mask &= process_mask - 1) ++n;
  }
  return n > 0 ? n : 1;
}

bool platform_thread_start(void (*work)(void*), void* context) {
  if (thread_count == AHEAD_MAX_HELPERS) return false;
  started[thread_count] = Started{work, context};
  // A helper needs little stack: its workspace and buffers are the run's.
  threads[thread_count] =
      CreateThread(nullptr, 64 * 1024, run, &started[thread_count], STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (threads[thread_count] == nullptr) return false;
  ++thread_count;
  return true;
}

void platform_threads_join() {
  for (DWORD i = 0; i < thread_count; ++i) {
    WaitForSingleObject(threads[i], INFINITE);
    CloseHandle(threads[i]);
  }
  thread_count = 0;
}

void platform_lock() { AcquireSRWLockExclusive(&lock); }
void platform_unlock() { ReleaseSRWLockExclusive(&lock); }
void platform_wait(uint32_t timeout_ms) { SleepConditionVariableSRW(&condition, &lock, timeout_ms, 0); }
void platform_wake_all() { WakeAllConditionVariable(&condition); }
