#!/bin/sh
# Draws the launcher's icon (a parcel with an arrow coming out of it) and builds launcher.ico:
# 32 x 32 and 16 x 16 images, each in 16 and in 256 colours. Needs ImageMagick and icoutils.
# The .ico is committed, so the build does not need either; run this only to change the icon.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Drawn at 32 x 32 on a 32-unit grid; the 16 x 16 image is drawn at half scale, not resized,
# so that its edges stay sharp.
draw() {  # draw SIZE OUT
  s=$1
  k=$(( s / 16 ))  # units per half-pixel step of the 16-pixel grid
  convert -size "${s}x${s}" xc:none \
    -fill '#7a4a1c' -stroke '#3a2008' -strokewidth 1 \
      -draw "polygon $((2*k)),$((7*k)) $((8*k)),$((4*k)) $((14*k-1)),$((7*k)) $((8*k)),$((10*k))" \
    -fill '#c8843c' \
      -draw "polygon $((2*k)),$((7*k)) $((8*k)),$((10*k)) $((8*k)),$((16*k-1)) $((2*k)),$((12*k))" \
    -fill '#a0642a' \
      -draw "polygon $((8*k)),$((10*k)) $((14*k-1)),$((7*k)) $((14*k-1)),$((12*k)) $((8*k)),$((16*k-1))" \
    -fill '#0a24a0' -stroke '#000040' \
      -draw "polygon $((6*k)),$((6*k)) $((6*k)),$((3*k)) $((4*k)),$((3*k)) $((8*k)),0 $((12*k-1)),$((3*k)) $((10*k)),$((3*k)) $((10*k)),$((6*k))" \
    "$work/full$s.png"
  convert "$work/full$s.png" -alpha off -alpha on -channel A -threshold 50% +channel \
    +dither -colors 15 "PNG8:$work/icon$s-16.png"
  convert "$work/full$s.png" -channel A -threshold 50% +channel \
    +dither -colors 255 "PNG8:$work/icon$s-256.png"
}
draw 32
draw 16

icotool -c -o "$here/launcher.ico" \
  -b 4 "$work/icon32-16.png" -b 4 "$work/icon16-16.png" \
  -b 8 "$work/icon32-256.png" -b 8 "$work/icon16-256.png"
# Each 256-colour image keeps only the colours it uses: the palette was most of its bytes.
python3 "$here/trim-icon-palettes.py" "$here/launcher.ico"
icotool -l "$here/launcher.ico"
