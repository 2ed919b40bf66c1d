#!/usr/bin/env bash
# ext4 tools benchmark: imgextractor against debugfs rdump, make_ext4fs against mke2fs -d, on the
# same tree of about 1 GiB; wall time and peak memory of each run.
#
#   bash bench/ext4/run.sh [BUILD_DIR]            (default build dir: build)
#
# Environment: BENCH_SIZE_MB (tree size, default 1024), BENCH_DIR (scratch folder, default a new
# folder under /tmp, removed at the end unless BENCH_KEEP=1).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
SIZE_MB=${BENCH_SIZE_MB:-1024}
WORK=${BENCH_DIR:-$(mktemp -d /tmp/orvex-ext4-bench-XXXXXX)}
PATH=$PATH:/usr/sbin:/sbin

for t in imgextractor make_ext4fs; do
  [ -x "$BIN/$t" ] || { echo "missing $BIN/$t: build the tools first" >&2; exit 1; }
done
for t in mke2fs debugfs e2fsck /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "missing $t (e2fsprogs, time)" >&2; exit 1; }
done
cleanup() { [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"; }
trap cleanup EXIT

# One measured run: label, then the command. Prints wall seconds and peak resident memory.
measure() {
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" >"$WORK/last.log" 2>&1 || {
    echo "$label failed:" >&2; tail -5 "$WORK/last.log" >&2; exit 1; }
  read -r secs kb <"$WORK/time.txt"
  printf '%-44s %8.2f s %10d KiB\n' "$label" "$secs" "$kb"
}

echo "scratch folder: $WORK"
TREE=$WORK/tree
mkdir -p "$TREE"
echo "making a tree of about $SIZE_MB MiB ..."
# A firmware-like mix: many small files in nested folders, some medium ones, a few large ones,
# links. Data comes from /dev/urandom so nothing compresses or dedups by accident.
small_total=$((SIZE_MB * 30 / 100)) medium_total=$((SIZE_MB * 40 / 100))
large_total=$((SIZE_MB - small_total - medium_total))
n=0
while [ $((n * 48 / 1024)) -lt "$small_total" ]; do
  d=$TREE/app/pkg$((n / 100))/lib/arm64
  mkdir -p "$d"
  head -c $(( (n % 12 + 1) * 8 * 1024 )) /dev/urandom >"$d/file$n.so"
  n=$((n + 1))
done
m=0
while [ $((m * 4)) -lt "$medium_total" ]; do
  mkdir -p "$TREE/framework/part$((m / 20))"
  head -c $(( (m % 7 + 1) * 1024 * 1024 )) /dev/urandom >"$TREE/framework/part$((m / 20))/blob$m.jar"
  m=$((m + 1))
done
mkdir -p "$TREE/media" "$TREE/bin"
left=$large_total i=0
while [ "$left" -gt 0 ]; do
  chunk=$(( left > 128 ? 128 : left ))
  head -c $((chunk * 1024 * 1024)) /dev/urandom >"$TREE/media/large$i.bin"
  left=$((left - chunk)) i=$((i + 1))
done
for k in $(seq 1 200); do ln -s "../framework/part0/blob0.jar" "$TREE/bin/link$k"; done
tree_bytes=$(du -sb "$TREE" | cut -f1)
files=$(find "$TREE" | wc -l)
echo "tree: $files entries, $((tree_bytes / 1048576)) MiB"

# Image size: the tree plus a quarter, in whole MiB.
IMG_MB=$(( tree_bytes / 1048576 * 5 / 4 + 64 ))
echo "image size: $IMG_MB MiB"
echo
printf '%-44s %10s %14s\n' "run" "wall" "peak memory"

measure "mke2fs -t ext4 -d (reference image)" \
  mke2fs -q -F -t ext4 -L system -M /system -d "$TREE" "$WORK/system.img" "${IMG_MB}M"
sync

rm -rf "$WORK/rdump"; mkdir -p "$WORK/rdump"
measure "debugfs -R 'rdump / DIR'" debugfs -R "rdump / $WORK/rdump" "$WORK/system.img"
rm -rf "$WORK/rdump"
measure "imgextractor IMAGE OUTDIR" "$BIN/imgextractor" "$WORK/system.img" "$WORK/out"
measure "imgextractor IMAGE -s" "$BIN/imgextractor" "$WORK/system.img" -s

CFG=$WORK/out/config
measure "mke2fs -t ext4 -d (again, warm cache)" \
  mke2fs -q -F -t ext4 -L system -M /system -d "$TREE" "$WORK/mke2fs.img" "${IMG_MB}M"
rm -f "$WORK/mke2fs.img"
measure "make_ext4fs raw (-C -S -T, journal)" \
  "$BIN/make_ext4fs" -l "${IMG_MB}M" -j 4096 -T 0 -L system -a system \
  -S "$CFG/system_file_contexts.txt" -C "$CFG/system_fs_config.txt" "$WORK/new.img" "$WORK/out/system"
e2fsck -fn "$WORK/new.img" >/dev/null 2>&1 && echo "  e2fsck -fn: clean"
rm -f "$WORK/new.img"
measure "make_ext4fs sparse (-s)" \
  "$BIN/make_ext4fs" -s -l "${IMG_MB}M" -J -T 0 -L system -a system \
  -S "$CFG/system_file_contexts.txt" -C "$CFG/system_fs_config.txt" "$WORK/new_sparse.img" "$WORK/out/system"
echo "  sparse image: $(( $(stat -c %s "$WORK/new_sparse.img") / 1048576 )) MiB"
