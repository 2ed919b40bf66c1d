#!/usr/bin/env bash
# Times AndImgTool on a boot image with a large ramdisk: unpack, unedited pack, and pack after an
# edit (which rebuilds and recompresses the ramdisk). Files live in a temporary folder that is
# removed afterwards. Usage: bench/bootimg/roundtrip.sh [RAMDISK_MIB] [BIN_DIR]
set -euo pipefail
mib=${1:-128}
bin=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}
tmp=$(mktemp -d /tmp/orvex-bootimg-bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/src/lib/modules"
# Half compressible text, half random: a ramdisk full of modules and scripts.
for i in $(seq 1 $((mib / 2))); do
  head -c 1048576 /dev/urandom > "$tmp/src/lib/modules/m$i.ko"
  head -c 1048576 < <(yes "on property:sys.boot_completed=1 setprop x $i") > "$tmp/src/lib/modules/t$i.rc"
done
(cd "$tmp/src" && find . | LC_ALL=C sort | cpio -o -H newc 2>/dev/null) | gzip -6 > "$tmp/rd.gz"
head -c 20000000 /dev/urandom > "$tmp/kernel"
mkbootimg --kernel "$tmp/kernel" --ramdisk "$tmp/rd.gz" --header_version 2 --dtb "$tmp/kernel" -o "$tmp/boot.img"
echo "image: $(stat -c %s "$tmp/boot.img") bytes, ramdisk ${mib} MiB expanded"
# Wall and user time: on a shared machine the wall time says more about the neighbours.
t() { /usr/bin/time -f "%e s wall, %U s user, %M KiB peak" "$@" 2>&1 > /dev/null | tail -1; }
echo "unpack:           $(t "$bin/AndImgTool" "$tmp/boot.img" "$tmp/out")"
echo "pack (unedited):  $(t "$bin/AndImgTool" "$tmp/out" "$tmp/re.img")"
cmp "$tmp/boot.img" "$tmp/re.img" && echo "byte-identical"
echo x > "$tmp/out/ramdisk/added"
echo "pack (edited):    $(t "$bin/AndImgTool" "$tmp/out" "$tmp/ed.img")"
