// The few file and process services the tool needs from its system, one implementation per
// system: os_files_posix.cpp (Linux and other POSIX systems) and os_files_windows.cpp (msvcrt
// descriptors and kernel32). Everything above this header (file_io.cpp and the commands) is
// the same on both.
//
// Files are descriptors opened in binary mode. Failures return false or -1 and leave the
// system's error number for os_error_text(os_last_error()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The separator between a folder and a name; Windows also takes '/'.
bool os_is_separator(char c);

// Once at start: stdin and stdout carry bytes as they are (no newline translation on Windows).
void os_init_std_streams();

// The program's arguments, as UTF-8. Paths are UTF-8 throughout the tool; on Windows the
// arguments are taken from the wide command line and every path reaches the system through its
// wide functions, so names in any script work whatever the code page.
std::vector<std::string> os_arguments(int argc, char** argv);

int os_last_error();
std::string os_error_text(int error_number);
// The error number of "no space left on the device", for messages that want to say more.
bool os_error_is_disk_full(int error_number);

enum class OsFileKind { MISSING, REGULAR, DIRECTORY, DEVICE_OR_PIPE, OTHER };

// What a path or an open descriptor is. The identity (device and file numbers) tells whether
// two names are one file; size is that of a regular file.
struct OsFileInfo {
  OsFileKind kind = OsFileKind::MISSING;
  int64_t size = -1;
  uint64_t device = 0;
  uint64_t file = 0;
  int64_t modified = 0;  // the last change to its content, in the system's finest unit
};
bool os_info_of_path(const std::string& path, OsFileInfo* info);  // follows links
bool os_info_of_link(const std::string& path, OsFileInfo* info);  // does not follow a link
bool os_info_of_fd(int fd, OsFileInfo* info);

constexpr int OS_STDIN = 0;
constexpr int OS_STDOUT = 1;
constexpr int OS_STDERR = 2;

int os_open_read(const std::string& path);
// An existing file, device or pipe opened for writing as it is (not truncated, not created).
int os_open_write_existing(const std::string& path);
bool os_close(int fd);
bool os_is_terminal(int fd);

// Reads up to n bytes: the count, 0 at the end of the file, -1 on error. Interrupted calls are
// retried.
int64_t os_read(int fd, void* buffer, size_t n);
// Writes all n bytes unless an error stops it first: false on error.
bool os_write_all(int fd, const void* data, size_t n);
// Writes n bytes at offset of a regular file, without moving its position for writes.
bool os_write_at(int fd, int64_t offset, const void* data, size_t n);
// Reads up to n bytes at offset of a regular file, without moving its position: the count, 0 past
// its end, -1 on error.
int64_t os_read_at(int fd, int64_t offset, void* buffer, size_t n);
// The descriptor's position, or -1 for one that cannot seek.
int64_t os_tell(int fd);
bool os_seek(int fd, int64_t offset);

// A new file for the output named target, in target's folder, named after it so that a user
// who finds it knows what it was (the name is cut as needed to stay within the longest name a
// folder may hold). On success *temp_path is its path. While the file exists, an interrupt
// (Ctrl-C, SIGINT, SIGTERM or SIGHUP) deletes it before the process ends; see os_forget_temp.
int os_create_temp_beside(const std::string& target, std::string* temp_path);
// The file may stay: it has been renamed into place, or deleted.
void os_forget_temp();

// Finishes an output file: its permissions (mode before the umask, on systems that have them).
// With durable, its bytes are also on the disk before it returns (fsync; FlushFileBuffers on
// Windows); without, they reach the disk when the system writes its cache, as any program's do.
bool os_finish_file(int fd, unsigned mode, bool durable);
// Moves the finished file at from to the name to. Without replace, an existing file at `to` is
// never replaced, even one that appeared a moment ago: the call then fails with *exists true.
// With durable, the new name is on the disk before it returns (the folder synced after the
// rename; a write-through move on Windows).
bool os_move_into_place(const std::string& from, const std::string& to, bool replace, bool durable, bool* exists);
bool os_remove(const std::string& path);

// An unnamed scratch file for reading back what was written to it, in the temporary folder
// ($TMPDIR, else /tmp; on Windows the system's, from TMP or TEMP), whose path goes to *folder for
// messages; it goes with the process.
int os_scratch_file(std::string* folder);

// The names of the regular files in folder (following links), without "." and "..", sorted as
// bytes; false, with the system's error number, when the folder cannot be read.
bool os_list_files(const std::string& folder, std::vector<std::string>* names);

// The number of processors the system gives this process (at least 1).
unsigned os_processor_count();

// ---- walking a folder

// What an entry of a folder is, as the folder holds it: a link is never followed.
enum class OsEntryKind {
  REGULAR,
  DIRECTORY,
  LINK,     // a symbolic link; on Windows any reparse point (junctions and mount points too)
  DEVICE,   // a character or block device
  FIFO,
  SOCKET,
  STREAMS,  // Windows: a file or folder that holds an alternate data stream
  OTHER,
};

struct OsFolderEntry {
  std::string name;         // on Windows UTF-8 (an unpaired surrogate as its three bytes,
                            // which are no UTF-8); elsewhere the bytes the system gives
  OsEntryKind kind = OsEntryKind::OTHER;
  bool executable = false;  // a file with an execute bit (Windows: .exe, .com, .bat, .cmd, as
                            // its C library's stat says)
  int64_t size = 0;         // a file's bytes
  int64_t modified = 0;     // as OsFileInfo's
  std::string stream;       // STREAMS: the name of a stream other than the data ("note:$DATA")
};

// The entries of folder, without "." and "..", in the order the system gives them. folder itself
// is not followed when it is a link (Windows: a reparse point) unless follow_top. False, with the
// system's error number, when it cannot be read.
bool os_read_folder(const std::string& folder, bool follow_top, std::vector<OsFolderEntry>* entries);

// Opens a file found by os_read_folder for reading, refusing (ELOOP) a link or reparse point put
// in its place since; the caller checks that what it opened is the file it listed.
int os_open_entry(const std::string& path);

// ---- writing a folder
//
// A folder written whole or not at all (sfx extract of a bundle): its entries are made in a new
// folder beside the target, each created new, and that folder takes the target's name only when
// it is whole. Inside it, paths are joined with '/' (Windows takes it too); on Windows every path
// reaches the system in its long form ("\\?\C:\..."), so depth is no limit.

// A new, empty folder for the output folder named target, in target's parent folder and named
// after it (as os_create_temp_beside's files); on POSIX open to this user alone until
// os_publish_folder. On success *folder_path is its path. While it exists, an interrupt (Ctrl-C, SIGINT, SIGTERM,
// SIGHUP; on Windows the console's events) does not end the process: os_interrupted() says it
// came, so that the writer removes what it wrote and then calls os_end_interrupted. A second
// interrupt ends the process at once.
bool os_create_temp_folder_beside(const std::string& target, std::string* folder_path);
// The interrupt that came while the temporary folder existed, 0 for none.
int os_interrupted();
// Ends the process as that interrupt would have, once the folder is gone.
[[noreturn]] void os_end_interrupted(int interrupt);
// The folder is published or removed: interrupts end the process at once again.
void os_forget_temp_folder();

// A new folder at path; fails (EEXIST) when anything is there, a link included.
bool os_create_folder(const std::string& path);
// A new file at path, open for writing; fails (EEXIST) when anything is there: an existing file
// is never opened, nor a link followed. Its mode, on systems that have modes, is 0755 for an
// executable file and 0644 otherwise, before the umask.
int os_create_new_file(const std::string& path, bool executable);

// Whether path is a folder that holds nothing (itself, not a link to one): *empty false for a
// folder that holds something or anything else there. False, with the system's error number,
// when it cannot be read.
bool os_folder_is_empty(const std::string& path, bool* empty);

// Gives the whole folder at from the permissions of a new folder and moves it to the name to,
// which must not exist or must be an empty folder (then replaced). When anything else is at to,
// even something that appeared a moment ago, it is left as it is and the call fails with *exists
// true.
// With durable, the new name is on the disk before it returns (the parent folder synced after the
// rename; a write-through move on Windows); the caller has put what the folder holds there first
// (os_finish_file and os_sync_folder).
bool os_publish_folder(const std::string& from, const std::string& to, bool durable, bool* exists);
// Puts a folder's entries (the names it holds) on the disk: fsync of the folder; nothing to do on
// Windows, whose file system logs them with the write-through move that publishes them.
bool os_sync_folder(const std::string& path);

// Removes path and everything in it, from the inside out, never following a link (on Windows a
// reparse point): a link is removed, not what it leads to. False when something stays.
bool os_remove_tree(const std::string& path);
