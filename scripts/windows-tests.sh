#!/usr/bin/env bash
# Builds the Windows tree and runs its tests under wine on a virtual display (Xvfb).
#
#   scripts/windows-tests.sh [BUILD_DIR]      (default: build-win32 beside this script's repo)
#
# The shipped launcher is 32-bit (i686); it is built in BUILD_DIR and checked as a file (type,
# imports, size, resources). Its tests then run under wine in BUILD_DIR when this host runs
# 32-bit code. A host whose kernel runs no 32-bit code (wine's 32-bit loader then fails with
# "Exec format error") cannot run a PE32 program at all: there the same sources are built as
# 64-bit code in BUILD_DIR-x64 and its tests run under wine64 instead.
#
# Needs g++-mingw-w64-i686 (and g++-mingw-w64-x86-64 on a 64-bit-only host), wine, wine32:i386,
# wine64, xvfb, xauth and icoutils; it installs nothing. Every wine run is bounded by timeout, in
# a throw-away WINEPREFIX whose wineserver is ended afterwards. Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win32}")
jobs=${SFX_JOBS:-2}
toolchain=$root/cmake/toolchain-mingw-i686.cmake
. "$root/scripts/wine-env.sh"

configure_and_build() {  # DIR ARCH
  cmake -S "$root" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSFX_MINGW_ARCH="$2" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$1" -j"$jobs"
}

echo "== building the 32-bit Windows tree in $build"
configure_and_build "$build" i686
sh "$root/tests/win32/check-stub.sh" "$build/launcher/platform/win32/launcher.exe" i686 \
  i686-w64-mingw32-objdump

wine_pick
if [ "$wine_arch" = i686 ]; then
  test_build=$build
else
  echo "== this host runs no 32-bit code: the tests run as 64-bit code under wine64"
  test_build=$build-x64
  configure_and_build "$test_build" x86_64
  # The tests read the resources of the 64-bit program; the shipped 32-bit one must hold the
  # very same bytes (resources do not depend on the architecture).
  stub32=$build/launcher/platform/win32/launcher.exe stub64=$test_build/launcher/platform/win32/launcher.exe
  for resource in "--type=5 --name=102" "--type=14 --name=107" "--type=3 --name=1" \
                  "--type=3 --name=2" "--type=3 --name=3" "--type=3 --name=4"; do
    # shellcheck disable=SC2086
    if ! cmp -s <(wrestool -x --raw $resource "$stub32") <(wrestool -x --raw $resource "$stub64"); then
      echo "windows-tests: resource $resource of the 32-bit launcher differs from the tested one" >&2
      exit 1
    fi
  done
  echo "== the 32-bit launcher's dialog and icon resources equal the tested ones, byte for byte"
fi

echo "== creating the wine prefix"
wine_prefix
# The wineserver that this started would be found by the persistent one below, which would then
# give up: wait until it has gone.
timeout 60 wineserver -w

# One wineserver for the whole run, started (with wine's own services) before ctest so that
# none of them holds ctest's output pipes open. The tests find windows by caption, so they run
# one at a time.
echo "== running the tests under wine in $test_build"
export WINE_FOR_TESTS=$wine TEST_BUILD=$test_build
timeout 1800 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  wineserver -p </dev/null >/dev/null 2>&1
  timeout 120 "$WINE_FOR_TESTS" cmd /c exit </dev/null >/dev/null 2>&1 || true
  status=0
  ctest --test-dir "$TEST_BUILD" --output-on-failure --timeout 120 || status=$?
  wineserver -k >/dev/null 2>&1 || true
  exit $status'
