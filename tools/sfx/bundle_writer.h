// The writer of a bundle's data: a folder as a tar stream in the restricted pax form the one
// reader takes (bundle.h), which GNU tar, bsdtar and Python's tarfile read as well. Whatever the
// folder came from (a walk, a user's tar), the same entries give the same bytes:
//
//   - the entries in one order: pre-order, each folder's entries sorted by the bytes of their
//     names, a folder's entry before its contents;
//   - ustar headers whose every other field is fixed: mode 0755 for folders and for files with an
//     execute bit, else 0644; uid and gid 0, no user or group names, mtime 0; a folder's name
//     ends in '/', its size is 0;
//   - a pax header right before an entry whose name is not ASCII or does not fit the ustar name
//     and prefix fields, or whose size needs more than 11 octal digits: the records "path" and
//     "size" as needed, nothing else; its own name is "PaxHeader/" and the entry's last
//     component (ASCII, at most 80 bytes), and the entry's own name fields hold the name's
//     ASCII form;
//   - each file's data padded to 512 bytes; two zero blocks at the end and nothing after.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class OutputFile;

// One entry of a folder to be written.
struct BundleItem {
  std::string name;         // '/' between components, none at the end
  bool directory = false;
  bool executable = false;  // a file with an execute bit where it came from
  uint64_t size = 0;        // a file's bytes
  uint64_t source = 0;      // where the caller finds its bytes (an index, an offset)
};

// What was written.
struct BundleLayout {
  std::vector<BundleItem> items;      // in the stream's order: an entry's number is its index
  std::vector<uint64_t> data_offset;  // each file's first data byte in the stream
  uint32_t files = 0;
  uint64_t file_bytes = 0;
  uint64_t stream_bytes = 0;
};

// Refuses (exit 2, naming the entry and why; where names the folder or tar it came from) a name
// the name policy refuses, and two names that are one for Windows; then sorts items into the
// stream's order. Refuses more entries than a bundle may hold.
void check_bundle_items(std::vector<BundleItem>* items, const std::string& where);

// Writes the stream of items (checked and sorted by check_bundle_items) to out; copy writes
// each file's bytes, exactly its size, to out.
BundleLayout write_bundle(std::vector<BundleItem> items, OutputFile& out,
                          const std::function<void(const BundleItem&, OutputFile&)>& copy);

// An entry's name for messages, quoted: control characters, and every byte of a name that is
// not UTF-8 past ASCII, written as \xNN.
std::string quoted_entry(const std::string& name);
