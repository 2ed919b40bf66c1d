#!/usr/bin/env bash
# Benchmark: extract.erofs on images of a current mkfs.erofs (LZMA, DEFLATE, Zstandard,
# fragments, dedupe, 48-bit, metabox). The installed mkfs.erofs (1.5) writes none of these, so
# large images of these kinds cannot be made here: each sample image of
# ../shared/samples/erofs_modern (908 KiB of files each) is extracted ROUNDS times in a row and
# the file bytes written per second of wall time are reported, with the peak memory of one run.
# For comparison the same is done for an lz4hc image of the same tree made by the installed
# mkfs.erofs (after extracting one sample to get the tree), with fsck.erofs --extract on it.
#
# Usage: bench/erofs/bench_modern.sh [BUILD_DIR] [SAMPLES_DIR]   (ROUNDS, default 40)
set -euo pipefail
build=${1:-build}
tool=$(realpath "$build/bin/erofs/extract.erofs")
samples=${2:-$(dirname "$0")/../../../shared/samples/erofs_modern}
rounds=${ROUNDS:-40}
work=$(mktemp -d /tmp/orvex-bench-modern.XXXXXX)
trap 'rm -rf "$work"' EXIT
[ -x "$tool" ] || { echo "no extract.erofs at $tool" >&2; exit 1; }

# Bytes of regular files in one extracted sample.
"$tool" -i "$samples/lzma.img" -x -f -o "$work/ref" > /dev/null
bytes=$(find "$work/ref/lzma" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
mkfs.erofs --quiet -zlz4hc -T1230768000 "$work/lz4hc-debian.img" "$work/ref/lzma" > /dev/null

run() {  # label, command... (OUT stands for the output folder)
  local label=$1
  shift
  local start end rss
  start=$(date +%s%N)
  for i in $(seq 1 "$rounds"); do
    local args=()
    for a in "$@"; do args+=("${a//OUT/$work/out}"); done
    "${args[@]}" > /dev/null 2>&1
    rm -rf "$work/out"
  done
  end=$(date +%s%N)
  local args=()
  for a in "$@"; do args+=("${a//OUT/$work/out}"); done
  rss=$(/usr/bin/time -f '%M' "${args[@]}" 2>&1 > /dev/null | tail -1)
  rm -rf "$work/out"
  awk -v b="$bytes" -v r="$rounds" -v ns=$((end - start)) -v rss="$rss" -v l="$label" \
    'BEGIN {s = ns / 1e9; printf "%-44s %7.1f ms/run %8.1f MiB/s %7.1f MiB peak\n", l, s * 1000 / r, b * r / s / 1048576, rss / 1024}'
}

echo "$rounds runs each, $((bytes / 1024)) KiB of files per image"
for img in "$samples"/*.img; do
  run "extract.erofs $(basename "$img" .img)" "$tool" -i "$img" -x -f -o OUT
done
run "extract.erofs lz4hc (Debian mkfs.erofs)" "$tool" -i "$work/lz4hc-debian.img" -x -f -o OUT
run "fsck.erofs --extract lz4hc (Debian)" fsck.erofs --extract=OUT "$work/lz4hc-debian.img"

# The reader alone, in one process and one thread: decoded MiB per second for each algorithm
# and layout (no files written).
echo
bench_bin=$work/reader_throughput
src_dir=$(cd "$(dirname "$0")/../.." && pwd)
g++ -std=c++20 -O2 -o "$bench_bin" "$src_dir/bench/erofs/reader_throughput.cpp" -I"$src_dir/src/formats/erofs" \
  "$build/src/formats/erofs/liborvex_erofs.a" -llz4 -llzma -lzstd -lz -lpthread
ROUNDS=${READER_ROUNDS:-200} "$bench_bin" "$samples"/*.img "$work/lz4hc-debian.img"
