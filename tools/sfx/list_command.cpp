// sfx list: where the payload lies, its blocks, its end and its integrity record, as text or as
// JSON (README, "sfx list --json"). It reports what it finds; exit 1 only when it cannot walk
// the payload (no marker, a damaged block). Judging the payload is verify's job.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "commands.h"
#include "crc32.h"
#include "file_io.h"
#include "number_texts.h"
#include "payload_scan.h"
#include "tool_error.h"

namespace {

const char* end_kind(PayloadEnd end) {
  switch (end) {
    case PayloadEnd::END_MARK: return "end_mark";
    case PayloadEnd::END_OF_FILE: return "end_of_file";
    case PayloadEnd::EMPTY_BLOCK: return "empty_block";
  }
  return "";
}

const char* record_kind(IntegrityStatus status) {
  switch (status) {
    case INTEGRITY_ABSENT: return "absent";
    case INTEGRITY_PRESENT: return "present";
    case INTEGRITY_DAMAGED: return "damaged";
    case INTEGRITY_UNSUPPORTED: return "unsupported";
  }
  return "";
}

// What the walk found, for the totals.
struct Walk {
  uint32_t blocks = 0;
  uint32_t stored = 0;
  uint64_t packed = 0;  // the blocks' bytes, without their lengths
  uint32_t crc = 0;
  uint32_t empty_block = 0;
  int64_t empty_offset = 0;
};

nlohmann::json image_json(const PeImage& image) {
  if (!image.is_pe) return nullptr;
  nlohmann::json pe = {{"format", image.is_pe32 ? "PE32" : "PE32+"},
                       {"machine", image.machine},
                       {"subsystem", image.subsystem},
                       {"certificates", nullptr}};
  if (image.has_certificates)
    pe["certificates"] = {{"offset", image.certificates_offset}, {"bytes", image.certificates_bytes}};
  return pe;
}

}  // namespace

int run_list(const ListOptions& options) {
  InputFile input(options.file, true);
  PayloadScan scan(input);
  const std::string& name = input.display_name();
  const bool text = !options.json && !options.quiet;
  const bool block_lines = text && !options.totals_only;
  nlohmann::json out;
  nlohmann::json blocks = nlohmann::json::array();

  if (text)
    std::printf("%s: payload at offset %" PRId64 " (marker at %" PRId64 ")\n", name.c_str(), scan.start(),
                scan.marker_offset());
  if (block_lines) std::printf("%8s %12s %8s %-6s %8s\n", "block", "offset", "length", "kind", "decoded");

  Walk walk;
  ScannedBlock block;
  try {
    while (scan.next(&block)) {
      const bool stored = block.stored[0] == BLOCK_FLAG_STORED;
      if (block_lines)
        std::printf("%8u %12" PRId64 " %8u %-6s %8u\n", block.number, block.offset, block.length,
                    stored ? "stored" : "coded", block.decoded_len);
      if (options.json)
        blocks.push_back({{"number", block.number},
                          {"offset", block.offset},
                          {"length", block.length},
                          {"kind", stored ? "stored" : "coded"},
                          {"decoded", block.decoded_len}});
      walk.packed += block.length;
      walk.crc = crc32_update(walk.crc, block.decoded, block.decoded_len);
      ++walk.blocks;
      if (stored) ++walk.stored;
      walk.empty_block = block.number;
      walk.empty_offset = block.offset;
    }
  } catch (const ToolError& error) {
    // The blocks before the damage are listed; the JSON says where the walk stopped.
    if (options.json) {
      out = {{"file", name}, {"blocks", blocks}, {"error", {{"offset", scan.offset()}, {"message", error.what()}}}};
      std::printf("%s\n", out.dump(2).c_str());
    }
    throw;
  }

  const uint64_t original = scan.decoded_bytes();
  const bool has_record = scan.record_status() != INTEGRITY_ABSENT;
  // The payload as compress writes it: record, marker, lengths, blocks and the end mark if present.
  const uint64_t payload = (has_record ? INTEGRITY_RECORD_BYTES : 0) + PAYLOAD_MARKER_BYTES +
                           uint64_t{walk.blocks} * PAYLOAD_LENGTH_BYTES + walk.packed +
                           (scan.end() == PayloadEnd::END_MARK ? PAYLOAD_END_MARK_BYTES : 0);
  const int64_t after = input.size() < 0 ? -1 : input.size() - scan.offset();
  const std::string record_mismatch = record_problem(scan, original, walk.crc);
  int64_t end_offset = scan.offset();
  if (scan.end() == PayloadEnd::END_MARK) end_offset -= PAYLOAD_END_MARK_BYTES;
  if (scan.end() == PayloadEnd::EMPTY_BLOCK) end_offset = walk.empty_offset;

  if (options.json) {
    nlohmann::json record = nullptr;
    if (has_record) {
      record = {{"offset", scan.record_offset()}, {"status", record_kind(scan.record_status())}};
      if (scan.record_status() == INTEGRITY_PRESENT) {
        record["decoded_length"] = scan.record().decoded_length;
        record["crc32"] = crc_text(scan.record().data_crc);
        record["matches"] = record_mismatch.empty();
      }
    }
    out = {{"file", name},
           {"pe", image_json(scan.image())},
           {"marker_offset", scan.marker_offset()},
           {"payload_offset", scan.start()},
           {"record", record},
           {"blocks", blocks},
           {"end", {{"kind", end_kind(scan.end())}, {"offset", end_offset}, {"bytes_after", nullptr}}},
           {"totals",
            {{"blocks", walk.blocks},
             {"coded", walk.blocks - walk.stored},
             {"stored", walk.stored},
             {"packed_bytes", walk.packed},
             {"payload_bytes", payload},
             {"original_bytes", original},
             {"ratio", original == 0 ? nlohmann::json(nullptr) : nlohmann::json(ratio_of(original, payload))},
             {"crc32", crc_text(walk.crc)}}}};
    if (after >= 0) out["end"]["bytes_after"] = after;
    std::printf("%s\n", out.dump(2).c_str());
    return SFX_EXIT_OK;
  }
  if (!text) return SFX_EXIT_OK;

  std::printf("blocks: %u (%u coded, %u stored)\n", walk.blocks, walk.blocks - walk.stored, walk.stored);
  std::printf("packed bytes: %llu (payload with %smarker, lengths and end mark: %llu)\n",
              static_cast<unsigned long long>(walk.packed), has_record ? "record, " : "",
              static_cast<unsigned long long>(payload));
  std::printf("original bytes: %llu\n", static_cast<unsigned long long>(original));
  std::printf("ratio: %s (original / payload)\n", ratio_text(original, payload).c_str());
  switch (scan.record_status()) {
    case INTEGRITY_ABSENT:
      std::printf("integrity record: none\n");
      break;
    case INTEGRITY_PRESENT:
      std::printf("integrity record: at offset %" PRId64 ": %llu bytes, CRC-32 %s; %s\n", scan.record_offset(),
                  static_cast<unsigned long long>(scan.record().decoded_length),
                  crc_text(scan.record().data_crc).c_str(),
                  record_mismatch.empty() ? "matches the data" : record_mismatch.c_str());
      break;
    case INTEGRITY_DAMAGED:
    case INTEGRITY_UNSUPPORTED:
      std::printf("integrity record: %s\n", record_mismatch.c_str());
      break;
  }
  switch (scan.end()) {
    case PayloadEnd::END_MARK:
      std::printf("end mark: present at offset %" PRId64 "\n", end_offset);
      if (after > 0)
        std::printf("after the end mark: %s, ignored by the launcher\n",
                    plural(static_cast<uint64_t>(after), "byte", "bytes").c_str());
      break;
    case PayloadEnd::END_OF_FILE:
      std::printf("end mark: missing; the payload runs to the end of the file (it may have been cut short)\n");
      break;
    case PayloadEnd::EMPTY_BLOCK:
      std::printf("end mark: not reached; %s\n",
                  empty_block_note(walk.empty_block, walk.empty_offset, after).c_str());
      break;
  }
  return SFX_EXIT_OK;
}
