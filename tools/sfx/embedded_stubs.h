// The launchers built into the tool, so that a copy of sfx alone packs either: the Windows
// launcher (cross-built with mingw-w64 by the same configure) and the POSIX one. Their bytes
// are generated sources in the build tree (embed-file.cmake); none is committed.
#pragma once

#include <cstddef>
#include <cstdint>

struct EmbeddedStub {
  const uint8_t* bytes;
  size_t size;  // 0 when this build has no such launcher
};

EmbeddedStub embedded_windows_stub();    // the 32-bit launcher, the default
EmbeddedStub embedded_windows64_stub();  // the same as 64-bit code
EmbeddedStub embedded_posix_stub();
