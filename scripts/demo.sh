#!/usr/bin/env bash
# The main job, end to end: builds sfx (the Windows and POSIX launchers built in), packs an
# installer into the default Windows launcher, verifies and lists the packed file, and runs it
# under wine: the launcher unpacks the installer into a temporary file and starts it. Where wine
# cannot run 32-bit Windows programs (or sfx has no Windows launcher), it packs into the POSIX
# launcher instead and runs that here. Shows what happened at each step, sizes included.
#   scripts/demo.sh [INSTALLER]
# Without an argument, a stand-in installer is made: a small program that reports how it was
# started (a Windows program, or a shell script for the POSIX launcher), carrying a corpus file
# (or generated text) as its bulk.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh

echo "building sfx with its launchers built in (build-release/) ..."
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSFX_BUILD_TESTS=OFF -DSFX_BUILD_FUZZ=OFF >/dev/null
cmake --build build-release -j"$(nproc 2>/dev/null || echo 2)" --target sfx >/dev/null
sfx=$root/build-release/tools/sfx/sfx
"$sfx" --version | sed 's/^/  /'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mode=posix
if "$sfx" --version | grep -q 'windows (' && command -v wineserver >/dev/null; then
  . scripts/wine-env.sh
  wine_pick
  if [ "$wine_arch" = i686 ]; then
    mode=windows
  else
    echo "this host's wine runs no 32-bit programs: packing into the POSIX launcher instead"
  fi
fi

bulk() {
  if [ -f ../shared/corpus/plrabn12.txt ]; then cat ../shared/corpus/plrabn12.txt
  else for i in $(seq 20000); do echo "line $i of the stand-in installer's bulk"; done; fi
}
input=${1:-}
if [ -z "$input" ] && [ $mode = windows ]; then
  # A Windows program that writes how it was started beside the launcher that started it; data
  # after a program's image does not change how it runs.
  input=$work/setup.exe
  cat >"$work/setup.cpp" <<'CPP'
#include <windows.h>
#include <cstdio>
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char path[MAX_PATH * 2];
  std::snprintf(path, sizeof path, "%s.report", __argc > 1 ? __argv[1] : "setup");
  if (std::FILE* f = std::fopen(path, "w")) {
    std::fprintf(f, "installer: started as %s\n", GetCommandLineA());
    std::fclose(f);
  }
  return 0;
}
CPP
  i686-w64-mingw32-g++-posix -O2 -mwindows -static -s -o "$work/program.exe" "$work/setup.cpp"
  { cat "$work/program.exe"; bulk; } >"$input"
elif [ -z "$input" ]; then
  input=$work/setup
  {
    printf '#!/bin/sh\n'
    printf 'echo "installer: started as $0, by the launcher $1"\n'
    printf 'exit 0\n'
    bulk
  } >"$input"
  chmod +x "$input"
fi

size() { stat -c %s "$1"; }
echo "installer:        $input ($(size "$input") bytes)"
packed=$work/setup-sfx.exe
if [ $mode = windows ]; then
  "$sfx" pack "$input" -o "$packed"
else
  packed=$work/setup-sfx
  "$sfx" pack "$input" --stub posix -o "$packed"
fi
echo "packed launcher:  $(size "$packed") bytes"
"$sfx" verify "$packed" --original "$input"
"$sfx" list --totals "$packed"

if [ $mode = windows ]; then echo "running the packed launcher under wine:"; else echo "running the packed launcher:"; fi
status=0
if [ $mode = windows ]; then
  wine_prefix
  trap 'wine_cleanup; rm -rf "$work"' EXIT
  timeout 300 "$wine" "$packed" >/dev/null 2>&1 || status=$?
  echo "launcher exit status: $status (1: the installer was started)"
  for _ in $(seq 100); do [ -s "$packed.report" ] && break; sleep 0.2; done
  [ -s "$packed.report" ] && cat "$packed.report"
else
  TMPDIR=$work "$packed" || status=$?
  echo "launcher exit status: $status (1: the installer was started)"
  sleep 0.5  # the launcher does not wait for the installer it started
  for f in "$work"/EXE*; do
    [ -e "$f" ] && cmp -s "$f" "$input" && echo "unpacked:         $f, identical to the installer"
  done
fi
