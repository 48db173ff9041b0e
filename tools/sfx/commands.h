// The tool's commands. Each returns its exit status or throws ToolError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload_writer.h"

struct CompressOptions {
  std::string input;
  std::string output;
  uint32_t block_input = DEFAULT_BLOCK_INPUT;
  bool force = false;
  bool quiet = false;
};

struct PackOptions {
  std::string installer;
  std::string output;
  std::string stub;  // empty: the launcher beside the sfx executable
  uint32_t block_input = DEFAULT_BLOCK_INPUT;
  bool force = false;
  bool quiet = false;
};

struct ExtractOptions {
  std::string file;
  std::string output;
  bool force = false;
  bool quiet = false;
};

struct ListOptions {
  std::string file;
  bool quiet = false;
};

struct VerifyOptions {
  std::string file;
  std::string original;  // empty: no comparison
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
