#!/usr/bin/env bash
# The main job, end to end: builds the tool and the launcher, packs an installer into a launcher,
# checks the packed file, and runs it: the launcher unpacks the installer into a temporary file
# and starts it. Shows what happened at each step, sizes included.
#   scripts/demo.sh [INSTALLER]
# Without an argument, a stand-in installer is made: a small shell script that reports how it
# was started, carrying a corpus file (or generated text) as its bulk.
set -euo pipefail
cd "$(dirname "$0")/.."
SFX_SKIP_WINDOWS=1 scripts/install-deps.sh

echo "building sfx and the launcher (build-release/) ..."
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSFX_BUILD_TESTS=OFF -DSFX_BUILD_FUZZ=OFF >/dev/null
cmake --build build-release -j"$(nproc 2>/dev/null || echo 2)" --target sfx launcher >/dev/null
sfx=build-release/tools/sfx/sfx
stub=build-release/launcher/platform/posix/launcher

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
input=${1:-}
if [ -z "$input" ]; then
  input=$work/setup
  {
    printf '#!/bin/sh\n'
    printf 'echo "installer: started as $0, by the launcher $1"\n'
    printf 'exit 0\n'
    if [ -f ../shared/corpus/plrabn12.txt ]; then cat ../shared/corpus/plrabn12.txt
    else for i in $(seq 20000); do echo "line $i of the stand-in installer's bulk"; done; fi
  } >"$input"
  chmod +x "$input"
fi

size() { stat -c %s "$1"; }
echo "installer:        $input ($(size "$input") bytes)"
"$sfx" compress -q "$input" -o "$work/payload"
echo "bare payload:     $(size "$work/payload") bytes"
"$sfx" extract -q "$work/payload" -o "$work/extracted"
cmp "$input" "$work/extracted" && echo "extracted:        $(size "$work/extracted") bytes, identical to the installer"
"$sfx" pack -q --stub "$stub" "$input" -o "$work/setup-sfx"
echo "packed launcher:  $(size "$work/setup-sfx") bytes (stub $(size "$stub") bytes + payload)"
"$sfx" verify -q "$work/setup-sfx" --original "$input" && echo "verified:         every block is sound and the payload decodes to the installer"
"$sfx" list -q "$work/setup-sfx"

echo "running the packed launcher:"
status=0
TMPDIR=$work "$work/setup-sfx" || status=$?
echo "launcher exit status: $status (1: the installer was started)"
sleep 0.5  # the launcher does not wait for the installer it started
for f in "$work"/EXE*; do
  [ -e "$f" ] && cmp -s "$f" "$input" && echo "unpacked:         $f, identical to the installer"
done
