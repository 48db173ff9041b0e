# The Windows tree of a native build: this project again, cross-built with the mingw-w64
# toolchain file in ${CMAKE_BINARY_DIR}/windows. It gives the 32-bit Windows launcher that sfx
# builds in, and sfx.exe, which builds in that same launcher (so both tools pack the same bytes)
# and the native tree's POSIX launcher.
#
# Beside it, ${CMAKE_BINARY_DIR}/windows64 builds the same launcher as 64-bit code alone (for
# systems without WOW64), which both tools build in as well.
#
# Sets SFX_WINDOWS_LAUNCHER (the launcher.exe to build in, empty without mingw-w64) and
# SFX_WINDOWS64_LAUNCHER (the 64-bit one, empty without g++-mingw-w64-x86-64), and the global
# property SFX_WINDOWS_SFX (the path of sfx.exe), and defines the targets sfx_windows_tree (the
# launcher), sfx_windows64_tree (the 64-bit launcher), sfx_exe (sfx.exe, not in a sanitizer
# build) and package_windows (the .zip holding sfx.exe).
option(SFX_EMBED_WINDOWS_STUB "Cross-build the Windows launcher with mingw-w64 and build it into sfx" ON)

set(SFX_WINDOWS_LAUNCHER "")
set(SFX_WINDOWS64_LAUNCHER "")
if(NOT SFX_EMBED_WINDOWS_STUB)
  return()
endif()
find_program(SFX_MINGW_CXX i686-w64-mingw32-g++-posix)
if(NOT SFX_MINGW_CXX)
  message(STATUS "sfx: no i686-w64-mingw32-g++-posix (g++-mingw-w64-i686): sfx is built without "
                 "the Windows launcher, and 'sfx pack' needs --stub FILE")
  return()
endif()

include(ExternalProject)
include(ProcessorCount)
ProcessorCount(jobs)
if(jobs EQUAL 0)
  set(jobs 2)
endif()

# The 64-bit launcher: a tree that builds the launcher alone, always as a Release build, so its
# bytes do not depend on the build around it.
find_program(SFX_MINGW64_CXX x86_64-w64-mingw32-g++-posix)
set(windows64_depends "")
if(SFX_MINGW64_CXX)
  set(tree64 ${CMAKE_BINARY_DIR}/windows64)
  set(SFX_WINDOWS64_LAUNCHER ${tree64}/launcher/platform/win32/launcher.exe)
  ExternalProject_Add(sfx_windows64_tree
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${tree64}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-i686.cmake
      -DSFX_MINGW_ARCH=x86_64
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-Wl,--no-insert-timestamp
      -DSFX_WERROR=${SFX_WERROR}
      -DSFX_LAUNCHER_ONLY=ON
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target launcher -j${jobs}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${SFX_WINDOWS64_LAUNCHER}
    LOG_CONFIGURE ON
    LOG_OUTPUT_ON_FAILURE ON)
  set(windows64_depends sfx_windows64_tree)
else()
  message(STATUS "sfx: no x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64): sfx is built without "
                 "the 64-bit Windows launcher")
endif()

set(tree ${CMAKE_BINARY_DIR}/windows)
set(SFX_WINDOWS_LAUNCHER ${tree}/launcher/platform/win32/launcher.exe)
set(SFX_WINDOWS_SFX ${tree}/tools/sfx/sfx.exe)
ExternalProject_Add(sfx_windows_tree
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${tree}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-i686.cmake
    -DCMAKE_BUILD_TYPE=Release
    # Without the link time in its header, the launcher is the same file at every build.
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-Wl,--no-insert-timestamp
    -DSFX_WERROR=${SFX_WERROR}
    -DSFX_BUILD_TESTS=OFF -DSFX_BUILD_FUZZ=OFF -DSFX_BUILD_BENCH=OFF
    -DSFX_POSIX_STUB=${SFX_POSIX_STUB_FILE}
    -DSFX_WINDOWS64_STUB=${SFX_WINDOWS64_LAUNCHER}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target launcher -j${jobs}
  # The tree's own build decides what is out of date.
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${SFX_WINDOWS_LAUNCHER}
  LOG_CONFIGURE ON
  LOG_OUTPUT_ON_FAILURE ON)

# sfx.exe, after the launcher (the two builds must not run in the tree at once). A sanitizer
# build leaves it out: its POSIX launcher needs the sanitizer's run-time library.
if(NOT SFX_SANITIZE)
  add_custom_target(sfx_exe ALL
    COMMAND ${CMAKE_COMMAND} --build ${tree} --target sfx -j${jobs}
    BYPRODUCTS ${SFX_WINDOWS_SFX}
    COMMENT "Cross-building sfx.exe in ${tree}"
    VERBATIM)
  add_dependencies(sfx_exe sfx_windows_tree sfx_posix_stub ${windows64_depends})
  add_custom_target(package_windows
    COMMAND ${CMAKE_COMMAND} --build ${tree} --target package
    COMMENT "Packing sfx.exe into a .zip in ${tree}"
    VERBATIM)
  add_dependencies(package_windows sfx_exe)
  # For the tests that run it under wine beside the native sfx.
  set_property(GLOBAL PROPERTY SFX_WINDOWS_SFX ${SFX_WINDOWS_SFX})
endif()
