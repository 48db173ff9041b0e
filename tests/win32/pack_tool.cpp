// Packs a program into a launcher for the screenshots (scripts/screenshots.sh):
//
//   pack_tool STUB PROGRAM OUT [EXTRA_BYTES]
//
// OUT is STUB followed by the payload of PROGRAM, to which EXTRA_BYTES of filler are first
// appended (a program runs the same with data after its image), so that the unpacking takes long
// enough for the progress bar to be seen moving.
#include <cstdio>
#include <cstdlib>

#include "wine_harness.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: pack_tool STUB PROGRAM OUT [EXTRA_BYTES]\n");
    return 2;
  }
  Bytes stub;
  Bytes program;
  if (!read_file(argv[1], &stub) || !read_file(argv[2], &program)) {
    std::fprintf(stderr, "pack_tool: cannot read %s or %s\n", argv[1], argv[2]);
    return 1;
  }
  // Filler that codes to about half its size: words from a small vocabulary, picked by a
  // fixed pseudo-random sequence so that every run packs the same file.
  const unsigned long extra = argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 0;
  static const char* const WORDS[] = {"corvalin ", "setup ", "quenderby ", "archive ",
                                      "block ", "slot ", "table ", "window ", "\r\n"};
  uint32_t state = 12345;
  for (unsigned long added = 0; added < extra;) {
    state = state * 1103515245u + 12345u;
    for (const char* w = WORDS[(state >> 16) % 9]; *w != '\0' && added < extra; ++w, ++added) {
      program.push_back(static_cast<uint8_t>(*w));
    }
    program.push_back(static_cast<uint8_t>(state >> 24));
    ++added;
  }
  const Bytes payload = make_payload(program);
  stub.insert(stub.end(), payload.begin(), payload.end());
  if (!write_file(argv[3], stub)) {
    std::fprintf(stderr, "pack_tool: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
