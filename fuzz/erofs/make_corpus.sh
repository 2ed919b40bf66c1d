#!/usr/bin/env bash
# Makes the seed corpus of the EROFS fuzz target: small images built by the installed mkfs.erofs
# in every layout it offers, plus the sample images (those of a current mkfs.erofs included). Usage: make_corpus.sh OUTDIR [SAMPLES_DIR]
set -euo pipefail
out=${1:?usage: make_corpus.sh OUTDIR [SAMPLES_DIR]}
samples=${2:-$(dirname "$0")/../../../shared/samples/erofs}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

tree=$tmp/tree
mkdir -p "$tree/bin" "$tree/etc/init" "$tree/d/e"
printf 'ro.vendor.build.id=FUZZ\n' > "$tree/build.prop"
printf '#!/bin/sh\necho hi\n' > "$tree/bin/sh"
head -c 9000 /dev/urandom > "$tree/etc/noise"
for i in $(seq 1 400); do echo "line $i of some compressible text"; done > "$tree/etc/text"
head -c 20000 /dev/zero > "$tree/etc/zeros"
: > "$tree/etc/empty"
ln -s ../bin/sh "$tree/etc/init/link"
ln "$tree/etc/text" "$tree/d/e/hard"
mkfifo "$tree/etc/fifo"
setfattr -n user.fuzz -v value "$tree/etc/text" 2>/dev/null || true
if [ "$(id -u)" = 0 ]; then
  setfattr -n security.selinux -v u:object_r:vendor_file:s0 "$tree/bin/sh"
  setfattr -n security.selinux -v u:object_r:vendor_file:s0 "$tree/etc"
  setcap cap_net_raw+ep "$tree/bin/sh" 2>/dev/null || true
  mknod "$tree/etc/null" c 1 3
  chown 1000:2000 "$tree/etc/text"
fi

n=0
while read -r opts; do
  n=$((n + 1))
  # shellcheck disable=SC2086
  mkfs.erofs --quiet -T1 $opts "$out/mkfs_$n.img" "$tree" > /dev/null
done <<'LIST'

-Enoinline_data
-Eforce-inode-extended
-zlz4
-zlz4hc
-zlz4hc -Eztailpacking
-zlz4hc -C16384
-zlz4hc -C16384 -Eztailpacking
-zlz4 -Elegacy-compress
-zlz4hc -Elegacy-compress -C8192
--chunksize=4096
--chunksize=8192 -Eforce-chunk-indexes
-Enosbcrc -x-1
LIST

if [ -d "$samples" ]; then
  cp "$samples"/*.img "$out"/ 2>/dev/null || true
fi
# Images of a current mkfs.erofs: LZMA, DEFLATE, Zstandard, fragments, dedupe, 48-bit, metabox.
modern=$(dirname "$samples")/erofs_modern
if [ -d "$modern" ]; then
  for f in "$modern"/*.img; do cp "$f" "$out/modern_$(basename "$f")"; done
  chmod u+w "$out"/modern_*.img
fi
ls -la "$out"
