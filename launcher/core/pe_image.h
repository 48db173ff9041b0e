// What the launcher and the tool need to know of a Windows program file's headers: whether it is
// a program at all, and where its certificate table (an Authenticode signature) begins.
//
// A signature covers the file but not its certificate table, so bytes hidden in or after the
// table ride on a valid signature. The payload reader therefore treats the table's start as the
// end of the file.
#pragma once

#include <cstdint>

// The headers must lie within this many bytes from the start of the file (mingw and MSVC put
// them in the first kilobyte); a file whose headers lie further in is not read as a program.
constexpr uint32_t PE_HEADER_SPAN_BYTES = 4096;

struct PeImage {
  bool is_pe;               // "MZ", a PE signature and a PE32 or PE32+ optional header
  bool is_pe32;             // PE32 (a 32-bit program); PE32+ otherwise
  uint16_t machine;         // 0x14C for Intel 80386, 0x8664 for x86-64
  uint16_t subsystem;       // 2 for a GUI program, 3 for a console one
  bool is_dll;              // a library (IMAGE_FILE_DLL), which cannot be started
  bool has_certificates;    // the security directory names a table
  uint32_t certificates_offset;  // its file offset
  uint32_t certificates_bytes;
};

// Whether the first n bytes of a file begin an ELF program (the POSIX launcher's kind).
bool is_elf_header(const uint8_t* head, uint32_t n);

// Reads the headers from the first n bytes of a file (at most PE_HEADER_SPAN_BYTES are looked at).
PeImage pe_image_read(const uint8_t* head, uint32_t n);
