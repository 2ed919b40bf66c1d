#!/usr/bin/env bash
# Super image tools benchmark: lpmake (raw and sparse output) and lpunpack (raw and sparse input)
# against cp of the same bytes; wall time and peak memory of each run.
#
#   bash bench/lp/run.sh [BUILD_DIR]            (default build dir: build)
#
# Environment: BENCH_SIZE_MB (partition data in the super image, default 4096), BENCH_DIR
# (scratch folder, default a new folder under /tmp, removed at the end unless BENCH_KEEP=1).
# Every run is made twice and the second counts, so both sides read from a warm page cache; a
# sync before each run keeps one run's writeback out of the next one's time.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin/makesuper
SIZE_MB=${BENCH_SIZE_MB:-4096}
WORK=${BENCH_DIR:-$(mktemp -d /tmp/orvex-lp-bench-XXXXXX)}

for t in lpmake lpunpack lpdump; do
  [ -x "$BIN/$t" ] || { echo "missing $BIN/$t: build the tools first" >&2; exit 1; }
done
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time (package time)" >&2; exit 1; }
cleanup() { [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"; }
trap cleanup EXIT

# Runs a command twice, reports the second run: wall seconds and peak resident memory. The files
# named in $FRESH are removed before each run, so that every run writes new files (replacing a
# large file of the run before costs the freeing of its blocks, and cp truncates in place while
# lpmake renames over the old file: that cost is not what is measured here).
FRESH=""
measure() {
  local label=$1; shift
  local secs kb
  for _ in 1 2; do
    # shellcheck disable=SC2086
    [ -z "$FRESH" ] || rm -f $FRESH
    sync  # start each run without the previous run's dirty pages
    /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" >"$WORK/last.log" 2>&1 || {
      echo "$label failed:" >&2; tail -5 "$WORK/last.log" >&2; exit 1; }
  done
  read -r secs kb <"$WORK/time.txt"
  printf '%-40s %8.2f s %10d KiB\n' "$label" "$secs" "$kb"
  echo "$secs" >"$WORK/last_secs"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "scratch folder: $WORK"
mkdir -p "$WORK/out"
SYS_MB=$((SIZE_MB * 3 / 4)) VEN_MB=$((SIZE_MB - SIZE_MB * 3 / 4))
echo "making partition images: system ${SYS_MB} MiB, vendor ${VEN_MB} MiB ..."
# Mostly random data with zero stretches, as file-system images have.
make_image() {
  local file=$1 mb=$2 i
  : >"$file"
  for ((i = 0; i < mb; i += 16)); do
    if (( (i / 16) % 8 == 7 )); then head -c $((16 << 20)) /dev/zero; else head -c $((16 << 20)) /dev/urandom; fi
  done >"$file"
  truncate -s $((mb << 20)) "$file"
}
make_image "$WORK/system.img" "$SYS_MB"
make_image "$WORK/vendor.img" "$VEN_MB"
DEVICE=$(( (SIZE_MB + 64) << 20 ))
LAYOUT=(--metadata-size=65536 --super-name=super --metadata-slots=3 --device=super:$DEVICE:1048576
        --group=main_a:$((DEVICE - (4 << 20))) --group=main_b:$((DEVICE - (4 << 20)))
        --partition=system_a:readonly:0:main_a --image=system_a=$WORK/system.img
        --partition=system_b:readonly:0:main_b
        --partition=vendor_a:readonly:0:main_a --image=vendor_a=$WORK/vendor.img
        --partition=vendor_b:readonly:0:main_b --virtual-ab)

echo
printf '%-40s %10s %14s\n' "run" "wall" "peak memory"
FRESH="$WORK/out/system.img $WORK/out/vendor.img"
measure "cp of the partition images" sh -c "cp '$WORK/system.img' '$WORK/out/system.img' && cp '$WORK/vendor.img' '$WORK/out/vendor.img'"
cp_make=$(cat "$WORK/last_secs")
FRESH="$WORK/super.img"
measure "lpmake, raw output" "$BIN/lpmake" "${LAYOUT[@]}" --output="$WORK/super.img"
make_raw=$(cat "$WORK/last_secs")
FRESH="$WORK/super_sparse.img"
measure "lpmake, sparse output" "$BIN/lpmake" "${LAYOUT[@]}" --sparse --output="$WORK/super_sparse.img"
make_sparse=$(cat "$WORK/last_secs")
rm -f "$WORK/out/"*

FRESH="$WORK/out/super_copy.img"
measure "cp of the super image" cp "$WORK/super.img" "$WORK/out/super_copy.img"
cp_unpack=$(cat "$WORK/last_secs")
rm -f "$WORK/out/"*
FRESH="$WORK/out/*"
measure "lpunpack, raw input" "$BIN/lpunpack" "$WORK/super.img" "$WORK/out"
unpack_raw=$(cat "$WORK/last_secs")
cmp "$WORK/out/system_a.img" "$WORK/system.img"
rm -f "$WORK/out/"*
measure "lpunpack, sparse input" "$BIN/lpunpack" "$WORK/super_sparse.img" "$WORK/out"
unpack_sparse=$(cat "$WORK/last_secs")
cmp "$WORK/out/vendor_a.img" "$WORK/vendor.img"

echo
echo "lpmake raw / cp:       $(ratio "$make_raw" "$cp_make")"
echo "lpmake sparse / cp:    $(ratio "$make_sparse" "$cp_make")"
echo "lpunpack raw / cp:     $(ratio "$unpack_raw" "$cp_unpack")"
echo "lpunpack sparse / cp:  $(ratio "$unpack_sparse" "$cp_unpack")"
