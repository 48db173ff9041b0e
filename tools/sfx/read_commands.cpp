// The commands that check payloads and give their data back: extract and verify. Both walk the
// payload through the launcher's reader (PayloadScan), so they accept, end and reject exactly
// what it does, and both hold the data to the integrity record when there is one. A bundle's
// stream goes through the launcher's bundle reader too (BundleWalk), which judges every entry.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "block_window.h"
#include "bundle_extract.h"
#include "bundle_walk.h"
#include "commands.h"
#include "crc32.h"
#include "crc32_combine.h"
#include "file_io.h"
#include "number_texts.h"
#include "payload_scan.h"
#include "progress.h"
#include "tool_error.h"

namespace {

void throw_if_unusable_record(const PayloadScan& scan, const std::string& name) {
  const std::string problem = unusable_record_problem(scan);
  if (!problem.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, problem);
}

}  // namespace

int run_extract(const ExtractOptions& options) {
  InputFile input(options.file, true);
  if (same_file(options.output, input))
    throw ToolError(SFX_EXIT_USAGE, options.output, "is also the input; choose another output");
  PayloadScan scan(input);
  const std::string& name = input.display_name();
  throw_if_unusable_record(scan, name);
  const bool bundle = is_bundle(scan);
  if (bundle && !bundle_output_is_stream(options.output)) return extract_bundle_folder(input, scan, options);
  // Anything else, a bundle's tar stream included, is written as the data it is; a bundle is
  // judged all the same.
  std::unique_ptr<BundleWalk> walk;
  if (bundle) walk = std::make_unique<BundleWalk>(scan.record().run_entry, nullptr);
  OutputFile output(options.output, options.force, 0666);
  const int64_t total = input.size() < 0 ? -1 : input.size() - scan.start();
  Progress progress("extract " + name, total, options.quiet);
  ScannedBlock block;
  uint32_t blocks = 0;
  uint32_t crc = 0;
  while (scan.next(&block)) {
    output.write(block.decoded, block.decoded_len);
    crc = crc32_update(crc, block.decoded, block.decoded_len);
    if (walk) walk->feed(block.decoded, block.decoded_len);
    if (block.decoded_len != 0) ++blocks;
    progress.update(static_cast<uint64_t>(scan.offset() - scan.start()));
  }
  progress.clear();
  // Nothing is kept of a payload the launcher would refuse: a damaged payload is named as such
  // before what its damage did to a bundle's stream.
  std::string problem = payload_problem(scan, scan.decoded_bytes(), crc, &input);
  if (problem.empty()) problem = no_program_problem(scan);
  if (walk) walk->finish();
  if (problem.empty() && walk) problem = walk->problem();
  if (!problem.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, problem);
  output.commit();
  if (!options.quiet) {
    std::fprintf(stderr, "%s: %s, %llu bytes%s => %s\n", name.c_str(),
                 plural(blocks, "block", "blocks").c_str(),
                 static_cast<unsigned long long>(scan.decoded_bytes()),
                 scan.record_status() == INTEGRITY_PRESENT ? ", length and CRC-32 as recorded" : "",
                 output.display_name().c_str());
  }
  return SFX_EXIT_OK;
}

namespace {

// One block in flight through verify: copies of its stored and decoded bytes, and what the
// check found.
struct VerifySlot {
  uint32_t number = 0;
  int64_t offset = 0;
  std::vector<uint8_t> stored;
  std::vector<uint8_t> decoded;
  uint32_t crc = 0;
  std::string problem;  // empty: the block re-encodes to its own bytes
};

// Re-encodes a block's data: this encoder must give the very bytes the file holds.
void check_block(BlockEncoder& encoder, std::vector<uint8_t>& again, VerifySlot& slot) {
  slot.crc = crc32_update(0, slot.decoded.data(), slot.decoded.size());
  slot.problem.clear();
  const std::string where = "block " + std::to_string(slot.number) + " at offset " + std::to_string(slot.offset);
  if (slot.decoded.size() > MAX_BLOCK_INPUT) {
    slot.problem = where + ": decodes to " + std::to_string(slot.decoded.size()) +
                   " bytes, more than this encoder puts in a block (" + std::to_string(MAX_BLOCK_INPUT) + ")";
    return;
  }
  if (encoder.reencodes_to(slot.decoded.data(), static_cast<uint32_t>(slot.decoded.size()), slot.stored.data(),
                           slot.stored.size(), &again))
    return;
  std::string differs;
  if (again.size() != slot.stored.size()) {
    differs = "gives " + std::to_string(again.size()) + " bytes instead of its " + std::to_string(slot.stored.size());
  } else {
    // As long as the block: say where the first byte that differs lies.
    const size_t at = static_cast<size_t>(
        std::mismatch(again.begin(), again.end(), slot.stored.begin()).first - again.begin());
    differs = "gives other bytes of the same length (" + std::to_string(again.size()) +
              "), the first at byte " + std::to_string(at) + " of the block (file offset " +
              std::to_string(slot.offset + PAYLOAD_LENGTH_BYTES + static_cast<int64_t>(at)) + ")";
  }
  slot.problem = where + ": re-encoding its data " + differs + ": the block was not made by this encoder, or is damaged";
}

// Compares the next decoded bytes with the original file's; position is where they start in
// the decoded data.
void compare_with_original(InputFile& original, const std::vector<uint8_t>& decoded, uint64_t position,
                           std::vector<uint8_t>& expected, const std::string& name) {
  expected.resize(decoded.size());
  const size_t got = original.read_full(expected.data(), expected.size());
  const size_t same = static_cast<size_t>(
      std::mismatch(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(got), decoded.begin()).first -
      expected.begin());
  if (same < got)
    throw ToolError(SFX_EXIT_DAMAGED, name,
                    "differs from " + original.display_name() + " at byte " + std::to_string(position + same));
  if (got < decoded.size())
    throw ToolError(SFX_EXIT_DAMAGED, name,
                    "is longer than " + original.display_name() + " (" + std::to_string(position + got) + " bytes)");
}

int verify_one(const std::string& file, const VerifyOptions& options) {
  InputFile input(file, true);
  std::unique_ptr<InputFile> original;
  if (options.has_original) original = std::make_unique<InputFile>(options.original, false);
  const std::string& name = input.display_name();

  PayloadScan scan(input);
  throw_if_unusable_record(scan, name);
  std::unique_ptr<BundleWalk> walk;
  if (is_bundle(scan)) walk = std::make_unique<BundleWalk>(scan.record().run_entry, nullptr);
  Progress progress("verify " + name, input.size() < 0 ? -1 : input.size() - scan.start(), options.quiet);

  const unsigned threads = std::max(1u, options.threads);
  std::vector<BlockEncoder> encoders(threads);
  std::vector<std::vector<uint8_t>> scratch(threads);
  BlockWindow<VerifySlot> window(threads, [&](VerifySlot& slot, unsigned worker) {
    check_block(encoders[worker], scratch[worker], slot);
  });

  std::vector<uint8_t> expected;
  // A fault the reader finds is reported after the blocks before it have been checked, so the
  // first fault in the file is the one named, whatever the number of threads.
  std::exception_ptr read_fault;
  bool scan_ended = false;
  ScannedBlock block;
  uint32_t blocks = 0;
  uint64_t position = 0;  // in the decoded data
  uint32_t crc = 0;
  for (;;) {
    while (!scan_ended && window.has_room()) {
      try {
        if (!scan.next(&block)) {
          scan_ended = true;
          break;
        }
      } catch (const ToolError&) {
        read_fault = std::current_exception();
        scan_ended = true;
        break;
      }
      if (block.decoded_len == 0) {
        scan_ended = true;  // the launcher stops here (payload_problem says so)
        break;
      }
      VerifySlot& slot = window.next_to_fill();
      slot.number = block.number;
      slot.offset = block.offset;
      slot.stored.assign(block.stored, block.stored + block.length);
      slot.decoded.assign(block.decoded, block.decoded + block.decoded_len);
      window.submit();
    }
    if (window.empty()) break;
    const VerifySlot& slot = window.wait_oldest();
    if (!slot.problem.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, slot.problem);
    if (original) compare_with_original(*original, slot.decoded, position, expected, name);
    if (walk) walk->feed(slot.decoded.data(), slot.decoded.size());
    crc = crc32_combine(crc, slot.crc, slot.decoded.size());
    position += slot.decoded.size();
    ++blocks;
    window.release_oldest();
    progress.update(static_cast<uint64_t>(scan.offset() - scan.start()));
  }
  progress.clear();
  if (read_fault) std::rethrow_exception(read_fault);
  // The blocks were checked one by one above, so a mismatch left here is not one of theirs.
  std::string problem = payload_problem(scan, position, crc, nullptr);
  if (problem.empty()) problem = no_program_problem(scan);
  if (walk) walk->finish();
  if (problem.empty() && walk) problem = walk->problem();
  if (!problem.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, problem);
  if (original) {
    uint8_t extra = 0;
    if (original->read_full(&extra, 1) != 0)
      throw ToolError(SFX_EXIT_DAMAGED, name,
                      "is shorter than " + original->display_name() + " (" + std::to_string(position) + " bytes)");
  }
  if (!options.quiet) {
    std::string text = name + ": ok: " + plural(blocks, "block", "blocks") + ", " + std::to_string(position) +
                       " bytes, each block re-encodes to the same bytes";
    text += scan.record_status() == INTEGRITY_PRESENT ? "; length and CRC-32 as recorded" : "; no integrity record";
    if (walk)
      text += "; a bundle of " + plural(walk->files(), "file", "files") + " and " +
              plural(walk->folders(), "folder", "folders") + ", every entry as the launcher takes it, its program " +
              walk->run_name();
    if (original) text += "; equal to " + original->display_name();
    std::printf("%s\n", text.c_str());
  }
  return SFX_EXIT_OK;
}

}  // namespace

int run_verify(const VerifyOptions& options) {
  if (options.has_original && options.files.size() > 1)
    throw ToolError(SFX_EXIT_USAGE, "", "--original compares one FILE; name only one");
  if (options.has_original && options.original.empty())
    throw ToolError(SFX_EXIT_USAGE, "", "--original is empty; name the file to compare with");
  const auto stdin_uses = std::count(options.files.begin(), options.files.end(), "-") +
                          (options.has_original && is_std_stream(options.original) ? 1 : 0);
  if (stdin_uses > 1) throw ToolError(SFX_EXIT_USAGE, "", "stdin ('-') can be read only once");
  // Every file is verified; the status is the worst: 2 (a usage or I/O error) over 1 (damage).
  int worst = SFX_EXIT_OK;
  for (const std::string& file : options.files) {
    try {
      verify_one(file, options);
    } catch (const ToolError& error) {
      report_tool_error(error);
      worst = std::max(worst, error.status());
    }
  }
  return worst;
}
