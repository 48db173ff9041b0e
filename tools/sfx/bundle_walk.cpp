// The bundle walk over the core's reader.
#include "bundle_walk.h"

#include <algorithm>

#include "payload_scan.h"

bool is_bundle(const PayloadScan& scan) {
  return scan.record_status() == INTEGRITY_PRESENT && (scan.record().flags & INTEGRITY_FLAG_BUNDLE) != 0;
}

BundleWalk::BundleWalk(uint32_t run_entry, BundleVisitor* visitor)
    : reader_(std::make_unique<BundleReader>()), slots_(NAME_TABLE_SLOTS), visitor_(visitor), run_entry_(run_entry) {
  name_table_init(&names_, slots_.data(), NAME_TABLE_SLOTS);
  bundle_reader_init(reader_.get(), &names_);
  sink_ = {on_entry, on_data, on_file_end, this};
}

BundleWalk::~BundleWalk() = default;

void BundleWalk::feed(const uint8_t* bytes, size_t n) {
  while (n > 0 && !stopped_) {
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(n, 1u << 20));
    if (!bundle_feed(reader_.get(), bytes, piece, &sink_)) {
      stopped_ = true;
      // A visitor that failed has its own reason, which is the command's.
      if (visitor_failure_) std::rethrow_exception(visitor_failure_);
      refuse();
    }
    bytes += piece;
    n -= piece;
  }
}

void BundleWalk::finish() {
  if (stopped_) return;
  stopped_ = true;
  if (!bundle_finish(reader_.get())) {
    refuse();
    return;
  }
  const std::string named = "the integrity record names entry " + std::to_string(run_entry_) + " as the program to start";
  const uint32_t entries = files_ + folders_;
  if (!run_seen_)
    problem_ = named + ", but the bundle holds " + (entries == 0 ? std::string("no entries")
                                                                  : std::to_string(entries) + " (0 to " +
                                                                        std::to_string(entries - 1) + ")");
  else if (run_is_folder_)
    problem_ = named + ", " + run_folder_name_ + ", which is a folder";
}

void BundleWalk::refuse() {
  char text[512];
  bundle_fault_describe(reader_.get(), text, sizeof text);
  problem_ = std::string("the bundle is refused: ") + text + " (tar stream byte " +
             std::to_string(reader_->fault_offset) + ")";
}

// What the visitor does runs here, inside the reader's call: an exception it throws is kept and
// thrown again from feed, once the reader has returned.
template <typename Call>
bool BundleWalk::visit(Call call) {
  if (visitor_ == nullptr) return true;
  try {
    call(*visitor_);
    return true;
  } catch (...) {
    visitor_failure_ = std::current_exception();
    return false;
  }
}

bool BundleWalk::on_entry(void* context, const BundleEntry* entry) {
  auto* walk = static_cast<BundleWalk*>(context);
  if (entry->kind == BUNDLE_DIRECTORY) {
    ++walk->folders_;
  } else {
    ++walk->files_;
    walk->bytes_ += entry->size;
  }
  if (entry->number == walk->run_entry_) {
    walk->run_seen_ = true;
    walk->run_is_folder_ = entry->kind == BUNDLE_DIRECTORY;
    (walk->run_is_folder_ ? walk->run_folder_name_ : walk->run_name_) = entry->name;
  }
  return walk->visit([entry](BundleVisitor& visitor) { visitor.entry(*entry); });
}

bool BundleWalk::on_data(void* context, const uint8_t* bytes, uint32_t n) {
  return static_cast<BundleWalk*>(context)->visit([bytes, n](BundleVisitor& visitor) { visitor.data(bytes, n); });
}

bool BundleWalk::on_file_end(void* context, const BundleEntry* entry) {
  return static_cast<BundleWalk*>(context)->visit([entry](BundleVisitor& visitor) { visitor.file_end(*entry); });
}
