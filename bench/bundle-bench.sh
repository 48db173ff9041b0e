#!/usr/bin/env bash
# A folder installer's whole run beside the peers a publisher would pick for it, in one run:
#   bench/bundle-bench.sh [RUNS]            (default 5 rounds; the medians are compared)
#
# Makes a folder of 10,000 files and 100 MB (slices of the corpus, or generated text without
# one) with a setup.sh at its top that exits 0, and times, whole processes, each unpacking the
# folder into a fresh temporary folder, starting setup.sh from it and removing the folder:
#   - the POSIX launcher sfx carries: sfx pack DIR --run setup.sh --stub posix;
#   - makeself with zstd (makeself --zstd), which runs its startup script from the folder and
#     removes it;
#   - 7-Zip's console SFX module for Linux (7zCon.sfx, from p7zip-full) in front of a 7z
#     archive at its default level; it only extracts, so its run is extract, start, remove.
# Each round runs the three in turn. Needs makeself and p7zip-full (apt-get install makeself
# p7zip-full); a peer that is missing is left out. Builds sfx in build-perf/ (Release). Run by
# hand, not in CI: it writes a few hundred megabytes in a scratch folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-5}
jobs=$(nproc 2>/dev/null || echo 2)

echo "== building (build-perf, Release)"
cmake -S "$root" -B "$root/build-perf" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build-perf" -j"$jobs" --target sfx >/dev/null
sfx=$root/build-perf/tools/sfx/sfx

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {printf "%.3f", v[int((NR+1)/2)] / 1e9}'; }

echo "== making the folder: 10,000 files, 100 MB"
python3 - "$work/dist" "$root/../shared/corpus" <<'PY'
import os, sys
out, corpus = sys.argv[1], sys.argv[2]
data = b""
if os.path.isdir(corpus):
    for name in sorted(os.listdir(corpus)):
        with open(os.path.join(corpus, name), "rb") as f:
            data += f.read()
if not data:
    data = b"".join(b"line %d of the stand-in installer's data\n" % i for i in range(80000))
each = 100_000_000 // 10_000
at = 0
for i in range(10_000):
    folder = os.path.join(out, "data", "%02d" % (i // 200))
    os.makedirs(folder, exist_ok=True)
    piece = data[at:at + each]
    if len(piece) < each:
        at = 0
        piece = data[:each]
    at += each
    with open(os.path.join(folder, "file%05d.bin" % i), "wb") as f:
        f.write(piece)
with open(os.path.join(out, "setup.sh"), "w") as f:
    f.write("#!/bin/sh\n[ -f data/49/file09999.bin ] || exit 3\nexit 0\n")
os.chmod(os.path.join(out, "setup.sh"), 0o755)
PY
du -sb "$work/dist" | awk '{printf "folder: %d bytes\n", $1}'

mkdir -p "$work/tmp"
"$sfx" pack -q --stub posix "$work/dist" --run setup.sh -o "$work/setup-sfx"
echo "sfx:       $(stat -c %s "$work/setup-sfx") bytes"
have_makeself=0 have_7z=0
if command -v makeself >/dev/null && command -v zstd >/dev/null; then
  makeself --quiet --zstd --nox11 --nowait --nomd5 --nocrc "$work/dist" "$work/setup.run" "bench" ./setup.sh >/dev/null
  echo "makeself:  $(stat -c %s "$work/setup.run") bytes (zstd)"
  have_makeself=1
fi
sfx_module=/usr/lib/p7zip/7zCon.sfx
if command -v 7z >/dev/null && [ -f "$sfx_module" ]; then
  (cd "$work/dist" && 7z a -bd -t7z "$work/dist.7z" . >/dev/null)
  cat "$sfx_module" "$work/dist.7z" >"$work/setup.7z.run"
  chmod +x "$work/setup.7z.run"
  echo "7-Zip SFX: $(stat -c %s "$work/setup.7z.run") bytes (7z, LZMA2 at its default level)"
  have_7z=1
fi

# Each run starts on a settled file system: on a disk mounted with discard, the deletions of the
# run before (10,000 files) are paid for by whoever creates files next.
settle() { sync; sleep 3; }
sfx_times=() makeself_times=() sevenzip_times=()
for round in $(seq "$runs"); do
  settle
  start=$(now)
  TMPDIR=$work/tmp "$work/setup-sfx" >/dev/null
  sfx_times+=($(( $(now) - start )))
  if [ $have_makeself = 1 ]; then
    settle
    start=$(now)
    TMPDIR=$work/tmp "$work/setup.run" --quiet >/dev/null
    makeself_times+=($(( $(now) - start )))
  fi
  if [ $have_7z = 1 ]; then
    settle
    start=$(now)
    out=$work/tmp/7z-$round
    "$work/setup.7z.run" -y -o"$out" >/dev/null
    (cd "$out" && ./setup.sh)
    rm -rf "$out"
    sevenzip_times+=($(( $(now) - start )))
  fi
  [ -z "$(ls -A "$work/tmp")" ] || { echo "bundle-bench: something was left in the temporary folder" >&2; exit 1; }
done

sfx_median=$(median "${sfx_times[@]}")
echo
printf '%-34s %8s\n' "run (medians of $runs rounds)" seconds
printf '%-34s %8s\n' "sfx POSIX launcher" "$sfx_median"
fastest=
for peer in makeself 7zip; do
  if [ $peer = makeself ] && [ $have_makeself = 1 ]; then t=$(median "${makeself_times[@]}"); label="makeself --zstd"
  elif [ $peer = 7zip ] && [ $have_7z = 1 ]; then t=$(median "${sevenzip_times[@]}"); label="7-Zip console SFX (7zCon.sfx)"
  else continue; fi
  printf '%-34s %8s\n' "$label" "$t"
  if [ -z "$fastest" ] || awk "BEGIN{exit !($t < $fastest)}"; then fastest=$t; fi
done
if [ -n "$fastest" ]; then
  awk "BEGIN{printf \"sfx against the fastest peer: %.2fx its time\n\", $sfx_median / $fastest}"
fi
