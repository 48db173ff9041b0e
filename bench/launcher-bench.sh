#!/usr/bin/env bash
# The launcher's whole run beside `sfx extract` on the same packed file, in one run:
#   bench/launcher-bench.sh [RUNS]          (default 5 runs of each; the medians are compared)
#
# Makes a ~94 MB installer (bench/make-installer.sh: a small program, then the corpus 32 times),
# packs it, and times
#   - `sfx extract` of the packed file (native, the reference),
#   - the packed POSIX launcher: find, unpack into a new temporary file, start the program, on
#     every processor (its blocks decoded ahead on helper threads) and held to one (`taskset -c
#     0`: the launcher then starts no helper),
#   - where wine is present, the Windows launcher under wine on a virtual display, packed with
#     the big installer and with a tiny one: creating the window under wine alone costs seconds,
#     so the difference of the two is the unpack; again on every processor and held to one.
# Builds what it needs in build-perf/ (Release) and build-win32/ (or build-win32-x64/ on a host
# whose kernel runs no 32-bit code). Run by hand, not in CI: it takes a minute and writes some
# hundreds of megabytes in a scratch folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-5}
jobs=$(nproc 2>/dev/null || echo 2)

if [ "${SFX_BENCH_UNDER_XVFB:-}" = "" ]; then
  echo "== building (build-perf, Release)"
  cmake -S "$root" -B "$root/build-perf" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build-perf" -j"$jobs" --target sfx >/dev/null
  with_wine=0
  if command -v wine >/dev/null && command -v i686-w64-mingw32-g++-posix >/dev/null; then
    . "$root/scripts/wine-env.sh"
    wine_pick
    win_build=$root/build-win32
    [ "$wine_arch" = i686 ] || win_build=$root/build-win32-x64
    echo "== building the Windows launcher ($wine_arch, $win_build)"
    cmake -S "$root" -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
      -DSFX_MINGW_ARCH="$wine_arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$win_build" -j"$jobs" --target launcher wine_child >/dev/null
    with_wine=1
  fi
  export SFX_BENCH_WORK=$(mktemp -d) SFX_BENCH_WITH_WINE=$with_wine SFX_BENCH_WIN_BUILD=${win_build:-}
  trap 'rm -rf "$SFX_BENCH_WORK"' EXIT
  if [ "$with_wine" = 1 ] && [ -z "${DISPLAY:-}" ]; then
    SFX_BENCH_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$runs"
  else
    SFX_BENCH_UNDER_XVFB=1 "$0" "$runs"
  fi
  exit
fi

work=$SFX_BENCH_WORK
sfx=$root/build-perf/tools/sfx/sfx

now() { date +%s%N; }
# median TIMES...: the middle value (seconds, from nanoseconds)
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {printf "%.3f", v[int((NR+1)/2)] / 1e9}'; }

echo "== making the installer and packing it"
"$root/bench/make-installer.sh" "$work/setup" >/dev/null
# The POSIX launcher sfx carries (statically linked against musl where musl-tools is installed).
"$sfx" pack -q --stub posix "$work/setup" -o "$work/setup-sfx"
echo "installer: $(stat -c %s "$work/setup") bytes; packed: $(stat -c %s "$work/setup-sfx") bytes"
mkdir -p "$work/tmp"

extract_times=() posix_times=() posix1_times=()
for _ in $(seq "$runs"); do
  rm -f "$work/out"
  t0=$(now); "$sfx" extract -q "$work/setup-sfx" -o "$work/out"; t1=$(now)
  extract_times+=($((t1 - t0)))
  for cpus in all one; do
    pin=(); [ "$cpus" = one ] && pin=(taskset -c 0)
    t0=$(now); status=0; TMPDIR=$work/tmp "${pin[@]}" "$work/setup-sfx" || status=$?; t1=$(now)
    [ "$status" = 1 ] || { echo "launcher-bench: the POSIX launcher exited $status" >&2; exit 1; }
    if [ "$cpus" = one ]; then posix1_times+=($((t1 - t0))); else posix_times+=($((t1 - t0))); fi
    sleep 0.2; rm -rf "$work/tmp"/SFX*
  done
done
extract=$(median "${extract_times[@]}")
posix=$(median "${posix_times[@]}")
posix1=$(median "${posix1_times[@]}")
echo
echo "median of $runs runs, seconds:"
printf '  %-44s %8s\n' "sfx extract (native)" "$extract"
printf '  %-44s %8s   %sx the speed of sfx extract\n' "POSIX launcher, whole run ($jobs processors)" "$posix" \
  "$(awk -v a="$extract" -v b="$posix" 'BEGIN {printf "%.2f", a / b}')"
printf '  %-44s %8s   every processor: %sx the speed of one\n' "POSIX launcher, whole run (one processor)" "$posix1" \
  "$(awk -v a="$posix1" -v b="$posix" 'BEGIN {printf "%.2f", a / b}')"

if [ "$SFX_BENCH_WITH_WINE" = 1 ]; then
  . "$root/scripts/wine-env.sh"
  wine_pick
  wine_prefix
  stub=$SFX_BENCH_WIN_BUILD/launcher/platform/win32/launcher.exe
  child=$SFX_BENCH_WIN_BUILD/tests/win32/wine_child.exe
  "$root/bench/make-installer.sh" "$work/setup.exe" "$child" >/dev/null
  "$sfx" pack -q --stub "$stub" "$work/setup.exe" -o "$work/big.exe"
  "$sfx" pack -q --stub "$stub" "$child" -o "$work/tiny.exe"
  wine_temp=$(echo "$WINEPREFIX"/drive_c/users/*/Temp)
  big_times=() tiny_times=() wextract_times=() big1_times=() tiny1_times=()
  for _ in $(seq "$runs"); do
    for run in tiny big tiny1 big1; do
      which=${run%1}
      pin=(); [ "$run" != "$which" ] && pin=(taskset -c 0)
      t0=$(now); timeout 300 "${pin[@]}" "$wine" "$work/$which.exe" </dev/null >/dev/null 2>&1 || true; t1=$(now)
      case $run in
        big) big_times+=($((t1 - t0))) ;;
        tiny) tiny_times+=($((t1 - t0))) ;;
        big1) big1_times+=($((t1 - t0))) ;;
        tiny1) tiny1_times+=($((t1 - t0))) ;;
      esac
      timeout 30 wineserver -w || true
      rm -rf "$wine_temp"/SFX*
    done
    rm -f "$work/out"
    t0=$(now); "$sfx" extract -q "$work/big.exe" -o "$work/out"; t1=$(now)
    wextract_times+=($((t1 - t0)))
  done
  big=$(median "${big_times[@]}") tiny=$(median "${tiny_times[@]}") wextract=$(median "${wextract_times[@]}")
  unpack=$(awk -v a="$big" -v b="$tiny" 'BEGIN {printf "%.3f", a - b}')
  big1=$(median "${big1_times[@]}") tiny1=$(median "${tiny1_times[@]}")
  unpack1=$(awk -v a="$big1" -v b="$tiny1" 'BEGIN {printf "%.3f", a - b}')
  echo
  echo "Windows launcher ($wine_arch) under wine, $(stat -c %s "$work/big.exe") bytes packed; median of $runs runs, seconds:"
  printf '  %-44s %8s\n' "big payload, whole run" "$big"
  printf '  %-44s %8s\n' "tiny payload, whole run (window, start)" "$tiny"
  printf '  %-44s %8s\n' "sfx extract of the big file (native)" "$wextract"
  printf '  %-44s %8s   %sx the time of sfx extract\n' "unpack (big less tiny)" "$unpack" \
    "$(awk -v a="$unpack" -v b="$wextract" 'BEGIN {printf "%.2f", a / b}')"
  printf '  %-44s %8s   every processor: %sx the speed of one\n' "unpack on one processor (big less tiny)" "$unpack1" \
    "$(awk -v a="$unpack1" -v b="$unpack" 'BEGIN {printf "%.2f", a / b}')"
fi
