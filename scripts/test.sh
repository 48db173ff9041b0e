#!/usr/bin/env bash
# The test command: installs what is missing (as root), then configures, builds and runs every
# suite: the native build with warnings as errors, the same suites under ASan+UBSan, the tool's
# threaded tests under ThreadSanitizer, and the Windows build's tests under wine.
#   SFX_SKIP_WINDOWS=1  leave out the Windows build and its wine tests
#   SFX_SKIP_ASAN=1     leave out the AddressSanitizer and ThreadSanitizer builds
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh

step() { printf '\n== %s ==\n' "$*"; }

step "native build (warnings as errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSFX_WERROR=ON
cmake --build build -j"$jobs"
step "native tests"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "${SFX_SKIP_ASAN:-0}" != 1 ]; then
  step "ASan+UBSan build"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSFX_SANITIZE=ON -DSFX_BUILD_BENCH=OFF
  cmake --build build-asan -j"$jobs"
  step "ASan+UBSan tests"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

  step "ThreadSanitizer build of the tool"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSFX_SANITIZE_THREAD=ON \
    -DSFX_BUILD_BENCH=OFF -DSFX_BUILD_FUZZ=OFF -DSFX_EMBED_WINDOWS_STUB=OFF
  cmake --build build-tsan -j"$jobs" --target sfx_tool_test launcher_core_test
  step "threads under ThreadSanitizer (the tool at 1 to 8 threads; the launcher's blocks decoded ahead)"
  # A race makes sfx exit with 66, which fails the test that ran it.
  TSAN_OPTIONS=exitcode=66:halt_on_error=1 \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R '^(SfxThreads|DecodeAhead)\.'
fi

if [ "${SFX_SKIP_WINDOWS:-0}" != 1 ]; then
  step "Windows build and tests under wine"
  scripts/windows-tests.sh build-win32
  step "a packed launcher, signed"
  scripts/signing-test.sh build build-win32
fi
step "all tests passed"
