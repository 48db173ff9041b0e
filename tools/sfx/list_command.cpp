// sfx list: where the payload lies, its blocks, its end and its integrity record, and a bundle's
// entries and program, as text or as JSON (README, "sfx list --json"). It reports what it finds;
// exit 1 only when it cannot walk the payload (no marker, a damaged block) or the launcher's
// bundle reader refuses the bundle. Judging the payload is verify's job.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bundle_walk.h"
#include "commands.h"
#include "crc32.h"
#include "file_io.h"
#include "launcher_identity.h"
#include "launcher_stub.h"
#include "pe_resources.h"
#include "number_texts.h"
#include "payload_scan.h"
#include "tool_error.h"
#include "utf16_text.h"

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
};

// The contract the record carries: "start" (the launcher starts the program and exits), "wait"
// (it passes its switches on, waits and hands back the exit code), "msi" (the same for an
// installer package, through msiexec /i) or "msp" (for a patch, through msiexec /p).
const char* contract_name(uint8_t flags) {
  if ((flags & INTEGRITY_FLAG_MSI) != 0) return (flags & INTEGRITY_FLAG_PATCH) != 0 ? "msp" : "msi";
  return (flags & INTEGRITY_FLAG_WAIT) != 0 ? "wait" : "start";
}

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

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Every key of the object (README, "sfx list --json"), null until it is known, so that a script
// finds the same keys whatever happened (error is null on success); only --totals leaves out
// "blocks", as asked. The name as JSON holds it: the name itself when it is UTF-8; otherwise with
// every byte that is not part of a UTF-8 character shown as U+FFFD, and the name's raw bytes in hex
// in "file_hex".
nlohmann::json json_outline(const std::string& name, bool with_blocks) {
  nlohmann::json out = nlohmann::json::object();
  for (const char* key :
       {"pe", "marker_offset", "payload_offset", "record", "end", "totals", "bundle", "launcher", "error"})
    out[key] = nullptr;
  if (with_blocks) out["blocks"] = nullptr;
  out["file"] = name;
  std::u16string ignored;
  std::string reason;
  out["file_hex"] = utf8_to_utf16(name, &ignored, &reason) ? nlohmann::json(nullptr) : nlohmann::json(hex_of(name));
  return out;
}

void print_json(const nlohmann::json& out) {
  // Invalid UTF-8 (a file name in a message) becomes U+FFFD rather than an exception.
  std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

// The record as far as it is known once the payload is found: what a record that cannot be used
// does not tell, and whether the data matches until the walk has ended, are null.
nlohmann::json record_json(const PayloadScan& scan) {
  if (scan.record_status() == INTEGRITY_ABSENT) return nullptr;
  nlohmann::json record = {{"offset", scan.record_offset()}, {"status", record_kind(scan.record_status())},
                           {"decoded_length", nullptr}, {"crc32", nullptr}, {"contract", nullptr},
                           {"matches", nullptr}};
  if (scan.record_status() == INTEGRITY_PRESENT) {
    record["decoded_length"] = scan.record().decoded_length;
    record["crc32"] = crc_text(scan.record().data_crc);
    record["contract"] = contract_name(scan.record().flags);
  }
  return record;
}

// The identity of the Windows launcher before the payload (its icon, version information and
// texts), read from the file's bytes up to the integrity record or the marker; nullopt for a file
// that is no Windows program, cannot be read again (a pipe), or whose resources cannot be read.
std::optional<LauncherIdentity> launcher_identity_of(InputFile& input, const PayloadScan& scan) {
  if (!scan.image().is_pe || !input.can_rewind()) return std::nullopt;
  const int64_t end = scan.record_status() == INTEGRITY_ABSENT ? scan.marker_offset() : scan.record_offset();
  if (end <= 0 || static_cast<uint64_t>(end) > MAX_STUB_BYTES) return std::nullopt;
  try {
    input.rewind();
    std::vector<uint8_t> stub(static_cast<size_t>(end));
    stub.resize(input.read_full(stub.data(), stub.size()));
    return read_identity(stub);
  } catch (const ResourceError&) {
    return std::nullopt;
  } catch (const ToolError&) {
    return std::nullopt;
  }
}

std::string icon_text(const IconDescription& icon) {
  return std::to_string(icon.width == 0 ? 256 : icon.width) + "x" + std::to_string(icon.height == 0 ? 256 : icon.height) +
         " " + std::to_string(icon.bit_count) + "-bit" + (icon.png ? " PNG" : "");
}

std::string version_text(const std::array<uint16_t, 4>& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

nlohmann::json identity_json(const std::optional<LauncherIdentity>& identity) {
  if (!identity) return nullptr;
  nlohmann::json icons = nlohmann::json::array();
  for (const IconDescription& icon : identity->icons)
    icons.push_back({{"width", icon.width == 0 ? 256 : icon.width},
                     {"height", icon.height == 0 ? 256 : icon.height},
                     {"bits", icon.bit_count},
                     {"png", icon.png}});
  nlohmann::json strings = nlohmann::json::object();
  for (const auto& [key, value] : identity->version_strings) strings[key] = value;
  nlohmann::json out = {{"icons", icons},
                        {"version_strings", strings},
                        {"file_version", nullptr},
                        {"product_version", nullptr},
                        {"title", identity->title ? nlohmann::json(*identity->title) : nlohmann::json(nullptr)},
                        {"failure_title", identity->failure_title},
                        {"url", identity->url}};
  if (identity->has_version_numbers) {
    out["file_version"] = version_text(identity->file_version);
    out["product_version"] = version_text(identity->product_version);
  }
  return out;
}

void print_identity(const PeImage& image, const LauncherIdentity& identity) {
  std::printf("launcher program: %s\n", describe_pe(image).c_str());
  std::string icons;
  for (const IconDescription& icon : identity.icons) icons += (icons.empty() ? "" : ", ") + icon_text(icon);
  std::printf("launcher icon: %s\n", icons.empty() ? "none" : icons.c_str());
  for (const auto& [key, value] : identity.version_strings)
    std::printf("launcher version: %s: %s\n", key.c_str(), value.c_str());
  if (identity.has_version_numbers)
    std::printf("launcher version numbers: file %s, product %s\n", version_text(identity.file_version).c_str(),
                version_text(identity.product_version).c_str());
  if (identity.title) std::printf("launcher title: %s\n", identity.title->c_str());
  std::printf("launcher failure caption: %s\nlauncher address: %s\n", identity.failure_title.c_str(),
              identity.url.empty() ? "none" : identity.url.c_str());
}

// A bundle's entries as the reader hands them out.
struct ListedEntry {
  uint32_t number;
  bool folder;
  uint64_t size;
  bool executable;
  std::string name;
};

class EntryList : public BundleVisitor {
 public:
  void entry(const BundleEntry& entry) override {
    entries.push_back({entry.number, entry.kind == BUNDLE_DIRECTORY, entry.size, entry.executable, entry.name});
  }
  void data(const uint8_t*, uint32_t) override {}
  void file_end(const BundleEntry&) override {}
  std::vector<ListedEntry> entries;
};

// The bundle as far as it was read: its program ("run", null until its entry is read as a file),
// its entries (left out with --totals, as the blocks are) and their totals.
nlohmann::json bundle_json(const BundleWalk& walk, const EntryList& list, bool with_entries) {
  nlohmann::json bundle = {{"run", walk.run_name().empty() ? nlohmann::json(nullptr) : nlohmann::json(walk.run_name())},
                           {"files", walk.files()},
                           {"folders", walk.folders()},
                           {"bytes", walk.bytes()}};
  if (!with_entries) return bundle;
  nlohmann::json entries = nlohmann::json::array();
  for (const ListedEntry& entry : list.entries)
    entries.push_back({{"name", entry.name},
                       {"kind", entry.folder ? "dir" : "file"},
                       {"size", entry.size},
                       {"executable", entry.executable}});
  bundle["entries"] = entries;
  return bundle;
}

void print_bundle(const BundleWalk& walk, const EntryList& list, bool entry_lines) {
  if (entry_lines) {
    std::printf("%8s %-4s %12s %-4s %s\n", "entry", "kind", "size", "exec", "name");
    for (const ListedEntry& entry : list.entries)
      std::printf("%8u %-4s %12s %-4s %s\n", entry.number, entry.folder ? "dir" : "file",
                  entry.folder ? "-" : std::to_string(entry.size).c_str(), entry.executable ? "x" : "-",
                  entry.name.c_str());
  }
  std::printf("bundle: %s, %s, %s\n", plural(walk.files(), "file", "files").c_str(),
              plural(walk.folders(), "folder", "folders").c_str(), plural(walk.bytes(), "byte", "bytes").c_str());
  if (!walk.run_name().empty())
    std::printf("bundle program: %s (entry %u)\n", walk.run_name().c_str(), walk.run_entry());
}

}  // namespace

int run_list(const ListOptions& options) {
  // With --json every outcome is one object on stdout, a refusal included, and with -q too: a
  // script that asks for the object gets it.
  nlohmann::json out = json_outline(input_display_name(options.file), !options.totals_only);
  std::unique_ptr<InputFile> opened;
  try {
    opened = std::make_unique<InputFile>(options.file, true);
  } catch (const ToolError& error) {
    if (options.json) {
      out["error"] = {{"offset", nullptr}, {"message", error.what()}};
      print_json(out);
    }
    throw;
  }
  InputFile& input = *opened;
  const std::string& name = input.display_name();
  std::unique_ptr<ToolError> missing;
  PayloadScan scan(input, &missing);
  out["pe"] = image_json(scan.image());
  if (missing) {
    if (options.json) {
      out["error"] = {{"offset", nullptr}, {"message", missing->what()}};
      print_json(out);
    }
    throw *missing;
  }
  out["marker_offset"] = scan.marker_offset();
  out["payload_offset"] = scan.start();
  out["record"] = record_json(scan);
  // A bundle's stream goes through the launcher's bundle reader as the blocks are walked.
  EntryList listed;
  std::unique_ptr<BundleWalk> bundle;
  if (is_bundle(scan)) bundle = std::make_unique<BundleWalk>(scan.record().run_entry, &listed);

  const bool text = !options.json && !options.quiet;
  const bool block_lines = text && !options.totals_only;
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
      if (options.json && !options.totals_only)
        blocks.push_back({{"number", block.number},
                          {"offset", block.offset},
                          {"length", block.length},
                          {"kind", stored ? "stored" : "coded"},
                          {"decoded", block.decoded_len}});
      walk.packed += block.length;
      walk.crc = crc32_update(walk.crc, block.decoded, block.decoded_len);
      ++walk.blocks;
      if (stored) ++walk.stored;
      if (bundle) bundle->feed(block.decoded, block.decoded_len);
    }
  } catch (const ToolError& error) {
    // The blocks before the damage are listed; the JSON says where the walk stopped.
    if (options.json) {
      if (!options.totals_only) out["blocks"] = blocks;
      if (bundle) out["bundle"] = bundle_json(*bundle, listed, !options.totals_only);
      out["launcher"] = identity_json(launcher_identity_of(input, scan));
      out["error"] = {{"offset", scan.offset()}, {"message", error.what()}};
      print_json(out);
    }
    throw;
  }

  const uint64_t original = scan.decoded_bytes();
  const bool has_record = scan.record_status() != INTEGRITY_ABSENT;
  // The payload as compress writes it: record, marker, lengths, blocks and the end mark if present.
  const uint64_t payload = (has_record ? INTEGRITY_RECORD_BYTES : 0) + PAYLOAD_MARKER_BYTES +
                           uint64_t{walk.blocks} * PAYLOAD_LENGTH_BYTES + walk.packed +
                           (scan.end() == PayloadEnd::END_MARK ? PAYLOAD_END_MARK_BYTES : 0);
  const int64_t after = scan.bytes_after();
  // The record holds for the data when both its length and CRC do; what the launcher would make
  // of the whole is verify's to say, and the mismatch is described as verify and extract do.
  const bool record_matches = scan.record_status() == INTEGRITY_PRESENT &&
                              scan.record().decoded_length == original && scan.record().data_crc == walk.crc;
  int64_t end_offset = scan.offset();
  if (scan.end() == PayloadEnd::END_MARK) end_offset -= PAYLOAD_END_MARK_BYTES;
  if (scan.end() == PayloadEnd::EMPTY_BLOCK) end_offset = scan.empty_block_offset();
  // A bundle the launcher's reader refuses is reported in full, then refused (exit 1).
  if (bundle) bundle->finish();
  const std::string refused = bundle ? bundle->problem() : "";

  if (options.json) {
    if (scan.record_status() == INTEGRITY_PRESENT) out["record"]["matches"] = record_matches;
    if (!options.totals_only) out["blocks"] = blocks;
    out["end"] = {{"kind", end_kind(scan.end())}, {"offset", end_offset}, {"bytes_after", nullptr}};
    if (after >= 0) out["end"]["bytes_after"] = after;
    out["totals"] = {{"blocks", walk.blocks},
                     {"coded", walk.blocks - walk.stored},
                     {"stored", walk.stored},
                     {"packed_bytes", walk.packed},
                     {"payload_bytes", payload},
                     {"original_bytes", original},
                     {"ratio", original == 0 ? nlohmann::json(nullptr) : nlohmann::json(ratio_of(original, payload))},
                     {"crc32", crc_text(walk.crc)}};
    if (bundle) out["bundle"] = bundle_json(*bundle, listed, !options.totals_only);
    out["launcher"] = identity_json(launcher_identity_of(input, scan));
    if (!refused.empty()) out["error"] = {{"offset", nullptr}, {"message", refused}};
    print_json(out);
    if (!refused.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, refused);
    return SFX_EXIT_OK;
  }
  if (!text) {
    if (!refused.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, refused);
    return SFX_EXIT_OK;
  }

  std::printf("blocks: %u (%u coded, %u stored)\n", walk.blocks, walk.blocks - walk.stored, walk.stored);
  // The parts the payload has: an end mark only where it ends with one.
  const std::string parts = std::string(has_record ? "record, marker" : "marker") +
                            (scan.end() == PayloadEnd::END_MARK ? ", lengths and end mark" : " and lengths");
  std::printf("packed bytes: %llu (payload with %s: %llu)\n", static_cast<unsigned long long>(walk.packed),
              parts.c_str(), static_cast<unsigned long long>(payload));
  std::printf("original bytes: %llu\n", static_cast<unsigned long long>(original));
  std::printf("ratio: %s (original / payload)\n", ratio_text(original, payload).c_str());
  switch (scan.record_status()) {
    case INTEGRITY_ABSENT:
      std::printf("integrity record: none\n");
      break;
    case INTEGRITY_PRESENT:
      std::printf("integrity record: at offset %" PRId64 ": %llu bytes, CRC-32 %s, contract %s; %s\n",
                  scan.record_offset(), static_cast<unsigned long long>(scan.record().decoded_length),
                  crc_text(scan.record().data_crc).c_str(), contract_name(scan.record().flags),
                  record_matches ? "matches the data"
                                 : payload_problem(scan, original, walk.crc, &input).c_str());
      break;
    case INTEGRITY_DAMAGED:
    case INTEGRITY_UNSUPPORTED:
      std::printf("integrity record: %s\n", unusable_record_problem(scan).c_str());
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
                  empty_block_note(scan.empty_block_number(), scan.empty_block_offset(), after).c_str());
      break;
  }
  if (bundle) print_bundle(*bundle, listed, !options.totals_only);
  if (const std::optional<LauncherIdentity> identity = launcher_identity_of(input, scan))
    print_identity(scan.image(), *identity);
  if (!refused.empty()) throw ToolError(SFX_EXIT_DAMAGED, name, refused);
  return SFX_EXIT_OK;
}
