// The tool's commands. Each returns its exit status or throws ToolError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "payload_writer.h"

// What the commands that write a payload share: the input, the output and how the payload is
// made.
struct WriteOptions {
  std::string input;
  std::string output;
  PayloadOptions payload;
  bool force = false;
  bool quiet = false;
  bool sync = false;  // the output on the disk before the command ends (--sync)
};

struct CompressOptions : WriteOptions {};

struct PackOptions : WriteOptions {
  std::string stub = "windows";  // "windows", "posix" or a launcher file
  bool wait = false;             // the wait contract (README, "Running installers")
  bool any_payload = false;      // pack an installer the launcher cannot start, all the same
  // A folder packed whole (a bundle): input names the folder, or from_tar a tar stream of it
  // (input then empty); run names the program to start, inside the folder, '/' between folders.
  std::optional<std::string> from_tar;
  std::optional<std::string> run;
  // The publisher's identity (Windows launchers only).
  bool keep_launcher_identity = false;
  std::optional<std::string> icon, product, company, product_version, title, failure_title, url;
  bool identity_option_given() const {
    return icon || product || company || product_version || title || failure_title || url;
  }
};

struct ExtractOptions {
  std::string file;
  std::string output;
  unsigned threads = 1;  // decoding blocks
  bool force = false;
  bool quiet = false;
  bool sync = false;
};

struct ListOptions {
  std::string file;
  bool json = false;
  bool totals_only = false;
  bool quiet = false;
};

struct VerifyOptions {
  std::vector<std::string> files;
  std::string original;       // meaningful when has_original
  bool has_original = false;
  unsigned threads = 1;
  bool quiet = false;
};

struct BenchCommandOptions {
  std::vector<std::string> files;  // empty: the corpus
  uint32_t block_input = DEFAULT_BLOCK_INPUT;
  int runs = 5;
  double min_seconds = 0.25;
  bool peers = true;
  bool quiet = false;
};

int run_compress(const CompressOptions& options);
int run_pack(const PackOptions& options);
int run_extract(const ExtractOptions& options);
int run_list(const ListOptions& options);
int run_verify(const VerifyOptions& options);
int run_bench(const BenchCommandOptions& options);

