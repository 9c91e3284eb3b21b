#!/usr/bin/env bash
# Installs what is missing, builds pellimor, and enlarges the sample test card
# from 192x128 to 384x256: the result is testcard_big.bmp in the current folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
ensure_packages "${build_packages[@]}"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DPELLIMOR_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)"
"$root/build/pellimor" -i "$root/samples/testcard.bmp" -o testcard_big -sizexminus 192 -sizexminusy 128 \
  >/dev/null 2>&1
echo "wrote $(pwd)/testcard_big.bmp (384 x 256)"
