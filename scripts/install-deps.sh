#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when run as root and something is
# missing. Safe to run again: a machine that has everything is left alone.
set -euo pipefail

native=(cmake g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
        libcli11-dev nlohmann-json3-dev dpkg-dev liblz4-dev libzstd-dev liblzo2-dev zlib1g-dev
        musl-tools libarchive-tools python3 git strace util-linux)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xauth xdotool
         imagemagick icoutils file osslsigncode openssl nsis wixl)

want=("${native[@]}")
if [ "${SFX_SKIP_WINDOWS:-0}" != 1 ]; then want+=("${windows[@]}"); fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 2
fi
echo "install-deps: installing ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
