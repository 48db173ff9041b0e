#!/usr/bin/env bash
# Takes the README's pictures of the launcher under Xvfb: the progress window part-way through
# a run (docs/progress-window.png), the same for a launcher packed with a publisher's title
# (docs/progress-window-publisher.png), and the failure message (docs/failure-message.png).
#
#   scripts/screenshots.sh [BUILD_DIR]      (default: build-win32, as scripts/windows-tests.sh)
#
# The run is held for the shot from outside, without changing the product: the launcher is
# stopped (SIGSTOP) while the window is captured, and let go again until its bar is part-way.
# The packed program is large (120 MB of filler after a small program of ours) so that the
# bar is seen part-way at all. Needs what windows-tests.sh needs, plus xdotool and ImageMagick.
# SFX_TRACE=1 traces the steps under Xvfb.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win32}")
toolchain=$root/cmake/toolchain-mingw-i686.cmake
. "$root/scripts/wine-env.sh"

wine_pick
arch=$wine_arch
[ "$arch" = i686 ] || build=$build-x64  # the same program built as 64-bit code looks the same
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSFX_MINGW_ARCH="$arch" >/dev/null
cmake --build "$build" --target launcher wine_child pack_tool sfx -j2 >/dev/null

wine_prefix

stub=$build/launcher/platform/win32/launcher.exe
timeout 120 "$wine" "$build/tests/win32/pack_tool.exe" "$stub" "$build/tests/win32/wine_child.exe" \
  "$scratch/setup.exe" 120000000 </dev/null >/dev/null 2>&1
cp "$stub" "$scratch/bare.exe"
# The same program packed by sfx.exe with a publisher's title.
timeout 120 "$wine" "$build/tools/sfx/sfx.exe" extract -q "$scratch/setup.exe" -o "$scratch/program.exe" \
  </dev/null >/dev/null 2>&1
timeout 300 "$wine" "$build/tools/sfx/sfx.exe" pack -q --stub "$stub" "$scratch/program.exe" \
  -o "$scratch/acme.exe" --title "Acme Tool Setup" </dev/null >/dev/null 2>&1
# The persistent wineserver below must find none left from these runs.
timeout 60 wineserver -w

cat >"$scratch/shoot.sh" <<'SHOOT'
set -euo pipefail
cd "$SCRATCH"
wineserver -p </dev/null >/dev/null 2>&1
timeout 120 "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true

find_window() {  # find_window CAPTION: its X window id, waiting up to 20 s
  local id
  for _ in $(seq 400); do
    # Searching can fail (BadWindow) while wine creates or destroys windows: retry.
    id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.05
  done
  echo "no window '$1' appeared" >&2
  return 1
}

# The bar's width in pixels in a shot: the extent of its colour, red 160, green 36, blue 10.
bar_width() {
  convert "$1" -alpha off -fill black +opaque '#A0240A' -fill white -opaque '#A0240A' \
    -trim -format '%w' info: 2>/dev/null || echo 0
}

# The progress window, held part-way: a run is stopped, shot, and let go again until the bar
# covers between a quarter and two thirds of the window's width.
shoot_part_way() {  # shoot_part_way LAUNCHER CAPTION PICTURE
  timeout 120 "$WINE" "$1" </dev/null >/dev/null 2>&1 &
  local launcher=$! window held=no width bar
  window=$(find_window "$2")
  for _ in $(seq 400); do
    kill -STOP "$launcher"
    sleep 0.1
    # A window still being mapped cannot be read yet: let the run go on and try again.
    if ! import -window "$window" "$3" 2>/dev/null; then
      kill -CONT "$launcher"
      sleep 0.05
      continue
    fi
    width=$(identify -format '%w' "$3")
    bar=$(bar_width "$3")
    if [ "$bar" -gt 1 ] && [ $((bar * 4)) -ge "$width" ] && [ $((bar * 3)) -le $((width * 2)) ]; then
      held=yes
    fi
    kill -CONT "$launcher"
    [ $held = yes ] && break
    sleep 0.02
  done
  wait "$launcher" || true
  [ $held = yes ] || { echo "the bar was never caught part-way" >&2; exit 1; }
}
shoot_part_way setup.exe "Quenderby Corvalin Installation" progress.png
shoot_part_way acme.exe "Acme Tool Setup" publisher.png

# The failure message: a launcher without a payload. Its OK button is clicked as a user would.
timeout 120 "$WINE" bare.exe </dev/null >/dev/null 2>&1 &
launcher=$!
window=$(find_window "Corvalin Installation Cancelled")
sleep 0.5
import -window "$window" message.png
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 21)) click 1
wait "$launcher" || true
wineserver -k >/dev/null 2>&1 || true
SHOOT

SCRATCH=$scratch WINE=$wine timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" \
  bash ${SFX_TRACE:+-x} "$scratch/shoot.sh"
mkdir -p "$root/docs"
cp "$scratch/progress.png" "$root/docs/progress-window.png"
cp "$scratch/publisher.png" "$root/docs/progress-window-publisher.png"
cp "$scratch/message.png" "$root/docs/failure-message.png"
echo "wrote docs/progress-window.png, docs/progress-window-publisher.png and docs/failure-message.png"
