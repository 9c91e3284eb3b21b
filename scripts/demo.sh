#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds pellimor, and enlarges the sample test card
# from 192x128 to 384x256: the result is testcard_big.bmp in the current folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
ensure_packages "${build_packages[@]}"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DPELLIMOR_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)"
# The progress lines are kept aside and shown only when the run fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$root/build/pellimor" -i "$root/samples/testcard.bmp" -o testcard_big -sizexminus 192 -sizexminusy 128 \
  >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  echo "demo: pellimor failed with status $status; what it printed:" >&2
  cat "$log" >&2
  exit "$status"
fi
echo "wrote $(pwd)/testcard_big.bmp (384 x 256)"
