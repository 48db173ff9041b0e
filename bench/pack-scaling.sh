#!/usr/bin/env bash
# How `sfx pack` scales from one thread to two on the big stand-in installer: wall time and peak
# memory of whole runs, alternating -T 1 and -T 2 so that both meet the same load on a shared
# machine, with the packed files compared byte for byte every round. zstd -1 (and gzip -1) on
# the same file in the same rounds, where installed, for scale. Run by hand, not in CI.
#
#   bench/pack-scaling.sh [ROUNDS] [INSTALLER]
#
# ROUNDS (default 9); INSTALLER (default: made by bench/make-installer.sh, about 94 MB). Builds
# sfx in build-perf/ (Release). Prints every run, then medians and the ratio of the medians.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${1:-9}
installer=${2:-}
[ -x /usr/bin/time ] || { echo "pack-scaling: needs GNU time (apt-get install time)" >&2; exit 2; }

echo "building sfx (build-perf/, Release) ..."
cmake -S "$root" -B "$root/build-perf" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build-perf" --target sfx -j"$(nproc)" >/dev/null
sfx=$root/build-perf/tools/sfx/sfx

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$installer" ]; then
  installer=$work/installer
  "$root/bench/make-installer.sh" "$installer" >/dev/null
fi
size=$(stat -c %s "$installer")
cat "$installer" >/dev/null  # in the page cache before the first timed run
echo "installer: $installer ($size bytes); $(nproc) processors: $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"

# run NAME COMMAND...: one timed run, its wall seconds and peak resident kB appended to NAME's list.
declare -A seconds kilobytes
ratios=""
run() {
  local name=$1; shift
  local start end elapsed peak
  start=$(date +%s%N)
  /usr/bin/time -o "$work/time" -f '%M' "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  elapsed=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
  peak=$(tail -1 "$work/time")
  seconds[$name]+="$elapsed "
  kilobytes[$name]+="$peak "
  printf '  %-12s %7s s  %7s kB\n' "$name" "$elapsed" "$peak"
}

for round in $(seq "$rounds"); do
  echo "round $round"
  run "sfx -T 1" "$sfx" pack -q -f -T 1 "$installer" -o "$work/one.exe"
  run "sfx -T 2" "$sfx" pack -q -f -T 2 "$installer" -o "$work/two.exe"
  cmp -s "$work/one.exe" "$work/two.exe" || { echo "pack-scaling: -T 1 and -T 2 differ" >&2; exit 1; }
  # The two runs of a round meet about the same load: their ratio is the steadier figure.
  set -- ${seconds[sfx -T 1]}; one_now=${!#}
  set -- ${seconds[sfx -T 2]}; two_now=${!#}
  ratios+="$(awk -v a="$one_now" -v b="$two_now" 'BEGIN { printf "%.3f", a / b }') "
  if command -v zstd >/dev/null; then
    run "zstd -1" zstd -q -f -1 -T1 "$installer" -o "$work/z1.zst"
    run "zstd -1 -T2" zstd -q -f -1 -T2 "$installer" -o "$work/z2.zst"
  fi
  if command -v gzip >/dev/null; then run "gzip -1" sh -c 'gzip -1 -c "$1" >"$2"' sh "$installer" "$work/g.gz"; fi
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
largest() { tr ' ' '\n' | grep . | sort -n | tail -1; }

echo
echo "medians of $rounds rounds (packed files identical in every round):"
for name in "sfx -T 1" "sfx -T 2" "zstd -1" "zstd -1 -T2" "gzip -1"; do
  [ -n "${seconds[$name]:-}" ] || continue
  s=$(echo "${seconds[$name]}" | median)
  kb=$(echo "${kilobytes[$name]}" | largest)
  awk -v n="$name" -v s="$s" -v b="$size" -v k="$kb" \
    'BEGIN { printf "  %-12s %6.3f s  %7.1f MB/s  peak %6.1f MiB\n", n, s, b / s / 1e6, k / 1024 }' 
done
one=$(echo "${seconds[sfx -T 1]}" | median)
two=$(echo "${seconds[sfx -T 2]}" | median)
awk -v one="$one" -v two="$two" \
  'BEGIN { printf "pack on 2 threads: %.2fx as fast as on 1 (median %.3f s against %.3f s)\n", one / two, two, one }' 
awk -v r="$(echo "$ratios" | median)" -v all="$ratios" \
  'BEGIN { printf "median of the rounds'"'"' own ratios: %.2fx (rounds: %s)\n", r, all }'
if [ -n "${seconds[zstd -1 -T2]:-}" ]; then
  z2=$(echo "${seconds[zstd -1 -T2]}" | median)
  awk -v two="$two" -v z="$z2" 'BEGIN { printf "sfx pack -T 2 takes %.2fx the time of zstd -1 -T2\n", two / z }' 
fi
