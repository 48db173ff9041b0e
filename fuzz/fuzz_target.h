// The entry every fuzz target defines; libFuzzer calls it, and so does the replay main.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Stops the run at once with a message: a property did not hold.
[[noreturn]] void fuzz_fail(const char* what);

// A file in memory holding the size bytes at data, read from its start: a descriptor the
// payload reader can read as it reads a launcher's own file. -1 when none can be had.
int fuzz_memory_file(const uint8_t* data, size_t size);
