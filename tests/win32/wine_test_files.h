// The wine tests' look at files, over the harness: a file's bytes (a file that cannot be read
// fails the test that asks) and everything in a folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "wine_harness.h"

inline Bytes file_bytes(const std::string& path) {
  Bytes bytes;
  EXPECT_TRUE(read_file(path, &bytes)) << path;
  return bytes;
}

// Everything directly in a folder, folders and files, sorted.
inline std::vector<std::string> everything_in(const std::string& dir) {
  std::vector<std::string> names = list_files(dir, "*", true);
  for (const std::string& name : list_files(dir, "*")) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}
