// 64-bit division by plain shifts and subtractions. On 32-bit x86 the compiler turns a 64-bit
// division into calls of its support library (__udivdi3 and kin), which bring a kilobyte of code
// and unwind tables into the 32-bit launcher for the few divisions it makes: the bar's width and
// the numbers it prints.
#pragma once

#include <cstdint>

// n / d, with n % d in *remainder when it is given; d must not be 0.
uint64_t divide64(uint64_t n, uint64_t d, uint64_t* remainder = nullptr);
