#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each decoder's
# and the metadata reader's for SECONDS (default 600), two at a time, seeded
# with small files of every kind: the BMP header forms of make_seeds.py,
# every file the codec tests encode and the program's own outputs in each
# format. Prints each target's executions and findings; crashes are kept
# in build-fuzz/findings.
#
#   bash fuzz/run.sh [SECONDS] [TEST_BUILD_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
tests=${2:-$root/build}
out=$root/build-fuzz
cmake -S "$root" -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELLIMOR_FUZZ=ON -DPELLIMOR_TESTS=OFF >/dev/null
cmake --build "$out" -j"$(nproc)" --target bmp_fuzz bmp_any_fuzz png_fuzz jpeg_fuzz tiff_fuzz webp_fuzz \
  gif_fuzz metadata_fuzz >/dev/null

seeds=$out/seeds
rm -rf "$seeds" && mkdir -p "$seeds/all" "$out/findings"
python3 "$root/fuzz/make_seeds.py" "$seeds/all" >/dev/null
PELLIMOR_TEST_FILES=$seeds/all "$tests/pellimor_tests" --gtest_filter='*Png*:*Jpeg*:*Tiff*:*Bmp*:*Webp*:*Gif*' >/dev/null 2>&1 || true
for format in png jpeg tiff bmp webp; do
  for size in 50% 13x7! 200%; do
    "$tests/pellimor" -i "$root/samples/testcard.bmp" -o "$seeds/all/program-$format-${size//[%!]/}" \
      -size "$size" -format "$format" -progress off -quality 60 || true
  done
done
# Each target gets the files of its own kind, small ones first.
# The metadata reader gets every kind but BMP and GIF, whose metadata is
# not read.
for kind in bmp png jpeg tiff webp gif meta; do
  mkdir -p "$seeds/$kind"
  find "$seeds/all" -type f -size -64k | while read -r f; do
    case "$kind:$(head -c 4 "$f" | od -An -tx1 | tr -d ' \n')" in
      bmp:424d*|png:89504e47|jpeg:ffd8ff*|tiff:49492a00|tiff:4d4d002a|webp:52494646|gif:47494638) cp "$f" "$seeds/$kind/" ;;
      meta:89504e47|meta:ffd8ff*|meta:49492a00|meta:4d4d002a|meta:52494646) cp "$f" "$seeds/$kind/" ;;
    esac
  done
done

run() {  # target corpus
  local log=$out/$1.log
  mkdir -p "$out/corpus-$1" "$out/findings/$1"
  "$out/$1" "$out/corpus-$1" "$seeds/$2" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -artifact_prefix="$out/findings/$1/" -print_final_stats=1 >"$log" 2>&1 || true
  local runs=$(grep -a 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  local found=$(find "$out/findings/$1" -type f | wc -l)
  echo "$1: ${runs:-?} executions in ${seconds} s, $found findings"
}
run png_fuzz png & run jpeg_fuzz jpeg & wait
run tiff_fuzz tiff & run bmp_any_fuzz bmp & wait
run webp_fuzz webp & run gif_fuzz gif & wait
run bmp_fuzz bmp & run metadata_fuzz meta & wait
