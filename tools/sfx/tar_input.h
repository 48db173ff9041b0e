// A folder given as a tar stream (sfx pack --from-tar), as GNU tar, bsdtar, Python's tarfile and
// git archive write them (GNU, ustar or pax), taken apart into the entries of a bundle so that
// the bundle writer writes it exactly as it writes the same folder walked on the disk.
//
// Taken: files and folders; names from GNU long names ('L'), the ustar prefix and pax "path"
// records, sizes from pax "size" records and GNU's base-256 numbers; a leading "./" is dropped
// and the entry "." itself skipped; the folders the stream leaves implied are added. Ignored:
// every other pax record (times, owners, SCHILY.*, LIBARCHIVE.*, ...), pax global headers (git
// archive's comment), the zero padding after the end. Refused, naming the entry: links (symbolic
// and hard), devices, FIFOs, sparse files and every other entry type, names the name policy
// refuses, a name met twice, a header whose checksum is wrong or that is no tar header, data
// running past the stream's end, and a stream that stops before its two zero blocks or holds
// anything but zeros after them.
#pragma once

#include <vector>

#include "bundle_writer.h"

class InputFile;
class OutputFile;

// The entries of the tar stream in input, which is first made one that can be read again (a
// pipe is copied to a scratch file); a file's source is the offset of its data from where the
// stream starts.
std::vector<BundleItem> read_tar_folder(InputFile& input);

// Writes a file's bytes, as read_tar_folder found them, to out.
void copy_tar_file(InputFile& input, const BundleItem& item, OutputFile& out);
