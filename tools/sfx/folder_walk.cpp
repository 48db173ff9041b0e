// The walk of a folder for sfx pack DIR.
#include "folder_walk.h"

#include <algorithm>
#include <cerrno>

#include "bundle.h"
#include "file_io.h"
#include "name_policy.h"
#include "os_files.h"
#include "tool_error.h"

namespace {

constexpr size_t COPY_CHUNK_BYTES = 256 * 1024;

const char* const ONLY_FILES_AND_FOLDERS = "; a bundle holds files and folders only";

// Why an entry of this kind cannot be in a bundle, or nullptr when it can.
std::string refusal(const OsFolderEntry& entry) {
  switch (entry.kind) {
    case OsEntryKind::REGULAR:
    case OsEntryKind::DIRECTORY: return "";
    case OsEntryKind::LINK:
      return std::string("is a link (a symbolic link, or on Windows a junction or other reparse point), which "
                         "is never followed") + ONLY_FILES_AND_FOLDERS;
    case OsEntryKind::DEVICE: return std::string("is a device") + ONLY_FILES_AND_FOLDERS;
    case OsEntryKind::FIFO: return std::string("is a FIFO (a named pipe)") + ONLY_FILES_AND_FOLDERS;
    case OsEntryKind::SOCKET: return std::string("is a socket") + ONLY_FILES_AND_FOLDERS;
    case OsEntryKind::STREAMS:
      return "holds an alternate data stream ('" + entry.stream +
             "'), which a bundle cannot carry; remove the stream (Windows marks downloaded files so: "
             "Unblock-File removes that one)";
    case OsEntryKind::OTHER: break;
  }
  return std::string("is neither a file nor a folder") + ONLY_FILES_AND_FOLDERS;
}

bool by_name_bytes(const OsFolderEntry& a, const OsFolderEntry& b) { return a.name < b.name; }

void walk(FolderWalk* result, const std::string& path, const std::string& relative) {
  std::vector<OsFolderEntry> entries;
  if (!os_read_folder(path, relative.empty(), &entries)) {
    const int error_number = os_last_error();
    const std::string what = relative.empty() ? "cannot be read" : quoted_entry(relative) + " cannot be read";
    throw ToolError(SFX_EXIT_USAGE, result->folder,
                    error_number == ELOOP ? quoted_entry(relative) + " was replaced by a link while it was read"
                                          : what + ": " + os_error_text(error_number));
  }
  // std::string compares as unsigned bytes: the order of the names' bytes.
  std::sort(entries.begin(), entries.end(), by_name_bytes);
  for (const OsFolderEntry& entry : entries) {
    const std::string name = relative.empty() ? entry.name : relative + "/" + entry.name;
    const std::string why = refusal(entry);
    if (!why.empty()) throw ToolError(SFX_EXIT_USAGE, result->folder, quoted_entry(name) + " " + why);
    // The policy is asked here, before anything below the name is looked at, which also bounds the
    // depth of the walk.
    const NameFault fault = name_check(name.data(), static_cast<uint32_t>(std::min<size_t>(name.size(), UINT32_MAX)));
    if (fault != NAME_OK)
      throw ToolError(SFX_EXIT_USAGE, result->folder,
                      quoted_entry(name) + " " + name_fault_text(fault) +
                          "; the launcher takes no such name, so a bundle holds none");
    if (result->items.size() >= BUNDLE_MAX_ENTRIES)
      throw ToolError(SFX_EXIT_USAGE, result->folder,
                      "holds more than " + std::to_string(BUNDLE_MAX_ENTRIES) +
                          " entries, the most a bundle may hold (files and folders together)");
    BundleItem item;
    item.name = name;
    item.directory = entry.kind == OsEntryKind::DIRECTORY;
    item.executable = entry.executable;
    item.size = item.directory ? 0 : static_cast<uint64_t>(entry.size);
    item.source = result->paths.size();
    result->items.push_back(item);
    result->paths.push_back(path + "/" + entry.name);
    result->modified.push_back(entry.modified);
    if (item.directory) walk(result, std::string(result->paths.back()), name);  // a copy: paths grows
  }
}

}  // namespace

FolderWalk walk_folder(const std::string& folder) {
  FolderWalk result;
  result.folder = folder;
  walk(&result, folder, "");
  return result;
}

void copy_walked_file(const FolderWalk& walk, const BundleItem& item, OutputFile& out) {
  const std::string& path = walk.paths[static_cast<size_t>(item.source)];
  const std::string name = quoted_entry(item.name);
  const int fd = os_open_entry(path);
  if (fd < 0) {
    const int error_number = os_last_error();
    throw ToolError(SFX_EXIT_USAGE, walk.folder,
                    name + (error_number == ELOOP ? " was replaced by a link while the folder was read"
                                                  : " cannot be read: " + os_error_text(error_number)));
  }
  // What is read must be the file the walk listed, whole: its kind, size and time as they were,
  // before and after.
  const auto changed = [&](const std::string& how) {
    os_close(fd);
    throw ToolError(SFX_EXIT_USAGE, walk.folder, name + " " + how + "; nothing was written");
  };
  const auto check = [&]() {
    OsFileInfo info;
    if (!os_info_of_fd(fd, &info)) changed("cannot be read: " + os_error_text(os_last_error()));
    if (info.kind != OsFileKind::REGULAR) changed("was replaced by something other than a file while the folder was read");
    if (static_cast<uint64_t>(info.size) != item.size || info.modified != walk.modified[static_cast<size_t>(item.source)])
      changed("changed while the folder was read (its size or modification time)");
  };
  check();
  std::vector<uint8_t> chunk(COPY_CHUNK_BYTES);
  uint64_t left = item.size;
  for (;;) {
    const int64_t got = os_read(fd, chunk.data(), chunk.size());
    if (got < 0) changed("cannot be read: " + os_error_text(os_last_error()));
    if (got == 0) break;
    if (static_cast<uint64_t>(got) > left) changed("grew while it was read");
    out.write(chunk.data(), static_cast<size_t>(got));
    left -= static_cast<uint64_t>(got);
  }
  if (left != 0) changed("shrank while it was read");
  check();
  os_close(fd);
}
