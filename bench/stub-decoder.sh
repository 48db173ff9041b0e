#!/usr/bin/env bash
# The launcher stub's decoder, built as the stub builds it (for size) beside builds for speed:
# its code size (i686) and its speed as 32-bit Windows code under wine (as 64-bit code under
# wine64 on a host whose kernel runs no 32-bit code), on the corpus (else generated data).
#   bench/stub-decoder.sh [FILES...]
# Needs g++-mingw-w64-i686 (and -x86-64), wine. Run by hand; prints a table.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/wine-env.sh"
wine_pick
files=("$@")
if [ ${#files[@]} -eq 0 ] && [ -d "$root/../shared/corpus" ]; then files=("$root"/../shared/corpus/*); fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

win_files=()
for f in "${files[@]}"; do win_files+=("Z:$(realpath "$f" | tr / '\\')"); done

cxx_size=i686-w64-mingw32-g++-posix
cxx_run=${wine_arch}-w64-mingw32-g++-posix
common=(-std=c++17 -I"$root/codec" -fno-exceptions -fno-rtti -DNDEBUG)
printf '%-34s %12s %12s\n' "decoder build" "i686 bytes" "MB/s ($wine_arch)"
for flags in "-Os" "-Os -DSFX_KEEP_LOOPS_ROLLED" "-O2 -DSFX_KEEP_LOOPS_ROLLED" "-O2" "-O3"; do
  # shellcheck disable=SC2086
  $cxx_size "${common[@]}" $flags -c "$root/codec/block_decode.cpp" -o "$work/d.o"
  size=$((16#$(i686-w64-mingw32-nm -S --size-sort "$work/d.o" | awk '/block_decode/ {print $2}')))
  # The encoder that makes the blocks is built for speed; only the decoder takes the flags.
  $cxx_run "${common[@]}" -O2 -c "$root/codec/block_encode.cpp" -o "$work/e.o"
  # shellcheck disable=SC2086
  $cxx_run "${common[@]}" $flags -c "$root/codec/block_decode.cpp" -o "$work/d.o"
  $cxx_run "${common[@]}" -O2 "$root/bench/decode_speed.cpp" "$work/d.o" "$work/e.o" -static \
    -o "$work/decode_speed.exe"
  speed=$(timeout 300 "$wine" "$work/decode_speed.exe" "${win_files[@]}" 2>/dev/null | tr -d '\r')
  printf '%-34s %12s %12s\n' "$flags" "$size" "$speed"
done
timeout 30 wineserver -k >/dev/null 2>&1 || true
