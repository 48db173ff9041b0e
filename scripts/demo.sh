#!/usr/bin/env bash
# The main job, end to end: builds sfx (its launchers built in), packs an installer into the
# Windows launcher this host can run, verifies and lists the packed file, runs it under wine (the
# launcher unpacks the installer into a private temporary folder and starts it), and shows that
# the unpacked file is the installer, byte for byte. Shows what happened at each step, sizes
# included. Exits 0 when the unpacked file is identical to the installer.
#   scripts/demo.sh [INSTALLER]
# Without an argument, a stand-in installer is made: a small Windows program that reports how it
# was started, carrying a corpus file (or generated text) as its bulk.
#
# Which launcher: the 32-bit one (the default a publisher ships) where wine runs 32-bit
# programs; the 64-bit one (--stub windows64, run by wine64) on a host whose kernel runs no
# 32-bit code, or with SFX_HOST_64_ONLY=1. A given installer is packed for the launcher that can
# run it here: a 64-bit program into the 64-bit launcher, an ELF program or a #! script into the
# POSIX one, which runs here directly. Without wine or mingw-w64, the stand-in is a shell script
# packed into the POSIX launcher.
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
have_stub() { "$sfx" --version | grep -q " $1 ("; }
size() { stat -c %s "$1"; }

# What a file is, for the launcher: pe32, pe64, elf, script or other.
file_kind() {
  local magic
  magic=$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')
  case $magic in
    4d5a*)
      local pe machine
      pe=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
      machine=$(od -An -tx2 -j $((pe + 4)) -N 2 "$1" | tr -d ' ')
      if [ "$machine" = 8664 ]; then echo pe64; else echo pe32; fi ;;
    7f454c46) echo elf ;;
    2321*) echo script ;;
    *) echo other ;;
  esac
}

# The wine that runs this host's Windows programs: i686, x86_64, or none.
host_wine=none
if command -v wineserver >/dev/null && { have_stub windows || have_stub windows64; }; then
  . scripts/wine-env.sh
  wine_pick
  host_wine=$wine_arch
  if [ "$host_wine" = x86_64 ] && ! /usr/lib/wine/wine64 --version >/dev/null 2>&1; then host_wine=none; fi
fi

input=${1:-}
kind=
if [ -n "$input" ]; then
  [ -f "$input" ] || { echo "demo: $input: no such file" >&2; exit 2; }
  input=$(realpath "$input")
  kind=$(file_kind "$input")
fi

# The launcher to pack into, and the wine to run it with.
stub=posix
if [ -z "$input" ] || [ "$kind" = pe32 ] || [ "$kind" = pe64 ] || [ "$kind" = other ]; then
  if [ "$host_wine" = i686 ] && [ "$kind" != pe64 ] && have_stub windows; then
    stub=windows
  elif [ "$host_wine" != none ] && have_stub windows64; then
    stub=windows64
    if [ "$host_wine" = x86_64 ]; then
      echo "this host's wine runs no 32-bit code (or SFX_HOST_64_ONLY=1): packing into the 64-bit" \
           "Windows launcher, run by wine64"
    fi
  elif [ -n "$input" ]; then
    echo "demo: $input is a Windows installer, and this host has no wine to run a Windows launcher" >&2
    exit 2
  fi
fi
[ "$stub" = windows ] && wine_use i686
[ "$stub" = windows64 ] && wine_use x86_64

bulk() {
  if [ -f ../shared/corpus/plrabn12.txt ]; then cat ../shared/corpus/plrabn12.txt
  else for i in $(seq 20000); do echo "line $i of the stand-in installer's bulk"; done; fi
}
if [ -z "$input" ] && [ $stub != posix ]; then
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
  compiler=i686-w64-mingw32-g++-posix
  [ $stub = windows64 ] && compiler=x86_64-w64-mingw32-g++-posix
  "$compiler" -O2 -mwindows -static -s -o "$work/program.exe" "$work/setup.cpp"
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

echo "installer:        $input ($(size "$input") bytes)"
packed=$work/setup-sfx.exe
[ $stub = posix ] && packed=$work/setup-sfx
"$sfx" pack "$input" --stub $stub -o "$packed"
echo "packed launcher:  $(size "$packed") bytes"
"$sfx" verify "$packed" --original "$input"
"$sfx" list --totals "$packed"

status=0
if [ $stub = posix ]; then
  echo "running the packed launcher:"
  TMPDIR=$work "$packed" || status=$?
  temp_root=$work
else
  echo "running the packed launcher under $(basename "$wine"):"
  wine_prefix
  trap 'wine_cleanup; rm -rf "$work"' EXIT
  timeout 300 "$wine" "$packed" >/dev/null 2>&1 || status=$?
  temp_root=$(echo "$WINEPREFIX"/drive_c/users/*/Temp)
fi
echo "launcher exit status: $status (1: the installer was started)"
for _ in $(seq 50); do [ -s "$packed.report" ] && break; sleep 0.2; done
[ -s "$packed.report" ] && cat "$packed.report"

# The unpacked file stays while the installer runs from it, in the launcher's private folder.
for f in "$temp_root"/SFX*/EXE*; do
  if [ -e "$f" ] && cmp -s "$f" "$input"; then
    echo "unpacked:         $f, identical to the installer"
    exit 0
  fi
done
# An installer that could not start here (a 32-bit one where only 64-bit code runs) or that was
# removed when it ended (a package): the launcher's own reader shows what it would unpack.
echo "the launcher's unpacked file is gone (the installer did not start here, or has ended)"
"$sfx" extract -q "$packed" -o "$work/extracted"
if cmp -s "$work/extracted" "$input"; then
  echo "unpacked:         by the launcher's reader (sfx extract), identical to the installer"
  exit 0
fi
echo "demo: the unpacked file differs from the installer" >&2
exit 1
