#!/usr/bin/env bash
# `cmake --install` puts the program and its manual page in place, and CPack packs them: a .deb
# from the native tree, and, where the build made sfx.exe, a .zip holding it, the README, the
# manual page and the licence (where the project has one) from the Windows tree. The program links
# none of the libraries only `sfx bench` uses: it opens them when it runs, and the package
# recommends them.
#   install-and-package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
# The peers `sfx bench` measures beside the codec: the library each is opened from, its package.
peer_libraries="libz.so.1 liblz4.so.1 libzstd.so.1 liblzo2.so.2"
peer_packages="zlib1g liblz4-1 libzstd1 liblzo2-2"

cmake --install "$build" --prefix "$work/usr" >/dev/null
sfx=$work/usr/bin/sfx
"$sfx" --version | grep -q '^built-in launchers: ' || fail "the installed sfx does not run"
needed=$(readelf -d "$sfx" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
for library in $peer_libraries; do
  case " $needed" in *" ${library%%.so*}.so"*) fail "the installed sfx links $library: $needed" ;; esac
done

# Without one of the peers' libraries, bench leaves that peer out with a note and measures the rest:
# the library is hidden behind an empty file in a mount namespace of its own (root only; a build
# without bench says so and is passed over).
lz4=$(ldconfig -p | sed -n 's/^\tliblz4\.so\.1 (.*) => //p' | head -1)
if [ "$(id -u)" = 0 ] && [ -n "$lz4" ] && unshare -m --propagation private true 2>/dev/null; then
  status=0
  hidden=$(unshare -m --propagation private sh -c 'mount --bind /dev/null "$1" && shift && exec "$@"' \
           sh "$(realpath "$lz4")" "$sfx" bench --runs 1 --min-seconds 0 "$source_dir/tools/sfx/sfx.1" 2>&1) ||
    status=$?
  if ! grep -q 'not available in this build' <<<"$hidden"; then
    [ $status = 0 ] || fail "bench without liblz4 failed: $hidden"
    grep -q '^sfx: bench: lz4 left out: .*liblz4\.so\.1.* (the liblz4-1 package brings it)$' <<<"$hidden" ||
      fail "bench without liblz4 says nothing of it: $hidden"
    grep -q '| zstd -1 |' <<<"$hidden" || fail "bench without liblz4 measured no other peer: $hidden"
    if grep -q '| lz4 |' <<<"$hidden"; then fail "bench measured lz4 without its library"; fi
  fi
fi
man_page=$work/usr/share/man/man1/sfx.1
[ -f "$man_page" ] || fail "no manual page at share/man/man1/sfx.1"
if command -v man >/dev/null && [ -f "$man_page" ]; then
  warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "the manual page: $warnings"
fi

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null
deb=$(ls "$work"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/sfx ./usr/share/man/man1/sfx.1; do
  grep -q " $path\$" <<<"$contents" || fail "$deb holds no $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -q libc6 <<<"$depends" || fail "$deb depends on no libc6: $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
for package in $peer_packages; do
  if grep -qw "$package" <<<"$depends"; then fail "$deb depends on $package, which only bench uses: $depends"; fi
  grep -qw "$package" <<<"$recommends" || fail "$deb does not recommend $package: $recommends"
done
# A name and an address that is not the machine's own.
maintainer=$(dpkg-deb -f "$deb" Maintainer)
grep -Eq '^[^<>@]*[A-Za-z][^<>@]* <[^<>@ ]+@[^<>@ ]+\.[A-Za-z]+>$' <<<"$maintainer" && ! grep -qi localhost <<<"$maintainer" ||
  fail "$deb names no maintainer to reach: $maintainer"

if [ -f "$build/windows/CPackConfig.cmake" ] && [ -f "$build/windows/tools/sfx/sfx.exe" ]; then
  cpack -G ZIP --config "$build/windows/CPackConfig.cmake" -B "$work/zip" >/dev/null
  zip=$(ls "$work"/zip/*.zip)
  listed=$(cd "$work" && cmake -E tar tf "$zip")
  expected="sfx.exe README.md sfx.1"
  for licence in LICENSE LICENSE.txt LICENSE.md LICENCE COPYING; do
    [ -f "$source_dir/$licence" ] && expected="$expected $licence"
  done
  for name in $expected; do
    awk -F/ -v name="$name" '$NF == name { found = 1 } END { exit !found }' <<<"$listed" ||
      fail "$zip holds no $name: $listed"
  done
fi
[ $failures = 0 ] && echo "installed, and packed as $(basename "$deb")${zip:+ and $(basename "$zip")}"
exit $((failures > 0))
