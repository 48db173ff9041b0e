// The commands that check payloads and give their data back: extract and verify. Both walk the
// payload through the launcher's reader (PayloadScan), so they accept, end and reject exactly
// what it does, and both hold the data to the integrity record when there is one. A bundle's
// stream goes through the launcher's bundle reader too (BundleWalk), which judges every entry.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "bundle_extract.h"
#include "bundle_walk.h"
#include "commands.h"
#include "crc32.h"
#include "crc32_combine.h"
#include "file_io.h"
#include "number_texts.h"
#include "payload_decode.h"
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
  OutputFile output(options.output, options.force, 0666, options.sync);
  const int64_t total = input.size() < 0 ? -1 : input.size() - scan.start();
  Progress progress("extract " + name, total, options.quiet);
  uint32_t blocks = 0;
  uint32_t crc = 0;
  PayloadDecoder decoder(scan, options.threads);
  decoder.run([&](const DecodedBlock& block) {
    output.write(block.data, block.size);
    crc = crc32_combine(crc, block.crc, block.size);
    if (walk) walk->feed(block.data, block.size);
    if (block.size != 0) ++blocks;
    progress.update(static_cast<uint64_t>(block.offset + PAYLOAD_LENGTH_BYTES + block.length - scan.start()));
  });
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

// Re-encodes a block's data: this encoder must give the very bytes the file holds.
void check_block(BlockEncoder& encoder, std::vector<uint8_t>& again, DecodedBlock& block) {
  const std::string where = "block " + std::to_string(block.number) + " at offset " + std::to_string(block.offset);
  if (block.size > MAX_BLOCK_INPUT) {
    block.problem = where + ": decodes to " + std::to_string(block.size) +
                    " bytes, more than this encoder puts in a block (" + std::to_string(MAX_BLOCK_INPUT) + ")";
    return;
  }
  if (encoder.reencodes_to(block.data, block.size, block.stored, block.length, &again)) return;
  std::string differs;
  if (again.size() != block.length) {
    differs = "gives " + std::to_string(again.size()) + " bytes instead of its " + std::to_string(block.length);
  } else {
    // As long as the block: say where the first byte that differs lies.
    const size_t at = static_cast<size_t>(std::mismatch(again.begin(), again.end(), block.stored).first - again.begin());
    differs = "gives other bytes of the same length (" + std::to_string(again.size()) +
              "), the first at byte " + std::to_string(at) + " of the block (file offset " +
              std::to_string(block.offset + PAYLOAD_LENGTH_BYTES + static_cast<int64_t>(at)) + ")";
  }
  block.problem = where + ": re-encoding its data " + differs + ": the block was not made by this encoder, or is damaged";
}

// Compares the next decoded bytes with the original file's; position is where they start in
// the decoded data.
void compare_with_original(InputFile& original, const DecodedBlock& block, uint64_t position,
                           std::vector<uint8_t>& expected, const std::string& name) {
  expected.resize(block.size);
  const size_t got = original.read_full(expected.data(), expected.size());
  const size_t same = static_cast<size_t>(
      std::mismatch(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(got), block.data).first -
      expected.begin());
  if (same < got)
    throw ToolError(SFX_EXIT_DAMAGED, name,
                    "differs from " + original.display_name() + " at byte " + std::to_string(position + same));
  if (got < block.size)
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
  PayloadDecoder decoder(scan, threads, [&](DecodedBlock& block, unsigned worker) {
    check_block(encoders[worker], scratch[worker], block);
  });

  std::vector<uint8_t> expected;
  uint32_t blocks = 0;
  uint64_t position = 0;  // in the decoded data
  uint32_t crc = 0;
  decoder.run([&](const DecodedBlock& block) {
    // A block that decodes to nothing ends the payload for the launcher: payload_problem says so.
    if (block.size == 0) return;
    if (!block.problem.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, block.problem);
    if (original) compare_with_original(*original, block, position, expected, name);
    if (walk) walk->feed(block.data, block.size);
    crc = crc32_combine(crc, block.crc, block.size);
    position += block.size;
    ++blocks;
    progress.update(static_cast<uint64_t>(block.offset + PAYLOAD_LENGTH_BYTES + block.length - scan.start()));
  });
  progress.clear();
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
