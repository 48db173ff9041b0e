// The commands that read payloads: extract, list and verify. All three walk the payload through
// the launcher's reader (PayloadScan), so they accept, end and reject exactly what it does.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "file_io.h"
#include "payload_scan.h"
#include "progress.h"
#include "tool_error.h"

namespace {

std::string plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The bytes of the file after where the payload stopped, when the size is known.
int64_t bytes_after(const InputFile& input, const PayloadScan& scan) {
  return input.size() < 0 ? -1 : input.size() - scan.offset();
}

std::string empty_block_note(const ScannedBlock& block, int64_t after) {
  std::string text = "block " + std::to_string(block.number) + " at offset " +
                     std::to_string(block.offset) +
                     " decodes to nothing, which ends the payload for the launcher";
  if (after > 0) text += ": the " + plural(static_cast<uint64_t>(after), "byte", "bytes") +
                         " after it are never read";
  return text;
}

const std::string NO_END_MARK_NOTE =
    "the payload runs to the end of the file (it may have been cut short)";

}  // namespace

int run_extract(const ExtractOptions& options) {
  InputFile input(options.file, true);
  if (same_file(options.output, input))
    throw ToolError(SFX_EXIT_USAGE, options.output, "is also the input; choose another output");
  PayloadScan scan(input);
  OutputFile output(options.output, options.force, 0666, false);
  const int64_t total = input.size() < 0 ? -1 : input.size() - scan.start();
  Progress progress("extract " + input.display_name(), total, options.quiet);
  ScannedBlock block;
  ScannedBlock last{};
  uint32_t blocks = 0;
  while (scan.next(&block)) {
    output.write(block.decoded, block.decoded_len);
    if (block.decoded_len != 0) ++blocks;
    last = block;
    progress.update(static_cast<uint64_t>(scan.offset() - scan.start()));
  }
  output.commit();
  progress.clear();
  if (!options.quiet) {
    if (scan.end() == PayloadEnd::EMPTY_BLOCK) {
      std::fprintf(stderr, "sfx: %s: warning: %s\n", input.display_name().c_str(),
                   empty_block_note(last, bytes_after(input, scan)).c_str());
    } else if (scan.end() == PayloadEnd::END_OF_FILE) {
      std::fprintf(stderr, "sfx: %s: warning: no end mark: %s\n", input.display_name().c_str(),
                   NO_END_MARK_NOTE.c_str());
    }
    std::fprintf(stderr, "%s: %s, %llu bytes => %s\n", input.display_name().c_str(),
                 plural(blocks, "block", "blocks").c_str(),
                 static_cast<unsigned long long>(scan.decoded_bytes()),
                 output.display_name().c_str());
  }
  return SFX_EXIT_OK;
}

int run_list(const ListOptions& options) {
  InputFile input(options.file, true);
  input.make_seekable();
  PayloadScan scan(input);
  const std::string& name = input.display_name();
  std::printf("%s: payload at offset %" PRId64 " (marker at %" PRId64 ")\n", name.c_str(),
              scan.start(), scan.start() - static_cast<int64_t>(PAYLOAD_MARKER_BYTES));
  if (!options.quiet)
    std::printf("%8s %12s %8s %-6s %8s\n", "block", "offset", "length", "kind", "decoded");
  uint64_t packed = 0;
  uint32_t blocks = 0;
  uint32_t stored = 0;
  ScannedBlock block;
  ScannedBlock last{};
  // A damaged block ends the walk with a ToolError; the lines before it stay printed.
  while (scan.next(&block)) {
    uint8_t flag = 0;
    input.read_at(block.offset + PAYLOAD_LENGTH_BYTES, &flag, 1);
    const bool is_stored = flag == BLOCK_FLAG_STORED;
    if (!options.quiet)
      std::printf("%8u %12" PRId64 " %8u %-6s %8u\n", block.number, block.offset, block.length,
                  is_stored ? "stored" : "coded", block.decoded_len);
    packed += block.length;
    ++blocks;
    if (is_stored) ++stored;
    last = block;
  }
  const uint64_t original = scan.decoded_bytes();
  // The payload as compress writes it: marker, lengths, blocks and the end mark if present.
  const uint64_t payload = PAYLOAD_MARKER_BYTES + uint64_t{blocks} * PAYLOAD_LENGTH_BYTES +
                           packed +
                           (scan.end() == PayloadEnd::END_MARK ? PAYLOAD_END_MARK_BYTES : 0);
  std::printf("blocks: %u (%u coded, %u stored)\n", blocks, blocks - stored, stored);
  std::printf("packed bytes: %llu (payload with marker, lengths and end mark: %llu)\n",
              static_cast<unsigned long long>(packed), static_cast<unsigned long long>(payload));
  std::printf("original bytes: %llu\n", static_cast<unsigned long long>(original));
  if (original == 0)
    std::printf("ratio: -\n");
  else
    std::printf("ratio: %.2f%% (payload / original)\n",
                100.0 * static_cast<double>(payload) / static_cast<double>(original));
  const int64_t after = bytes_after(input, scan);
  switch (scan.end()) {
    case PayloadEnd::END_MARK:
      std::printf("end mark: present at offset %" PRId64 "\n",
                  scan.offset() - static_cast<int64_t>(PAYLOAD_END_MARK_BYTES));
      if (after > 0)
        std::printf("after the end mark: %s, ignored by the launcher\n",
                    plural(static_cast<uint64_t>(after), "byte", "bytes").c_str());
      break;
    case PayloadEnd::END_OF_FILE:
      std::printf("end mark: missing; %s\n", NO_END_MARK_NOTE.c_str());
      break;
    case PayloadEnd::EMPTY_BLOCK:
      std::printf("end mark: not reached; %s\n", empty_block_note(last, after).c_str());
      break;
  }
  return SFX_EXIT_OK;
}

int run_verify(const VerifyOptions& options) {
  if (is_std_stream(options.file) && is_std_stream(options.original))
    throw ToolError(SFX_EXIT_USAGE, "", "FILE and --original cannot both be stdin");
  InputFile input(options.file, true);
  input.make_seekable();
  std::unique_ptr<InputFile> original;
  if (!options.original.empty()) original = std::make_unique<InputFile>(options.original, false);
  const std::string& name = input.display_name();

  PayloadScan scan(input);
  Progress progress("verify " + name, input.size() - scan.start(), options.quiet);
  BlockEncoder encoder;
  std::vector<uint8_t> stored_block(MAX_BLOCK_BYTES);
  std::vector<uint8_t> again;
  std::vector<uint8_t> expected(MAX_BLOCK_BYTES);
  ScannedBlock block;
  ScannedBlock last{};
  uint32_t blocks = 0;
  uint64_t position = 0;  // in the decoded data
  while (scan.next(&block)) {
    last = block;
    if (block.decoded_len == 0) break;
    ++blocks;
    const std::string where =
        "block " + std::to_string(block.number) + " at offset " + std::to_string(block.offset);
    if (block.decoded_len > MAX_BLOCK_INPUT)
      throw ToolError(SFX_EXIT_DAMAGED, name,
                      where + ": decodes to " + std::to_string(block.decoded_len) +
                          " bytes, more than this encoder puts in a block (" +
                          std::to_string(MAX_BLOCK_INPUT) + ")");
    input.read_at(block.offset + PAYLOAD_LENGTH_BYTES, stored_block.data(), block.length);
    encoder.encode(block.decoded, block.decoded_len, &again);
    if (again.size() != block.length ||
        std::memcmp(again.data(), stored_block.data(), block.length) != 0)
      throw ToolError(SFX_EXIT_DAMAGED, name,
                      where + ": re-encoding its data gives different bytes (" +
                          std::to_string(again.size()) + " instead of " +
                          std::to_string(block.length) +
                          "): the block was not made by this encoder, or is damaged");
    if (original) {
      const size_t got = original->read_full(expected.data(), block.decoded_len);
      const size_t same = static_cast<size_t>(
          std::mismatch(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(got),
                        block.decoded)
              .first -
          expected.begin());
      if (same < got || got < block.decoded_len)
        throw ToolError(SFX_EXIT_DAMAGED, name,
                        same < got ? "differs from " + original->display_name() + " at byte " +
                                         std::to_string(position + same)
                                   : "is longer than " + original->display_name() + " (" +
                                         std::to_string(position + got) + " bytes)");
    }
    position += block.decoded_len;
    progress.update(static_cast<uint64_t>(scan.offset() - scan.start()));
  }
  progress.clear();
  if (scan.end() == PayloadEnd::EMPTY_BLOCK)
    throw ToolError(SFX_EXIT_DAMAGED, name, empty_block_note(last, bytes_after(input, scan)));
  if (scan.end() == PayloadEnd::END_OF_FILE)
    throw ToolError(SFX_EXIT_DAMAGED, name, "no end mark: " + NO_END_MARK_NOTE);
  if (original) {
    uint8_t extra = 0;
    if (original->read_full(&extra, 1) != 0)
      throw ToolError(SFX_EXIT_DAMAGED, name,
                      "is shorter than " + original->display_name() + " (" +
                          std::to_string(position) + " bytes)");
  }
  if (!options.quiet)
    std::printf("%s: ok: %s, %llu bytes, each block re-encodes to the same bytes%s%s\n",
                name.c_str(), plural(blocks, "block", "blocks").c_str(),
                static_cast<unsigned long long>(position),
                original ? "; equal to " : "", original ? original->display_name().c_str() : "");
  return SFX_EXIT_OK;
}
