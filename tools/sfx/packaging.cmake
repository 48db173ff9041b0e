# Installing sfx (`cmake --install`: the program and its manual page) and packing it for release
# (`cpack`, or the package target): a .deb in a native tree; a .zip holding sfx.exe in a Windows
# tree (from a native tree: the package_windows target).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME sfx)
set(CPACK_PACKAGE_VENDOR "sfx")
set(CPACK_PACKAGE_CONTACT "sfx maintainers <sfx@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs a Windows installer into a self-extracting launcher")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "sfx turns an installer into one self-unpacking program: a small 32-bit Windows launcher "
    "with the installer appended in LZRW3-A blocks, which unpacks it into a temporary file and "
    "starts it. It also compresses, extracts, lists, verifies and benchmarks payloads. The "
    "Windows and POSIX launchers are built into the program.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS sfx RUNTIME DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME "windows-${CMAKE_SYSTEM_PROCESSOR}")
else()
  install(TARGETS sfx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/sfx.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The run-time libraries' packages, as dpkg-shlibdeps (dpkg-dev) finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
