#!/usr/bin/env bash
# Signing a packed launcher, end to end, with a throw-away certificate:
#   scripts/signing-test.sh NATIVE_BUILD WINDOWS_BUILD
# - pack a Windows program with a publisher's identity (title, product, version), sign the result
#   with osslsigncode, and check that the signature verifies, that `sfx verify` passes the signed
#   file, and that under wine the signed launcher starts its program;
# - sign a bare launcher, append a payload after the signature (where a signature does not
#   reach), and check that `sfx verify` finds no payload and the launcher shows its message and
#   starts nothing;
# - check that `sfx pack` refuses a signed stub (signing comes after packing).
# WINDOWS_BUILD is the 32-bit tree; on a host whose kernel runs no 32-bit code its -x64 twin
# runs under wine64 instead. Needs osslsigncode, openssl, wine, xvfb and xdotool.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=$(realpath "${1:?usage: signing-test.sh NATIVE_BUILD WINDOWS_BUILD}")
windows=$(realpath "${2:?usage: signing-test.sh NATIVE_BUILD WINDOWS_BUILD}")
. "$root/scripts/wine-env.sh"
wine_pick
[ "$wine_arch" = i686 ] || windows=$windows-x64
sfx=$native/tools/sfx/sfx
stub=$windows/launcher/platform/win32/launcher.exe
child=$windows/tests/win32/wine_child.exe
wine_prefix
work=$scratch/signing
mkdir -p "$work/out"

failed=0
quietly() { "$@" >/dev/null 2>&1; }
check() {  # DESCRIPTION COMMAND...: runs the command, says whether it held
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failed=1; fi
}

# A code-signing certificate of our own, its own authority.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sfx signing test" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
sign() { osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "sfx signing test" \
           -in "$1" -out "$2" >/dev/null; }

"$sfx" pack -q --stub "$stub" "$child" -o "$work/setup.exe" --title "Acme Tool Setup" --product "Acme Tool" \
  --company "Acme Corporation" --product-version 1.2.3.4
sign "$work/setup.exe" "$work/signed.exe"
check "the signed launcher's signature verifies" \
  quietly osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe"
check "sfx verify passes the signed launcher" "$sfx" verify -q "$work/signed.exe"

sign "$stub" "$work/signed-stub.exe"
status=0
"$sfx" pack -q --stub "$work/signed-stub.exe" "$child" -o "$work/refused.exe" 2>/dev/null || status=$?
check "sfx pack refuses a signed stub (exit 2)" test "$status" = 2
cp "$work/signed-stub.exe" "$work/after.exe"
"$sfx" compress -q "$child" -o - >>"$work/after.exe"
status=0
"$sfx" verify -q "$work/after.exe" 2>/dev/null || status=$?
check "sfx verify finds no payload after a signature (exit 1)" test "$status" = 1

export SFX_CHILD_OUT="Z:$(echo "$work/out" | tr / '\\')" WINE_FOR_TESTS=$wine WORK=$work
timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  wineserver -p </dev/null >/dev/null 2>&1
  # The signed launcher starts its program: the program writes done.txt.
  status=0
  timeout 120 "$WINE_FOR_TESTS" "$WORK/signed.exe" </dev/null >/dev/null 2>&1 || status=$?
  for _ in $(seq 100); do [ -e "$WORK/out/done.txt" ] && break; sleep 0.1; done
  if [ "$status" = 1 ] && [ -e "$WORK/out/done.txt" ]; then echo "ok: the signed launcher starts its program under wine"
  else echo "FAIL: the signed launcher exited $status and its program did not run"; exit 1; fi
  rm -f "$WORK/out"/*

  # A payload after the signature: the message, which is dismissed as a user would, and nothing
  # started.
  timeout 120 "$WINE_FOR_TESTS" "$WORK/after.exe" </dev/null >/dev/null 2>&1 &
  launcher=$!
  box=""
  for _ in $(seq 300); do
    box=$(xdotool search --name "^Corvalin Installation Cancelled$" 2>/dev/null | head -1) && [ -n "$box" ] && break
    sleep 0.1
  done
  sleep 0.5
  if [ -n "$box" ]; then
    eval "$(xdotool getwindowgeometry --shell "$box")"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 21)) click 1
  fi
  status=0
  wait $launcher || status=$?
  sleep 0.5
  if [ -n "$box" ] && [ "$status" = 0 ] && [ ! -e "$WORK/out/done.txt" ]; then
    echo "ok: a payload after the signature gives the message and starts nothing"
  else echo "FAIL: a payload after the signature: message window ${box:-none}, exit $status"; exit 1; fi
  wineserver -k >/dev/null 2>&1 || true' || failed=1
exit $failed
