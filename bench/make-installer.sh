#!/usr/bin/env bash
# Makes a big stand-in installer for the benchmarks: a small program followed by the standard
# corpus 32 times (about 94 MB), or by as many megabytes of generated data where the corpus is
# missing.
#   bench/make-installer.sh OUTPUT [PROGRAM] [COPIES]
# PROGRAM (default: a two-line shell script) goes first, so the result still runs as that
# program; COPIES (default 32) is how often the corpus follows it.
set -euo pipefail
out=${1:?usage: make-installer.sh OUTPUT [PROGRAM] [COPIES]}
program=${2:-}
copies=${3:-32}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
corpus=${SFX_CORPUS_DIR:-$root/../shared/corpus}

{
  if [ -n "$program" ]; then cat "$program"
  else printf '#!/bin/sh\nexit 0\n'; fi
  if [ -d "$corpus" ] && [ -n "$(ls -A "$corpus" 2>/dev/null)" ]; then
    for _ in $(seq "$copies"); do cat "$corpus"/*; done
  else
    # Text-like and random stretches, about as compressible as the corpus taken together.
    for i in $(seq "$copies"); do
      seq -f "record %g of the stand-in installer's bulk, copy $i" 1 40000
      head -c 1000000 /dev/urandom
    done
  fi
} >"$out"
[ -z "$program" ] && chmod +x "$out"
echo "$out: $(stat -c %s "$out") bytes"
