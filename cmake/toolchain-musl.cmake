# The POSIX launcher, linked statically against musl (Debian's musl-tools), so that a packed file
# starts on any Linux system of its processor, whatever C library it has, glibc of any age or
# musl itself: it needs no shared library at all.
#
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-musl.cmake
#
# The host's g++ compiles against musl's headers through the specs file musl-tools installs. The
# launcher uses no part of the C++ run-time library (no exceptions, no RTTI, no allocation
# through new), only its headers that wrap the C library's (<cstring> and its kin); those expect
# glibc's version macro, which musl does not define (musl-compat.h answers it).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_HOST_SYSTEM_PROCESSOR})
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

set(SFX_MUSL_TRIPLET ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl)
set(SFX_MUSL_SPECS /usr/lib/${SFX_MUSL_TRIPLET}/musl-gcc.specs)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND gcc -print-file-name=include OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(SFX_GNU_TRIPLET ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu)

set(CMAKE_CXX_FLAGS_INIT "-specs=${SFX_MUSL_SPECS} -isystem /usr/include/c++/${gcc_version} -isystem /usr/include/${SFX_GNU_TRIPLET}/c++/${gcc_version} -isystem ${gcc_include} -include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h")
set(CMAKE_C_FLAGS_INIT "-specs=${SFX_MUSL_SPECS}")
# The compile flags, the specs included, reach the link too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
