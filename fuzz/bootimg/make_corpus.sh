#!/usr/bin/env bash
# Makes the seed corpora of the boot image fuzz targets: the sample images and images made by
# Debian's mkbootimg (header), and small ramdisks in every compression (cpio).
# Usage: make_corpus.sh OUTDIR [SAMPLES_DIR]   (writes OUTDIR/header and OUTDIR/cpio)
set -euo pipefail
out=${1:?usage: make_corpus.sh OUTDIR [SAMPLES_DIR]}
samples=${2:-$(dirname "$0")/../../../shared/samples/bootimg}
mkdir -p "$out/header" "$out/cpio"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/rd/sbin" "$tmp/rd/etc"
printf 'init\n' > "$tmp/rd/init"
printf 'ro.x=1\n' > "$tmp/rd/default.prop"
ln -s ../init "$tmp/rd/sbin/ueventd"
(cd "$tmp/rd" && find . | LC_ALL=C sort | cpio -o -H newc 2>/dev/null) > "$out/cpio/plain.cpio"
gzip -9nc "$out/cpio/plain.cpio" > "$out/cpio/rd.gz"
lz4 -l -9 -c "$out/cpio/plain.cpio" > "$out/cpio/rd.lz4l"
lz4 -9 -c "$out/cpio/plain.cpio" > "$out/cpio/rd.lz4"
xz --check=crc32 -c "$out/cpio/plain.cpio" > "$out/cpio/rd.xz"
xz --format=lzma -c "$out/cpio/plain.cpio" > "$out/cpio/rd.lzma"
bzip2 -9 -c "$out/cpio/plain.cpio" > "$out/cpio/rd.bz2"
zstd -q -19 -c "$out/cpio/plain.cpio" > "$out/cpio/rd.zst"
cp "$samples"/*.img "$out/header/" 2>/dev/null || true
printf 'kernel' > "$tmp/k"
printf 'dtb' > "$tmp/dtb"
for v in 0 1 2; do
  extra=""
  [ "$v" = 2 ] && extra="--dtb $tmp/dtb"
  # shellcheck disable=SC2086
  mkbootimg --kernel "$tmp/k" --ramdisk "$out/cpio/rd.gz" --header_version "$v" $extra --pagesize 2048 \
    -o "$out/header/mk_v$v.img"
done
