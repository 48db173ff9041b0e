// The one name policy for what a bundle may hold, applied by sfx pack, list, extract and verify
// and by both launchers (README, "Bundles"). A name is a relative path of components separated
// by '/', in strict UTF-8. Refused, whatever the system the name is read on:
//   - an empty name or component, "." and "..";
//   - a leading '/' or '\', a drive ("C:", "C:x"), '\' anywhere, ':' anywhere (alternate data
//     streams), control characters (U+0000 to U+001F, U+007F) and * ? " < > |;
//   - a component that ends in a dot or a blank;
//   - a reserved device name, with or without an extension and whatever its case: CON, PRN, AUX,
//     NUL, COM0 to COM9, LPT0 to LPT9 (and their forms with the superscript digits ¹ ² ³),
//     CONIN$, CONOUT$ (the part of the component before its first dot, blanks at its end left
//     out as Windows leaves them out: "nul.txt", "Com1.tar.gz", "con .txt");
//   - bytes that are not UTF-8 (overlong forms, surrogates and code points past U+10FFFF too);
//   - more than NAME_MAX_COMPONENTS components, a component of more than NAME_MAX_COMPONENT_UNITS
//     UTF-16 units, or a name of more than NAME_MAX_BYTES bytes.
// Two names that Windows takes for one (name_fold: any case) are one name: a second entry of that
// name (a file and a folder included) is refused by the table below.
//
// Where a name breaks several rules, the verdict is the first broken in this order: the name
// empty, its length in bytes, UTF-8, a leading '/' or '\', a drive, the number of components;
// then each component from the left: empty, its characters from the left (control, '\', ':',
// * ? " < > |), "." or "..", its length in UTF-16 units, a trailing dot or blank, a device name.
#pragma once

#include <cstdint>

constexpr uint32_t NAME_MAX_BYTES = 1024;
constexpr uint32_t NAME_MAX_COMPONENTS = 64;
constexpr uint32_t NAME_MAX_COMPONENT_UNITS = 255;  // NTFS's limit for one component

enum NameFault : int {
  NAME_OK = 0,
  NAME_EMPTY,              // the name, or one of its components, is empty
  NAME_DOT,                // a component "." or ".."
  NAME_ABSOLUTE,           // a leading '/' or '\'
  NAME_DRIVE,              // "C:" and the like
  NAME_BACKSLASH,          // '\' inside the name
  NAME_COLON,              // ':' (an alternate data stream)
  NAME_CONTROL,            // a control character
  NAME_RESERVED_CHARACTER, // * ? " < > |
  NAME_TRAILING_DOT_OR_BLANK,
  NAME_DEVICE,             // CON, NUL, COM1, LPT¹, CONIN$ ...
  NAME_NOT_UTF8,
  NAME_TOO_LONG,           // past NAME_MAX_BYTES, or a component past NAME_MAX_COMPONENT_UNITS
  NAME_TOO_DEEP,           // past NAME_MAX_COMPONENTS
};

// The policy's verdict on the n bytes of name (no terminating zero needed; a zero byte inside is
// a control character).
NameFault name_check(const char* name, uint32_t n);

// A short English description ("holds a backslash", "is a reserved device name", ...).
const char* name_fault_text(NameFault fault);

// A 64-bit key of a name as Windows compares names: each character folded to its upper case by
// Unicode's simple mapping in the blocks Basic Latin, Latin-1 Supplement, Latin Extended-A,
// Greek and Coptic, and Cyrillic (U+0000 to U+017F, U+0370 to U+04FF; every other character
// stands for itself), then hashed. Two names with one key are one name for Windows.
uint64_t name_fold(const char* name, uint32_t n);

// The names met so far, by their keys, in memory the caller gives: an open-addressed table of
// capacity slots (a power of two, at least twice the names it will hold).
struct NameTable {
  uint64_t* slots;
  uint32_t capacity;
  uint32_t count;
};
constexpr uint32_t NAME_TABLE_SLOTS = 262144;  // for BUNDLE_MAX_ENTRIES (bundle.h)

void name_table_init(NameTable* table, uint64_t* slots, uint32_t capacity);
// Adds name, a directory's or a file's; false when the table holds one name for Windows with it
// already (of either kind), or is full (it holds capacity / 2 names).
bool name_table_add(NameTable* table, const char* name, uint32_t n, bool directory);
// Whether the table holds name as a directory's.
bool name_table_has_directory(const NameTable* table, const char* name, uint32_t n);
