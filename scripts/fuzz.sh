#!/usr/bin/env bash
# Runs every fuzz target (or those named) under libFuzzer for SECONDS each, with AddressSanitizer
# and UndefinedBehaviorSanitizer, and prints how many inputs each ran:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (default: 60 seconds; targets: decode round_trip
#                                               reencode payload_reader integrity
#                                               installer_resources icon_file
#                                               bundle_reader name_policy)
# Builds build-fuzz/ with clang (needs clang and libclang-rt-14-dev). Each target starts from its
# saved inputs in fuzz/corpus/<target> and keeps what it finds in build-fuzz/found/<target>;
# copy an input worth keeping into fuzz/corpus/<target>, where ctest replays it in every build.
# A finding stops its target, leaves crash-* in build-fuzz/found, and makes the exit status 1;
# an UndefinedBehaviorSanitizer report is a finding too (it stops the run rather than going on).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(decode round_trip reencode payload_reader integrity installer_resources icon_file
                                 bundle_reader name_policy)
build=$root/build-fuzz

CXX=clang++ CC=clang cmake -S "$root" -B "$build" -DSFX_LIBFUZZER=ON -DSFX_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" \
  --target "${targets[@]/#/fuzz_}" >/dev/null

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0 total=0
printf '%-20s %12s %10s %10s\n' target runs seconds "runs/s"
for target in "${targets[@]}"; do
  found=$build/found/$target
  mkdir -p "$found"
  log=$build/found/$target.log
  if (cd "$found" && "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        "$found" "$root/fuzz/corpus/$target") >"$log" 2>&1; then :; else status=1; fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  runs=${runs:-0} took=${took:-$seconds}
  total=$((total + runs))
  printf '%-20s %12s %10s %10s\n' "$target" "$runs" "$took" "$((runs / (took > 0 ? took : 1)))"
  if grep -q 'ERROR: \|runtime error: \|property failed' "$log"; then
    echo "fuzz: $target found something; see $log and $found" >&2
    status=1
  fi
done
printf '%-20s %12s\n' total "$total"
exit $status
