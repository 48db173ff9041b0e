# Installing sfx (`cmake --install`: the program and its manual page) and packing it for release
# (`cpack`, or the package target): a .deb in a native tree; a .zip holding sfx.exe, the README,
# the manual page and the licence, where the project has one, in a Windows tree (from a native
# tree: the package_windows target).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME sfx)
set(CPACK_PACKAGE_VENDOR "sfx")
# The project's commits carry no personal contact: the package names its developers at the
# address they commit from.
set(CPACK_PACKAGE_CONTACT "sfx developers <maintainers@users.noreply.c-seed-d844e18f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs a Windows installer into a self-extracting launcher")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "sfx turns an installer into one self-unpacking program: a small 32-bit Windows launcher "
    "with the installer appended in LZRW3-A blocks, which unpacks it into a temporary file and "
    "starts it. It also compresses, extracts, lists, verifies and benchmarks payloads. The "
    "Windows and POSIX launchers are built into the program.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

# The licence goes with the program wherever the project has one; today it has none.
set(SFX_LICENCE_FILES "")
foreach(name LICENSE LICENSE.txt LICENSE.md LICENCE COPYING)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${name})
    list(APPEND SFX_LICENCE_FILES ${PROJECT_SOURCE_DIR}/${name})
  endif()
endforeach()

if(WIN32)
  install(TARGETS sfx RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_SOURCE_DIR}/sfx.1 ${SFX_LICENCE_FILES}
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME "windows-${CMAKE_SYSTEM_PROCESSOR}")
else()
  install(TARGETS sfx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/sfx.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(SFX_LICENCE_FILES)
    install(FILES ${SFX_LICENCE_FILES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The run-time libraries' packages, as dpkg-shlibdeps (dpkg-dev) finds them: the C and C++
  # libraries alone. `sfx bench` opens its peers' libraries when it runs and leaves out any that
  # is missing, so they are recommended, not required.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zlib1g, liblz4-1, libzstd1, liblzo2-2")
endif()
include(CPack)
