#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes doc/taper.png: a step edge and a small photo enlarged 4x with
# -taper 0, 1 and 2, side by side. Needs build/pellimor and ImageMagick
# (for the test pictures and to put the panels together).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A 50/200 step with a dark disc, and ImageMagick's built-in 70x46 photo.
convert -size 70x46 xc:'gray(50)' -fill 'gray(200)' -draw 'rectangle 35,0 69,45' \
  -fill 'gray(20)' -draw 'circle 18,23 18,12' -type TrueColor "$work/step.png"
convert rose: "$work/photo.png"
for picture in step photo; do
  for p in 0 1 2; do
    "$root/build/pellimor" -i "$work/$picture.png" -o "$work/$picture-$p" -format png -size 400% \
      -taper $p -progress off
  done
  convert "$work/$picture-0.png" "$work/$picture-1.png" "$work/$picture-2.png" -bordercolor white \
    -border 4 +append "$work/$picture-row.png"
done
convert "$work/step-row.png" "$work/photo-row.png" -gravity west -append "$root/doc/taper.png"
echo "wrote $root/doc/taper.png"
