// A bundle's tar stream walked through the core's bundle reader and its name policy (bundle.h),
// fed the payload's decoded data as the scan hands it out. list, extract and verify judge a
// bundle with the very reader the launcher unpacks it with, and find its program as the launcher
// does: the record's run_entry, which must be a file of the stream.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"
#include "integrity.h"

class PayloadScan;

// Whether the payload's integrity record marks its data as a bundle.
bool is_bundle(const PayloadScan& scan);

// What a command does with what the reader hands out, beside judging it: write the folder, list
// the entries. Its functions may throw (a write that failed): the walk stops there and the
// exception comes out of feed, never through the reader.
class BundleVisitor {
 public:
  virtual ~BundleVisitor() = default;
  virtual void entry(const BundleEntry& entry) = 0;
  // The next bytes of the current file.
  virtual void data(const uint8_t* bytes, uint32_t n) = 0;
  // The current file's last byte has been handed out.
  virtual void file_end(const BundleEntry& entry) = 0;
};

class BundleWalk {
 public:
  // run_entry: the record's; visitor may be null (a judgement alone).
  BundleWalk(uint32_t run_entry, BundleVisitor* visitor);
  ~BundleWalk();
  BundleWalk(const BundleWalk&) = delete;
  BundleWalk& operator=(const BundleWalk&) = delete;

  // The next n bytes of the stream. After the reader has refused the stream it takes nothing
  // more, so that the caller can read the payload to its end to judge it all the same.
  void feed(const uint8_t* bytes, size_t n);
  // At the end of the data: the reader's last word on the stream, then the program's entry.
  void finish();

  // After finish: "" for a bundle the launcher unpacks and starts, else why it refuses it. Before
  // finish: the reader's refusal met so far, if any.
  const std::string& problem() const { return problem_; }

  // What was read, up to the end or to the refusal.
  uint32_t files() const { return files_; }
  uint32_t folders() const { return folders_; }
  uint64_t bytes() const { return bytes_; }
  uint32_t run_entry() const { return run_entry_; }
  // The program's name once its entry has been read as a file ("" otherwise).
  const std::string& run_name() const { return run_name_; }

 private:
  static bool on_entry(void* context, const BundleEntry* entry);
  static bool on_data(void* context, const uint8_t* bytes, uint32_t n);
  static bool on_file_end(void* context, const BundleEntry* entry);
  template <typename Call>
  bool visit(Call call);
  void refuse();

  std::unique_ptr<BundleReader> reader_;
  std::vector<uint64_t> slots_;
  NameTable names_{};
  BundleSink sink_{};
  BundleVisitor* visitor_;
  std::exception_ptr visitor_failure_;
  bool stopped_ = false;
  uint32_t run_entry_;
  bool run_seen_ = false;       // its entry has been read
  bool run_is_folder_ = false;
  std::string run_name_;        // a file's name
  std::string run_folder_name_; // a folder's, for the refusal
  uint32_t files_ = 0, folders_ = 0;
  uint64_t bytes_ = 0;
  std::string problem_;
};
