# Prints the size of the built launcher. The shipped 32-bit stub must stay within 46 KiB; a 64-bit
# build (for tests on hosts that run no 32-bit code) is larger and has no limit.
file(SIZE "${FILE}" size)
math(EXPR kib "(${size} + 1023) / 1024")
get_filename_component(name "${FILE}" NAME)
if(ARCH STREQUAL "i686" AND size GREATER 47104)
  message(WARNING "${name}: ${size} bytes (${kib} KiB), over the 46 KiB limit")
else()
  message(STATUS "${name}: ${size} bytes (${kib} KiB)")
endif()
