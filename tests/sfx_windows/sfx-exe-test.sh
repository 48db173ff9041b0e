#!/usr/bin/env bash
# sfx.exe under wine: a copy of it alone packs, with no --stub, a launcher that starts its child;
# it extracts, lists and verifies, and refuses damage with exit 1. Given the native sfx too, a
# copy of that alone must give every output (packed files, payloads, list and verify texts) byte
# for byte as sfx.exe does, and its packed launcher is the one started.
#
#   sfx-exe-test.sh SFX_EXE CHILD_EXE ARCH WINE|- [NATIVE_SFX]
#
# ARCH is the programs' CPU (i686, x86_64). WINE is the loader to run them with; with '-', the
# wine of this host is picked (scripts/wine-env.sh) and the test is skipped (exit 77) when it
# cannot run ARCH's programs. An existing WINEPREFIX is used as it is (windows-tests.sh sets
# one up); otherwise a throw-away one is made.
set -euo pipefail
sfx_exe=$(realpath "$1") child=$(realpath "$2") arch=$3 wine=$4 native=${5:-}
[ -n "$native" ] && native=$(realpath "$native")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

if [ "$wine" = - ]; then
  . "$root/scripts/wine-env.sh"
  if ! command -v wineserver >/dev/null; then echo "SKIP: no wine here"; exit 77; fi
  wine_pick
  if [ "$wine_arch" != "$arch" ]; then echo "SKIP: this host's wine runs no $arch programs"; exit 77; fi
fi
work=$(mktemp -d)
if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX" ]; then
  . "$root/scripts/wine-env.sh"
  given=$wine
  wine_use "$arch"  # the kind of prefix ARCH's programs need
  [ "$given" = - ] || wine=$given
  wine_prefix  # a new WINEPREFIX in $scratch, created with $wine
  trap 'wine_cleanup; rm -rf "$work"' EXIT
else
  trap 'rm -rf "$work"' EXIT
fi
export WINEDEBUG=-all
cd "$work"
exec </dev/null  # wine must not wait on a terminal

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# wx ARGS...: sfx.exe under wine; its stdout to the file named by $out (default /dev/null).
wx() { timeout 120 "$wine" bin/sfx.exe "$@"; }
same() { cmp -s "$1" "$2" || fail "$3: $1 and $2 differ"; }

# The installer: the child program with bulk data after it (a program runs the same with data
# after its image), big enough for several blocks and both kinds of them.
{ cat "$child"; seq 1 60000; head -c 100000 /dev/zero | tr '\0' 'x'; } >setup.exe
mkdir bin
cp "$sfx_exe" bin/sfx.exe

wx pack setup.exe -o packed.exe 2>pack.err || fail "pack exits $?: $(cat pack.err)"
wx verify packed.exe --original setup.exe >verify.out || fail "verify of the packed file exits $?"
# An absolute path, which starts with '/', is a file, not a Windows-style option.
wx extract "$work/packed.exe" -o back.exe 2>/dev/null || fail "extract of $work/packed.exe exits $?"
same setup.exe back.exe "extract"
wx list packed.exe >list.out || fail "list exits $?"
wx list --json packed.exe >list.json || fail "list --json exits $?"
wx compress -q setup.exe -o - >payload.out || fail "compress to stdout exits $?"
wx compress - -o payload.in <setup.exe 2>/dev/null || fail "compress from stdin exits $?"
same payload.out payload.in "compress through the standard streams"

# Names in any script: a folder "Загрузки ü" that no Western code page can name.
mkdir "Загрузки ü"
cp setup.exe "Загрузки ü/setup.exe"
wx pack -q "Загрузки ü/setup.exe" -o "Загрузки ü/packed.exe" 2>/dev/null || fail "pack in a Cyrillic folder exits $?"
wx extract -q "Загрузки ü/packed.exe" -o "Загрузки ü/back.exe" 2>/dev/null ||
  fail "extract in a Cyrillic folder exits $?"
same setup.exe "Загрузки ü/back.exe" "extract in a Cyrillic folder"

launcher=packed.exe
if [ -n "$native" ]; then
  cp "$native" bin/sfx
  native=bin/sfx
  "$native" pack -q setup.exe -o native-packed.exe
  launcher=native-packed.exe
  same packed.exe native-packed.exe "pack with the default stub"
  # The native tree's sfx.exe carries its POSIX launcher too.
  wx pack -T 3 --any-payload setup.exe --stub posix -o posix.out 2>/dev/null || fail "pack --stub posix exits $?"
  "$native" pack -q --any-payload setup.exe --stub posix -o native-posix.out
  same posix.out native-posix.out "pack --stub posix"
  # And the 64-bit Windows launcher, the same bytes as the native sfx carries.
  wx pack -q setup.exe --stub windows64 -o packed64.exe 2>/dev/null || fail "pack --stub windows64 exits $?"
  "$native" pack -q setup.exe --stub windows64 -o native-packed64.exe
  same packed64.exe native-packed64.exe "pack --stub windows64"
  "$native" compress -q setup.exe -o native-payload
  same payload.out native-payload "compress"
  "$native" list packed.exe >native-list.out; same list.out native-list.out "list"
  "$native" list --json packed.exe >native-list.json; same list.json native-list.json "list --json"
  "$native" verify packed.exe --original setup.exe >native-verify.out; same verify.out native-verify.out "verify"
fi

# Damage: a byte of the last block changed; verify and extract exit 1, extract leaves nothing.
cp packed.exe damaged.exe
size=$(stat -c %s damaged.exe)
printf '\x55' | dd of=damaged.exe bs=1 seek=$((size - 20)) conv=notrunc 2>/dev/null
status=0; wx verify damaged.exe >/dev/null 2>&1 || status=$?
[ $status = 1 ] || fail "verify of a damaged file exits $status, not 1"
status=0; wx extract damaged.exe -o damaged-back.exe 2>/dev/null || status=$?
[ $status = 1 ] || fail "extract of a damaged file exits $status, not 1"
[ ! -e damaged-back.exe ] || fail "extract of a damaged file left its output"

# The packed launcher (the native sfx's, when given) starts its child with its own path; the
# launcher does not wait for it.
status=0; timeout 120 "$wine" "$launcher" >/dev/null 2>&1 || status=$?
[ $status = 1 ] || fail "the packed launcher exits $status, not 1 (1: the installer was started)"
for _ in $(seq 200); do [ -s "$launcher.report" ] && break; sleep 0.1; done
if [ -s "$launcher.report" ]; then
  grep -q "EXE.*$launcher" "$launcher.report" || fail "the child's command line: $(cat "$launcher.report")"
else
  fail "the packed launcher did not start its child"
fi

[ $failures = 0 ] && echo "sfx.exe under wine ($arch): all checks passed${native:+, every output the same as the native sfx gives}"
exit $((failures > 0))
