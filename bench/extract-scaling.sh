#!/usr/bin/env bash
# How fast `sfx extract` gives a big installer back, on one thread and on two, beside zstd
# decompressing the same data packed at -1: whole processes, file to file, alternating in each
# round so that all meet the same load on a shared machine, every output compared with the
# installer. Then the decoders alone in the process (build-perf/bench/decode_threads: the corpus
# on one and two threads, zstd -1 on one). Run by hand, not in CI.
#
#   bench/extract-scaling.sh [ROUNDS] [INSTALLER]
#
# ROUNDS (default 9); INSTALLER (default: made by bench/make-installer.sh in a temporary folder,
# the corpus at ../shared/corpus 32 times, about 94 MB). Builds sfx and decode_threads in
# build-perf/ (Release). Prints every run, then medians, the ratios of the medians and the median
# of each round's own ratios.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${1:-9}
installer=${2:-}
[ -x /usr/bin/time ] || { echo "extract-scaling: needs GNU time (apt-get install time)" >&2; exit 2; }
command -v zstd >/dev/null || { echo "extract-scaling: needs zstd (apt-get install zstd)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "building sfx and decode_threads (build-perf/, Release) ..."
{ cmake -S "$root" -B "$root/build-perf" -DCMAKE_BUILD_TYPE=Release &&
  cmake --build "$root/build-perf" --target sfx decode_threads -j"$(nproc)"; } >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 2; }
sfx=$root/build-perf/tools/sfx/sfx
if [ -z "$installer" ]; then
  installer=$work/installer
  "$root/bench/make-installer.sh" "$installer" >/dev/null
fi
size=$(stat -c %s "$installer")
"$sfx" pack -q --any-payload --stub posix "$installer" -o "$work/packed"
zstd -q -1 "$installer" -o "$work/packed.zst"
cat "$work/packed" "$work/packed.zst" >/dev/null  # in the page cache before the first timed run
echo "installer: $installer ($size bytes), packed $(stat -c %s "$work/packed") bytes, zstd -1 $(stat -c %s "$work/packed.zst") bytes"
echo "$(nproc) processors: $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); zstd $(zstd -V | sed 's/.* v//; s/,.*//')"

# The machine is shared: the processor time all took while the rounds ran, against what the timed
# runs and the comparisons took, says how much went elsewhere (about 1.3 s for 9 rounds on an idle
# machine: the kernel's threads writing the outputs out to the disk; more means other work).
machine_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
ticks_per_second=$(getconf CLK_TCK)
ours=0

# run NAME OUTPUT COMMAND...: one timed run, its wall seconds and peak resident kB appended to
# NAME's list; the output must be the installer.
declare -A seconds kilobytes
over_zstd="" over_one=""
run() {
  local name=$1 output=$2; shift 2
  local start end elapsed peak
  rm -f "$output"
  start=$(date +%s%N)
  /usr/bin/time -o "$work/time" -f '%M %U %S' "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  elapsed=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.4f", ns / 1e9 }')
  peak=$(tail -1 "$work/time" | cut -d' ' -f1)
  ours=$(tail -1 "$work/time" | awk -v o="$ours" '{ print o + $2 + $3 }')
  /usr/bin/time -o "$work/cmp-time" -f '%x %U %S' cmp -s "$output" "$installer" || true
  [ "$(tail -1 "$work/cmp-time" | cut -d' ' -f1)" = 0 ] ||
    { echo "extract-scaling: $name did not give the installer back" >&2; exit 1; }
  ours=$(tail -1 "$work/cmp-time" | awk -v o="$ours" '{ print o + $2 + $3 }')
  seconds[$name]+="$elapsed "
  kilobytes[$name]+="$peak "
  printf '  %-10s %7s s  %7s kB\n' "$name" "$elapsed" "$peak"
}
last() { set -- ${seconds[$1]}; echo "${!#}"; }

busy_before=$(machine_ticks)
rounds_start=$(date +%s%N)
for round in $(seq "$rounds"); do
  echo "round $round"
  run "zstd -d" "$work/out.zst" zstd -q -d -f "$work/packed.zst" -o "$work/out.zst"
  run "sfx -T 2" "$work/out.2" "$sfx" extract -q -f -T 2 "$work/packed" -o "$work/out.2"
  run "sfx -T 1" "$work/out.1" "$sfx" extract -q -f -T 1 "$work/packed" -o "$work/out.1"
  # The runs of a round meet about the same load: their ratios are the steadier figures.
  over_zstd+="$(awk -v z="$(last "zstd -d")" -v s="$(last "sfx -T 2")" 'BEGIN { printf "%.3f", z / s }') "
  over_one+="$(awk -v a="$(last "sfx -T 1")" -v b="$(last "sfx -T 2")" 'BEGIN { printf "%.3f", a / b }') "
done

busy_after=$(machine_ticks)
rounds_end=$(date +%s%N)

median() { tr ' ' '\n' | grep . | sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
largest() { tr ' ' '\n' | grep . | sort -n | tail -1; }

echo
echo "medians of $rounds rounds (every output equal to the installer):"
for name in "sfx -T 1" "sfx -T 2" "zstd -d"; do
  s=$(echo "${seconds[$name]}" | median)
  kb=$(echo "${kilobytes[$name]}" | largest)
  awk -v n="$name" -v s="$s" -v b="$size" -v k="$kb" \
    'BEGIN { printf "  %-10s %7.4f s  %7.1f MB/s  peak %6.1f MiB\n", n, s, b / s / 1e6, k / 1024 }'
done
one=$(echo "${seconds[sfx -T 1]}" | median)
two=$(echo "${seconds[sfx -T 2]}" | median)
z=$(echo "${seconds[zstd -d]}" | median)
awk -v z="$z" -v two="$two" -v r="$(echo "$over_zstd" | median)" -v all="$over_zstd" \
  'BEGIN { printf "extract -T 2 against zstd -d: %.2fx its speed (medians %.4f s and %.4f s); median of the rounds'"'"' ratios %.2fx (%s)\n", z / two, two, z, r, all }'
awk -v one="$one" -v two="$two" -v r="$(echo "$over_one" | median)" -v all="$over_one" \
  'BEGIN { printf "extract -T 2 against -T 1: %.2fx (medians %.4f s and %.4f s); median of the rounds'"'"' ratios %.2fx (%s)\n", one / two, two, one, r, all }'

awk -v b="$(( busy_after - busy_before ))" -v hz="$ticks_per_second" -v o="$ours" -v p="$(nproc)" \
  -v wall="$(( rounds_end - rounds_start ))" \
  'BEGIN { w = wall / 1e9; printf "processor time while the rounds ran: %.1f s of %.1f s on %d processors; the timed runs and the comparisons took %.1f s of it, the kernel threads and other processes about %.1f s\n", b / hz, w * p, p, o, b / hz - o }'

echo
echo "decoding in the process (build-perf/bench/decode_threads):"
"$root/build-perf/bench/decode_threads"
