// Tar streams laid out by hand, for tests of the bundle reader and of what reads bundles: the
// bundle's own restricted form (ustar headers, files, folders, pax path and size records, two
// zero blocks) and the entries and faults it must refuse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tar_builder {

using Bytes = std::vector<uint8_t>;

// One 512-byte ustar header: name (split into prefix and name where it is longer than 100
// bytes), the entry type ('0' file, '5' folder, '2' symbolic link ...), size and mode in octal,
// uid, gid and time 0, the checksum right.
Bytes header(const std::string& name, char type, uint64_t size, uint32_t mode = 0644,
             const std::string& link = "");
// A file: its header, its data, padding to 512.
Bytes file(const std::string& name, const Bytes& data, uint32_t mode = 0644);
// A folder: its header, named with a '/' at its end.
Bytes folder(const std::string& name);
// A pax extended header ('x', or 'g' for a global one) holding these records, e.g.
// {{"path", "données/ünï.txt"}}, each written "LEN key=value\n".
Bytes pax(const std::vector<std::pair<std::string, std::string>>& records, char type = 'x');
// The end: two zero blocks.
Bytes end();

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace tar_builder
