# The POSIX launcher that sfx builds in. Where musl is at hand (Debian's musl-tools), it is this
# project again, built as a tree of its own in ${CMAKE_BINARY_DIR}/posix with the musl toolchain
# file, always as a Release build of the launcher alone: a static program that needs no shared
# library, and whose bytes do not depend on how the tree around it is built (its build type, its
# sanitizers). Without musl it is this tree's own launcher, which needs only the C library.
#
# Sets SFX_POSIX_LAUNCHER_BUILT (the unstripped program) and SFX_POSIX_LAUNCHER_DEPENDS (the
# target that makes it, and the file).
set(SFX_MUSL_SPECS /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl/musl-gcc.specs)
if(EXISTS ${SFX_MUSL_SPECS})
  set(musl_default ON)
else()
  set(musl_default OFF)
endif()
option(SFX_POSIX_LAUNCHER_MUSL "Build the POSIX launcher that sfx carries statically against musl" ${musl_default})

if(NOT SFX_POSIX_LAUNCHER_MUSL)
  message(STATUS "sfx: no musl (musl-tools): the POSIX launcher built in links the C library dynamically")
  set(SFX_POSIX_LAUNCHER_BUILT $<TARGET_FILE:launcher>)
  set(SFX_POSIX_LAUNCHER_DEPENDS launcher)
  return()
endif()

include(ExternalProject)
set(tree ${CMAKE_BINARY_DIR}/posix)
set(SFX_POSIX_LAUNCHER_BUILT ${tree}/launcher/platform/posix/launcher)
ExternalProject_Add(sfx_posix_tree
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${tree}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-musl.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DSFX_LAUNCHER_ONLY=ON
    -DSFX_WERROR=${SFX_WERROR}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target launcher
  # The tree's own build decides what is out of date.
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${SFX_POSIX_LAUNCHER_BUILT}
  LOG_CONFIGURE ON
  LOG_OUTPUT_ON_FAILURE ON)
# The tree's target orders the build; the file itself makes what is made of it out of date.
set(SFX_POSIX_LAUNCHER_DEPENDS sfx_posix_tree ${SFX_POSIX_LAUNCHER_BUILT})
