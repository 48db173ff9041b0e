// The entry every fuzz target defines; libFuzzer calls it, and so does the replay main.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Stops the run at once with a message: a property did not hold.
[[noreturn]] void fuzz_fail(const char* what);
