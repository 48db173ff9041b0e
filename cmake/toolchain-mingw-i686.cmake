# Cross build for Windows with Debian's mingw-w64, run under wine.
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#
# The launcher ships as 32-bit code (i686, g++-mingw-w64-i686). SFX_MINGW_ARCH=x86_64
# (g++-mingw-w64-x86-64) builds the same sources as 64-bit code instead: on a host whose kernel
# runs no 32-bit code, wine cannot run a PE32 program, and the 64-bit tree lets the Windows
# tests run there all the same under wine64.
#
# Programs are linked statically so that they import nothing beyond the system's DLLs
# (KERNEL32, USER32, GDI32, msvcrt): neither Windows nor a fresh wine prefix has mingw's
# libgcc_s_dw2-1.dll or libstdc++-6.dll. Test programs run through wine (the emulator below).
set(SFX_MINGW_ARCH i686 CACHE STRING "Windows CPU to build for: i686 (the product) or x86_64")
set_property(CACHE SFX_MINGW_ARCH PROPERTY STRINGS i686 x86_64)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SFX_MINGW_ARCH})

set(SFX_MINGW_PREFIX ${SFX_MINGW_ARCH}-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the default win32 model lacks. The
# launcher starts no thread, so it links no thread library.
set(CMAKE_C_COMPILER ${SFX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SFX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SFX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SFX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's /usr/bin/wine starts the 32-bit loader whenever it is installed, so 64-bit programs
# are run by the 64-bit loader itself.
if(SFX_MINGW_ARCH STREQUAL "x86_64")
  find_program(SFX_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(SFX_WINE NAMES wine)
endif()
if(SFX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SFX_WINE})
endif()
