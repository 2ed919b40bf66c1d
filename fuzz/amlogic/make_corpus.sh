#!/usr/bin/env bash
# Seeds for the Amlogic fuzz targets: small burn images (v1 and v2 tables) packed by AmlImagePack
# and a small resource image packed by imgpack. Usage: make_corpus.sh BIN_DIR OUT_DIR
set -euo pipefail
bin=$1
out=$2
mkdir -p "$out/burn" "$out/res"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/src" "$tmp/logo"
head -c 300 /dev/urandom > "$tmp/src/DDR.USB"
cp "$tmp/src/DDR.USB" "$tmp/src/UBOOT.USB"
printf 'Platform:0x0811\n' > "$tmp/src/platform.conf"
head -c 500 /dev/urandom > "$tmp/src/boot.PARTITION"
printf '\x3a\xff\x26\xed\x01\x00\x00\x00\x1c\x00\x0c\x00\x00\x10\x00\x00\x01\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\xc3\xca\x00\x00\x01\x00\x00\x00\x0c\x00\x00\x00' > "$tmp/src/system.PARTITION"
for v in 1 2; do
  cat > "$tmp/src/image.cfg" <<CFG
[LIST_NORMAL]
file="DDR.USB"		main_type="USB"		sub_type="DDR"
file="UBOOT.USB"		main_type="USB"		sub_type="UBOOT"
file="platform.conf"		main_type="conf"		sub_type="platform"
[LIST_VERIFY]
file="boot.PARTITION"	main_type="PARTITION"		sub_type="boot"
file="system.PARTITION"	main_type="PARTITION"		sub_type="system"
[PACK_LAYOUT]
version=$v
align=$((v * 4))
CFG
  "$bin/AmlImagePack" -r "$tmp/src/image.cfg" "$tmp/src" "$out/burn/v$v.img" > /dev/null
done
cp "$tmp/src/image.cfg" "$out/burn/image.cfg"
printf 'BM' > "$tmp/logo/a.bmp"; head -c 100 /dev/urandom >> "$tmp/logo/a.bmp"
head -c 32 /dev/urandom > "$tmp/logo/b"
"$bin/imgpack" -r "$tmp/logo" "$out/res/v2.img" > /dev/null
printf 'version=1\nitem="a"\tfile="a.bmp"\nitem="b"\tfile="b"\n' > "$tmp/logo/items.cfg"
"$bin/imgpack" -r "$tmp/logo" "$out/res/v1.img" > /dev/null
