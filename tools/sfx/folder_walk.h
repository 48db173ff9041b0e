// A folder on the disk as the entries of a bundle (bundle_writer.h), walked by the tool itself
// through os_files.h, never following a link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_writer.h"

class OutputFile;

struct FolderWalk {
  std::string folder;                // as given
  std::vector<BundleItem> items;     // a file's source is its index into paths and modified
  std::vector<std::string> paths;
  std::vector<int64_t> modified;
};

// The entries of folder (itself not one), in the stream's order. Refuses (exit 2, naming the
// entry by its name inside the folder and saying why) links (on Windows any reparse point),
// devices, FIFOs, sockets and anything else that is neither a file nor a folder, alternate data
// streams, and names the name policy refuses.
FolderWalk walk_folder(const std::string& folder);

// Writes the bytes of a file the walk found to out, refusing one that changed since (its size or
// time), or was replaced by a link or anything but a file.
void copy_walked_file(const FolderWalk& walk, const BundleItem& item, OutputFile& out);
