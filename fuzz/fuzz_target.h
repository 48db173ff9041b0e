// The entry every fuzz target defines; libFuzzer calls it, and so does the replay main.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Stops the run at once with a message: a property did not hold.
[[noreturn]] void fuzz_fail(const char* what);

// What every program of the project does first (crc32_prepare); libFuzzer calls it before the
// first input, and so does the replay main.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
