// Helper threads for the POSIX platform layer: POSIX threads, one mutex and one condition.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "decode_ahead.h"
#include "platform.h"

namespace {

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t condition = PTHREAD_COND_INITIALIZER;

struct Started {
  void (*work)(void*);
  void* context;
};
pthread_t threads[AHEAD_MAX_HELPERS];
Started started[AHEAD_MAX_HELPERS];
uint32_t thread_count = 0;

void* run(void* argument) {
  const Started* s = static_cast<const Started*>(argument);
  s->work(s->context);
  return nullptr;
}

}  // namespace

uint32_t platform_processor_count() {
#ifdef CPU_COUNT
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<uint32_t>(CPU_COUNT(&set));
#endif
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint32_t>(n) : 1;
}

bool platform_thread_start(void (*work)(void*), void* context) {
  if (thread_count == AHEAD_MAX_HELPERS) return false;
  started[thread_count] = Started{work, context};
  // A helper needs little stack: its workspace and buffers are the run's.
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  ::pthread_attr_setstacksize(&attributes, 64 * 1024);
  // The signals that end a run are the run's thread's to handle, as in a run without helpers: a
  // helper starts with them blocked (it inherits the mask it is created under).
  sigset_t ending;
  sigset_t before;
  sigemptyset(&ending);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, signal_number);
  ::pthread_sigmask(SIG_BLOCK, &ending, &before);
  const bool ok = ::pthread_create(&threads[thread_count], &attributes, run, &started[thread_count]) == 0;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::pthread_attr_destroy(&attributes);
  if (ok) ++thread_count;
  return ok;
}

void platform_threads_join() {
  for (uint32_t i = 0; i < thread_count; ++i) ::pthread_join(threads[i], nullptr);
  thread_count = 0;
}

void platform_lock() { ::pthread_mutex_lock(&lock); }
void platform_unlock() { ::pthread_mutex_unlock(&lock); }

void platform_wait(uint32_t timeout_ms) {
  timespec until;
  ::clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  ::pthread_cond_timedwait(&condition, &lock, &until);
}

void platform_wake_all() { ::pthread_cond_broadcast(&condition); }
