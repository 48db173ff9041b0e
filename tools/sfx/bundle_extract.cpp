// The folder a bundle is extracted to: written through the one reader and name policy (the
// walk), each entry created new inside a temporary folder of the tool's own, published whole.
#include "bundle_extract.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "bundle_walk.h"
#include "commands.h"
#include "crc32_combine.h"
#include "file_io.h"
#include "number_texts.h"
#include "os_files.h"
#include "payload_decode.h"
#include "payload_scan.h"
#include "progress.h"
#include "tool_error.h"

namespace {

// The output folder's name without the separators at its end ("out/" is "out"); a name that
// makes no new folder (the root, ".", "..") is refused.
std::string folder_target(const std::string& output, const std::string& display_name) {
  std::string target = output;
  while (target.size() > 1 && os_is_separator(target.back())) target.pop_back();
  size_t cut = target.size();
  while (cut > 0 && !os_is_separator(target[cut - 1])) --cut;
  const std::string last = target.substr(cut);
  if (last.empty() || last == "." || last == ".." || (last.size() == 2 && last[1] == ':'))
    throw ToolError(SFX_EXIT_USAGE, display_name, "names no folder to make; name the folder for the bundle (-o DIR)");
  return target;
}

// The parent folder of target, for messages.
std::string parent_of(const std::string& target) {
  size_t cut = target.size();
  while (cut > 0 && !os_is_separator(target[cut - 1])) --cut;
  return cut == 0 ? "." : target.substr(0, cut == 1 ? 1 : cut - 1);
}

// The folder being written: a temporary folder beside the target that takes the target's name in
// publish(), and is otherwise removed, with all it holds, when the writer goes.
class FolderWriter : public BundleVisitor {
 public:
  FolderWriter(const std::string& target, const std::string& display_name, bool durable)
      : target_(target), display_name_(display_name), durable_(durable) {
    check_target();
    if (!os_create_temp_folder_beside(target_, &temp_))
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "cannot create a folder in " + parent_of(target_) + ": " + os_error_text(os_last_error()));
  }
  ~FolderWriter() override { discard(); }
  FolderWriter(const FolderWriter&) = delete;
  FolderWriter& operator=(const FolderWriter&) = delete;

  void entry(const BundleEntry& entry) override {
    current_ = entry;
    const std::string path = temp_ + "/" + entry.name;
    if (entry.kind == BUNDLE_DIRECTORY) {
      if (!os_create_folder(path)) fail("cannot create the folder", os_last_error());
      if (durable_) folders_.push_back(path);
      return;
    }
    fd_ = os_create_new_file(path, entry.executable);
    if (fd_ < 0) fail("cannot create the file", os_last_error());
    written_ = 0;
  }

  // Each file holds its size, no more and no less, whatever the reader hands over.
  void data(const uint8_t* bytes, uint32_t n) override {
    if (n > current_.size - written_) fail("has more data than its size", 0);
    if (!os_write_all(fd_, bytes, n)) fail("cannot write it", os_last_error());
    written_ += n;
  }

  void file_end(const BundleEntry&) override {
    OsFileInfo info;
    if (written_ != current_.size) fail("has less data than its size", 0);
    if (!os_info_of_fd(fd_, &info)) fail("cannot read it back", os_last_error());
    if (info.size != static_cast<int64_t>(current_.size)) fail("holds another size than was written", 0);
    if (!os_finish_file(fd_, current_.executable ? 0755 : 0644, durable_)) fail("cannot write it", os_last_error());
    const int fd = fd_;
    fd_ = -1;
    if (!os_close(fd)) fail("cannot write it", os_last_error());
  }

  // An interrupt that came while the folder was being written ends the run once the folder is
  // gone.
  void stop_if_interrupted() {
    if (const int interrupt = os_interrupted()) {
      discard();
      os_end_interrupted(interrupt);
    }
  }

  void publish() {
    stop_if_interrupted();
    // Durable: each file was synced as it was finished; the folders' names go to the disk before
    // the whole takes its name.
    if (durable_) {
      folders_.push_back(temp_);
      for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder)
        if (!os_sync_folder(*folder)) {
          const int error_number = os_last_error();
          discard();
          throw ToolError(SFX_EXIT_USAGE, display_name_, "cannot sync " + *folder + ": " + os_error_text(error_number));
        }
    }
    bool exists = false;
    if (!os_publish_folder(temp_, target_, durable_, &exists)) {
      const int error_number = os_last_error();
      discard();
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      exists ? "appeared meanwhile and is not an empty folder; nothing was written"
                             : "cannot give the folder its name: " + os_error_text(error_number));
    }
    temp_.clear();
    os_forget_temp_folder();
  }

 private:
  // A folder is made only where nothing stands or an empty folder does (never a link to one).
  void check_target() {
    OsFileInfo info;
    if (!os_info_of_link(target_, &info)) throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
    if (info.kind == OsFileKind::MISSING) return;
    bool empty = false;
    if (info.kind == OsFileKind::DIRECTORY && !os_folder_is_empty(target_, &empty))
      throw ToolError(SFX_EXIT_USAGE, display_name_, os_error_text(os_last_error()));
    if (info.kind == OsFileKind::DIRECTORY && !empty)
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "is a folder that is not empty: a bundle is extracted into a new folder or an empty one");
    if (info.kind != OsFileKind::DIRECTORY)
      throw ToolError(SFX_EXIT_USAGE, display_name_,
                      "exists and is not a folder: a bundle is extracted into a new folder or an empty one "
                      "(-o - writes its tar stream)");
  }

  [[noreturn]] void fail(const std::string& what, int error_number) {
    std::string text = "entry " + std::to_string(current_.number) + " (" + current_.name + "): " + what;
    if (error_number != 0) text += ": " + os_error_text(error_number);
    if (error_number == EEXIST) text += " (the file system takes its name for an earlier entry's)";
    discard();
    throw ToolError(SFX_EXIT_USAGE, display_name_, text + "; nothing was written");
  }

  void discard() noexcept {
    if (fd_ >= 0) os_close(fd_);
    fd_ = -1;
    if (temp_.empty()) return;
    if (!os_remove_tree(temp_))
      std::fprintf(stderr, "sfx: %s: could not remove all of it: %s\n", temp_.c_str(),
                   os_error_text(os_last_error()).c_str());
    temp_.clear();
    os_forget_temp_folder();
  }

  std::string target_;
  std::string display_name_;
  std::string temp_;  // empty once published or removed
  bool durable_;
  std::vector<std::string> folders_;  // made so far, when durable
  BundleEntry current_{};
  int fd_ = -1;
  uint64_t written_ = 0;
};

}  // namespace

bool bundle_output_is_stream(const std::string& output) {
  OsFileInfo info;
  return is_std_stream(output) || (os_info_of_path(output, &info) && info.kind == OsFileKind::DEVICE_OR_PIPE);
}

int extract_bundle_folder(InputFile& input, PayloadScan& scan, const ExtractOptions& options) {
  const std::string& name = input.display_name();
  FolderWriter folder(folder_target(options.output, options.output), options.output, options.sync);
  BundleWalk walk(scan.record().run_entry, &folder);
  const int64_t total = input.size() < 0 ? -1 : input.size() - scan.start();
  Progress progress("extract " + name, total, options.quiet);
  uint32_t crc = 0;
  // The payload is read to its end even after the reader has refused the stream: a damaged
  // payload is named as such, whatever its damage did to the stream. Blocks are decoded on the
  // threads and fed to the bundle reader in order.
  PayloadDecoder decoder(scan, options.threads);
  decoder.run([&](const DecodedBlock& block) {
    crc = crc32_combine(crc, block.crc, block.size);
    walk.feed(block.data, block.size);
    folder.stop_if_interrupted();
    progress.update(static_cast<uint64_t>(block.offset + PAYLOAD_LENGTH_BYTES + block.length - scan.start()));
  });
  walk.finish();
  progress.clear();
  std::string problem = payload_problem(scan, scan.decoded_bytes(), crc, &input);
  if (problem.empty()) problem = no_program_problem(scan);
  if (problem.empty()) problem = walk.problem();
  if (!problem.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, problem);
  folder.publish();
  if (!options.quiet)
    std::fprintf(stderr, "%s: %s and %s, %s, length and CRC-32 as recorded => %s (its program: %s)\n", name.c_str(),
                 plural(walk.files(), "file", "files").c_str(), plural(walk.folders(), "folder", "folders").c_str(),
                 plural(walk.bytes(), "byte", "bytes").c_str(), options.output.c_str(), walk.run_name().c_str());
  return SFX_EXIT_OK;
}
