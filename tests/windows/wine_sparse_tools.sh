#!/usr/bin/env bash
# simg2img.exe and img2simg.exe under Wine on images made by the Linux tools: simg2img.exe must
# write the same raw bytes as the packaged simg2img for images of img2simg, of make_ext4fs -s
# (the Linux build's, when given) and for split pieces of simg2simg; img2simg.exe's images must
# expand to the raw image with the packaged simg2img, and match the Linux build of the same tool
# byte for byte on an image without holes (Wine tells no holes apart, so there they differ only
# in FILL against DONT_CARE). Damaged input must leave the output as it was.
#
#   wine_sparse_tools.sh WINDOWS_BIN_DIR [LINUX_BIN_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=${2:+$(cd "$2" && pwd)}


for tool in img2simg simg2img simg2simg; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-sparse.XXXXXX")
trap 'rm -rf "$top"' EXIT
cd "$top"

# A raw image of random, zero and repeated-word blocks with holes, and one without holes.
head -c 300000 /dev/urandom > holes.raw
truncate -s 6M holes.raw
head -c 8192 /dev/zero | tr '\0' '\125' | dd of=holes.raw bs=4096 seek=300 conv=notrunc status=none
head -c 20000 /dev/urandom | dd of=holes.raw bs=4096 seek=1000 conv=notrunc status=none
cp --sparse=never holes.raw solid.raw
img2simg holes.raw holes.simg
simg2simg holes.simg piece.simg 131072
pieces=$(ls piece.simg.* | sort -t. -k3 -n | tr '\n' ' ')
[ "$(echo "$pieces" | wc -w)" -ge 2 ] || fail "simg2simg made fewer than two pieces"

inputs="holes.simg"
if [ -n "$linbin" ] && [ -x "$linbin/make_ext4fs" ]; then
  mkdir -p tree/app tree/etc
  head -c 200000 /dev/urandom > tree/app/blob
  printf 'ro.build.id=TEST\n' > tree/etc/build.prop
  "$linbin/make_ext4fs" -s -l 16M -T 0 -L system -a system ext4.simg tree >/dev/null 2>&1 ||
    fail "the Linux make_ext4fs failed"
  inputs+=" ext4.simg"
fi

for img in $inputs; do
  simg2img "$img" "$img.deb.raw"
  run "$winbin/simg2img.exe" "$img" "$img.win.raw" > out.txt 2>&1 || fail "simg2img.exe $img: $(cat out.txt)"
  same "simg2img.exe $img against the packaged simg2img" "$img.win.raw" "$img.deb.raw"
done
# shellcheck disable=SC2086
simg2img $pieces pieces.deb.raw
# shellcheck disable=SC2086
run "$winbin/simg2img.exe" $pieces pieces.win.raw > out.txt 2>&1 || fail "simg2img.exe on pieces: $(cat out.txt)"
same "simg2img.exe on split pieces" pieces.win.raw pieces.deb.raw
same "split pieces give the whole image" pieces.win.raw holes.raw

for raw in holes.raw solid.raw; do
  run "$winbin/img2simg.exe" "$raw" "$raw.win.simg" > out.txt 2>&1 || fail "img2simg.exe $raw: $(cat out.txt)"
  simg2img "$raw.win.simg" "$raw.back" || fail "the packaged simg2img refuses img2simg.exe's $raw image"
  same "img2simg.exe $raw expanded by the packaged simg2img" "$raw.back" "$raw"
done
run "$winbin/img2simg.exe" solid.raw solid1k.win.simg 1024 > out.txt 2>&1 || fail "img2simg.exe 1024: $(cat out.txt)"
simg2img solid1k.win.simg solid1k.back && same "img2simg.exe with 1024-byte blocks" solid1k.back solid.raw
if [ -n "$linbin" ] && [ -x "$linbin/../tests/sparse_tools/img2simg" ]; then
  "$linbin/../tests/sparse_tools/img2simg" solid.raw solid.lin.simg
  same "img2simg.exe and the Linux build" solid.raw.win.simg solid.lin.simg
fi

# Damaged input: one line, exit code 1, the old output kept, no partial file left.
head -c 50000 holes.simg > cut.simg
printf 'keep' > kept.raw
set +e
run "$winbin/simg2img.exe" cut.simg kept.raw > out.txt 2>&1
rc=$?
set -e
[ "$rc" = 1 ] || fail "simg2img.exe on a truncated image exits with $rc"
grep -q "truncated" out.txt || fail "simg2img.exe does not say the image is truncated: $(cat out.txt)"
[ "$(tr -d '\r' < out.txt | wc -l)" = 1 ] || fail "simg2img.exe says more than one line: $(cat out.txt)"
[ "$(cat kept.raw)" = keep ] || fail "simg2img.exe changed the output of a refused image"
[ ! -e kept.raw.part ] || fail "simg2img.exe left kept.raw.part"

if [ "$failures" -ne 0 ]; then
  echo "wine sparse tools test: $failures failed"
  exit 1
fi
echo "wine sparse tools test: all checks passed"
