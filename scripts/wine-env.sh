# Sourced by windows-tests.sh, screenshots.sh and the benchmarks: the wine that can run this
# host's Windows programs, and throw-away wine prefixes set up to run them on a virtual display.

# Sets wine_arch and wine for programs of ARCH (i686 or x86_64): the loader to run them with,
# and the kind of prefix they need. Debian's /usr/bin/wine starts the 32-bit loader whenever it
# is installed, so 64-bit programs are run by the 64-bit loader itself.
wine_use() {
  if [ "$1" = i686 ]; then
    wine_arch=i686 wine=/usr/lib/wine/wine
    export WINEARCH=win32
    unset WINELOADER
  else
    wine_arch=x86_64 wine=/usr/lib/wine/wine64
    export WINEARCH=win64 WINELOADER=$wine
  fi
}

# wine_use for this host: i686, or x86_64 on a host whose kernel runs no 32-bit code (wine's
# 32-bit loader then fails with "Exec format error" and no PE32 program can run).
# SFX_HOST_64_ONLY=1 makes a host that runs 32-bit code take the 64-bit-only path, so that either
# kind of host can check both.
wine_pick() {
  if [ "${SFX_HOST_64_ONLY:-0}" != 1 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine_use i686
  else
    wine_use x86_64
  fi
}

wine_cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  rm -rf "$scratch"
}

# Makes a new wine prefix for the architecture wine_use chose, in a scratch folder ($scratch,
# removed on exit, shared by the prefixes made by one script), and waits until the wineserver
# that made it has gone.
wine_prefix() {
  if [ -z "${scratch:-}" ]; then
    scratch=$(mktemp -d)
    trap wine_cleanup EXIT
  fi
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  export WINEPREFIX=$scratch/prefix-$wine_arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Without a window manager, wine must manage its windows itself (Managed=N), or every hide
  # costs two seconds and captions are lost; a crash must not open a dialog that waits forever.
  cat >"$scratch/ci.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  timeout 300 "$wine" reg import "$scratch/ci.reg" </dev/null >/dev/null 2>&1
  timeout 60 wineserver -w >/dev/null 2>&1 || true
}
