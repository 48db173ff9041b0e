#!/usr/bin/env bash
# Builds the Windows trees and runs their tests under wine on a virtual display (Xvfb).
#
#   scripts/windows-tests.sh [BUILD_DIR]      (default: build-win32 beside this script's repo)
#
# The shipped launcher is 32-bit (i686); it is built in BUILD_DIR, checked as a file (type,
# imports, size, manifest, resources), and built a second time elsewhere to show that the same
# source gives the same bytes. The same sources are also built as 64-bit code in BUILD_DIR-x64.
# The tests run under wine in both trees when this host runs 32-bit code; a host whose kernel
# runs no 32-bit code (wine's 32-bit loader then fails with "Exec format error") cannot run a
# PE32 program at all, and there they run in the 64-bit tree alone, whose resources must equal
# the 32-bit launcher's byte for byte.
#
# Needs g++-mingw-w64-i686 and g++-mingw-w64-x86-64, wine, wine32:i386, wine64, xvfb, xauth and
# icoutils; it installs nothing. Every wine run is bounded by timeout, in a throw-away WINEPREFIX
# whose wineserver is ended afterwards. SFX_SKIP_X64=1 leaves the 64-bit tree out where the
# 32-bit one can be tested. Exits non-zero on any failure.
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

# Reproducible: a second build of the launcher alone, in another folder, gives the same bytes.
again=$(mktemp -d)
cmake -S "$root" -B "$again" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSFX_MINGW_ARCH=i686 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSFX_BUILD_TESTS=OFF >/dev/null
cmake --build "$again" -j"$jobs" --target launcher >/dev/null
if ! cmp "$build/launcher/platform/win32/launcher.exe" "$again/launcher/platform/win32/launcher.exe"; then
  echo "windows-tests: two builds of the same launcher source differ" >&2
  exit 1
fi
rm -rf "$again"
echo "== a second build in another folder gave the same launcher, byte for byte"

wine_pick
host_arch=$wine_arch
if [ "$host_arch" = i686 ]; then
  test_trees="$build:i686"
  # Hosts that run no 32-bit code test the 64-bit build alone; this one tests it too, so that
  # path stays sound (SFX_SKIP_X64=1 leaves it out).
  if [ "${SFX_SKIP_X64:-0}" != 1 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    echo "== building the same sources as 64-bit code in $build-x64"
    configure_and_build "$build-x64" x86_64
    test_trees="$test_trees $build-x64:x86_64"
  fi
else
  echo "== this host runs no 32-bit code: the tests run as 64-bit code under wine64"
  test_trees="$build-x64:x86_64"
  configure_and_build "$build-x64" x86_64
fi
if [ "$host_arch" != i686 ] || [ "$test_trees" != "$build:i686" ]; then
  # The tests read the resources of the 64-bit program too; the shipped 32-bit one must hold
  # the very same bytes (resources do not depend on the architecture).
  stub32=$build/launcher/platform/win32/launcher.exe stub64=$build-x64/launcher/platform/win32/launcher.exe
  for resource in "--type=5 --name=102" "--type=14 --name=107" "--type=3 --name=1" \
                  "--type=3 --name=2" "--type=3 --name=3" "--type=3 --name=4" \
                  "--type=16 --name=1" "--type=24 --name=1"; do
    # shellcheck disable=SC2086
    if ! cmp -s <(wrestool -x --raw $resource "$stub32") <(wrestool -x --raw $resource "$stub64"); then
      echo "windows-tests: resource $resource of the 32-bit launcher differs from the 64-bit one" >&2
      exit 1
    fi
  done
  echo "== the 32-bit launcher's resources equal the 64-bit one's, byte for byte"
fi

# One wineserver per tree, started (with wine's own services) before ctest so that none of
# them holds ctest's output pipes open. The tests find windows by caption, so they run one at a
# time.
status=0
for entry in $test_trees; do
  tree=${entry%:*}
  wine_use "${entry#*:}"
  echo "== creating a $WINEARCH wine prefix"
  wine_prefix
  echo "== running the tests under wine in $tree"
  export WINE_FOR_TESTS=$wine TEST_BUILD=$tree
  timeout 1800 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 120 "$WINE_FOR_TESTS" cmd /c exit </dev/null >/dev/null 2>&1 || true
    status=0
    ctest --test-dir "$TEST_BUILD" --output-on-failure --timeout 120 || status=$?
    wineserver -k >/dev/null 2>&1 || true
    exit $status' || status=1
done
exit $status
