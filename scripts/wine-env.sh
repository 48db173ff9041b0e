# Sourced by windows-tests.sh and screenshots.sh: the wine that can run this host's Windows
# programs, and a throw-away wine prefix set up to run them on a virtual display.

# Sets wine_arch (i686, or x86_64 on a host whose kernel runs no 32-bit code: wine's 32-bit
# loader then fails with "Exec format error" and no PE32 program can run) and wine, the loader
# to run programs of that architecture with.
wine_pick() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine_arch=i686 wine=/usr/lib/wine/wine
    export WINEARCH=win32
  else
    wine_arch=x86_64 wine=/usr/lib/wine/wine64
    export WINEARCH=win64 WINELOADER=$wine
  fi
}

wine_cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  rm -rf "$scratch"
}

# Makes a scratch folder ($scratch, removed on exit) holding a new wine prefix.
wine_prefix() {
  scratch=$(mktemp -d)
  export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap wine_cleanup EXIT
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
}
