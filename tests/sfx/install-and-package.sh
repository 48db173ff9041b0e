#!/usr/bin/env bash
# `cmake --install` puts the program and its manual page in place, and CPack packs them: a .deb
# from the native tree, and, where the build made sfx.exe, a .zip holding it from the Windows tree.
#   install-and-package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$work/usr" >/dev/null
"$work/usr/bin/sfx" --version | grep -q '^built-in launchers: ' || fail "the installed sfx does not run"
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
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "$deb depends on no libc6: $(dpkg-deb -f "$deb" Depends)"

if [ -f "$build/windows/CPackConfig.cmake" ] && [ -f "$build/windows/tools/sfx/sfx.exe" ]; then
  cpack -G ZIP --config "$build/windows/CPackConfig.cmake" -B "$work/zip" >/dev/null
  zip=$(ls "$work"/zip/*.zip)
  (cd "$work" && cmake -E tar tf "$zip") | grep -q '/sfx\.exe$' || fail "$zip holds no sfx.exe"
fi
[ $failures = 0 ] && echo "installed, and packed as $(basename "$deb")${zip:+ and $(basename "$zip")}"
exit $((failures > 0))
