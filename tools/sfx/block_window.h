// Work on a stream of blocks by several threads, handed back in the order the blocks came.
//
// The caller fills slots in order and submits them; worker threads run the work on each; the
// caller takes them back in the same order and releases them for refilling. At most a window
// of slots is in flight (eight per thread: enough to keep the workers busy while the reading
// thread waits for a processor), so memory stays bounded whatever the length of the
// stream, and the order of results never depends on which thread finished first: the output is
// the same for any number of threads. With one thread no worker is started and the work runs
// in the caller's thread as each slot is submitted. With caller_helps, the caller counts as one of
// the threads: threads - 1 workers are started, and the caller, while it waits for the oldest
// slot, runs the work of slots no worker has taken yet, so that no processor is asked for more
// threads than the work has (decoding, whose reading and writing take the caller little).
//
// The caller's loop:
//   for (;;) {
//     while (window.has_room() && more input) { fill window.next_to_fill(); window.submit(); }
//     if (window.empty()) break;
//     use window.wait_oldest(); window.release_oldest();
//   }
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

template <class Slot>
class BlockWindow {
 public:
  // work(slot, worker): worker is the number (0 to threads - 1) of the thread running it, for
  // state each thread keeps for itself.
  using Work = std::function<void(Slot& slot, unsigned worker)>;

  static constexpr unsigned SLOTS_PER_THREAD = 8;

  // The caller's work, with caller_helps, runs as worker number threads - 1.
  BlockWindow(unsigned threads, Work work, bool caller_helps = false)
      : work_(std::move(work)),
        slots_(threads <= 1 ? 1 : SLOTS_PER_THREAD * threads),
        done_(slots_.size(), false),
        failures_(slots_.size()),
        caller_helps_(caller_helps && threads > 1),
        caller_number_(threads - 1) {
    if (threads <= 1) return;
    const unsigned workers = caller_helps_ ? threads - 1 : threads;
    workers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this, i] { run_worker(i); });
  }

  ~BlockWindow() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  BlockWindow(const BlockWindow&) = delete;
  BlockWindow& operator=(const BlockWindow&) = delete;

  bool has_room() const { return filled_ - taken_ < slots_.size(); }
  bool empty() const { return filled_ == taken_; }

  // The slot to fill next; has_room() must be true.
  Slot& next_to_fill() { return slots_[index_of(filled_)]; }

  // Hands the slot from next_to_fill() to the workers.
  void submit() {
    const size_t index = index_of(filled_);
    if (workers_.empty()) {
      run_one(index, 0);
      ++filled_;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[index] = false;
      ++filled_;
    }
    work_ready_.notify_one();
  }

  // The oldest submitted slot once its work is done; what the work threw is thrown here. The
  // window must not be empty.
  Slot& wait_oldest() {
    const size_t index = index_of(taken_);
    if (!workers_.empty()) {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!done_[index]) {
        if (caller_helps_ && started_ < filled_) {
          const size_t taken = index_of(started_++);
          lock.unlock();
          run_one(taken, caller_number_);
          lock.lock();
          done_[taken] = true;
          continue;
        }
        slot_done_.wait(lock);
      }
    }
    if (failures_[index]) {
      std::exception_ptr failure = failures_[index];
      failures_[index] = nullptr;
      std::rethrow_exception(failure);
    }
    return slots_[index];
  }

  void release_oldest() { ++taken_; }

 private:
  size_t index_of(uint64_t count) const { return static_cast<size_t>(count % slots_.size()); }

  void run_one(size_t index, unsigned worker) {
    try {
      work_(slots_[index], worker);
    } catch (...) {
      failures_[index] = std::current_exception();
    }
  }

  void run_worker(unsigned worker) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return stopping_ || started_ < filled_; });
      if (stopping_) return;
      const size_t index = index_of(started_++);
      lock.unlock();
      run_one(index, worker);
      lock.lock();
      done_[index] = true;
      slot_done_.notify_all();
    }
  }

  Work work_;
  std::vector<Slot> slots_;
  std::vector<bool> done_;
  std::vector<std::exception_ptr> failures_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable slot_done_;
  const bool caller_helps_;
  const unsigned caller_number_;
  // Counts of slots ever filled (submitted), started by a worker and taken back. filled_ and
  // taken_ are changed by the caller's thread only; filled_ and started_ under the lock.
  uint64_t filled_ = 0;
  uint64_t started_ = 0;
  uint64_t taken_ = 0;
  bool stopping_ = false;
};
