#!/usr/bin/env bash
# The Windows super image tools under Wine on images made by the Linux tools: lpmake.exe builds a
# raw and a sparse super image from an ext4 image (mke2fs, made sparse by img2simg) and an EROFS
# image (mkfs.erofs), lpdump.exe describes them, lpunpack.exe writes the partitions back into a
# folder whose name holds blanks and Cyrillic letters. The partitions must hold the input images'
# bytes and pass e2fsck/fsck.erofs; with the Linux tool folder given, the Windows and the Linux
# tools must write the same super image bytes and print the same description.
#
#   wine_lptools.sh WINDOWS_BIN_DIR [LINUX_BIN_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=${2:+$(cd "$2" && pwd)}


for tool in mke2fs mkfs.erofs img2simg e2fsck fsck.erofs; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin:/sbin
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-lp.XXXXXX")
trap 'rm -rf "$top"' EXIT
mkdir -p "$top/tree/etc" "$top/tree/bin"
head -c 300000 /dev/urandom > "$top/tree/bin/blob"
printf 'ro.build.id=TEST\n' > "$top/tree/etc/build.prop"
ln -s ../bin/blob "$top/tree/etc/link"
# Images by the real tools, with fixed identities so that both runs see the same bytes.
mke2fs -q -t ext4 -b 4096 -U 0b0a0c0d-1111-2222-3333-444455556666 -E hash_seed=0b0a0c0d-1111-2222-3333-444455556666 \
  -L system -d "$top/tree" "$top/system.img" 16M >/dev/null
img2simg "$top/system.img" "$top/system_sparse.img"
mkfs.erofs --quiet -U 0b0a0c0d-1111-2222-3333-444455556666 -T 0 --all-root "$top/vendor.img" "$top/tree" >/dev/null
vsize=$(stat -c %s "$top/vendor.img")

layout() {  # extra words
  echo "--metadata-size=65536 --super-name=super --metadata-slots=3 --device=super:67108864:1048576" \
    "--group=main_a:60000000 --group=main_b:60000000" \
    "--partition=system_a:readonly:0:main_a --image=system_a=system_sparse.img" \
    "--partition=system_b:readonly:0:main_b" \
    "--partition=vendor_a:readonly:$vsize:main_a --image=vendor_a=vendor.img" \
    "--partition=vendor_b:readonly:0:main_b --virtual-ab $*"
}

cd "$top"
# shellcheck disable=SC2046
run "$winbin/makesuper/lpmake.exe" $(layout --output=super.img) > lpmake.txt 2>&1 || fail "lpmake.exe: $(cat lpmake.txt)"
# shellcheck disable=SC2046
run "$winbin/makesuper/lpmake.exe" $(layout --sparse --output=super_s.img) > lpmake_s.txt 2>&1 ||
  fail "lpmake.exe --sparse: $(cat lpmake_s.txt)"
[ "$(stat -c %s super.img 2>/dev/null)" = 67108864 ] || fail "super.img is not 64 MiB"

run "$winbin/makesuper/lpdump.exe" super.img > dump_win.txt 2>&1 || fail "lpdump.exe: $(cat dump_win.txt)"
grep -q "Name: vendor_a" dump_win.txt || fail "lpdump.exe does not list vendor_a"

out="$top/распакованный супер"
for input in super.img super_s.img; do
  rm -rf "$out"
  run "$winbin/makesuper/lpunpack.exe" "$(win "$top/$input")" "$(win "$out")" > unpack.txt 2>&1 ||
    { fail "lpunpack.exe $input: $(cat unpack.txt)"; continue; }
  same "$input system_a" "$out/system_a.img" system.img
  head -c "$vsize" "$out/vendor_a.img" > vendor_back.img 2>/dev/null || true
  same "$input vendor_a" vendor_back.img vendor.img
  [ "$(stat -c %s "$out/vendor_a.img")" = $(((vsize + 4095) / 4096 * 4096)) ] ||
    fail "$input: vendor_a.img is not the image rounded up to whole blocks"
  [ -f "$out/system_b.img" ] && [ ! -s "$out/system_b.img" ] || fail "$input: system_b.img is not an empty file"
  e2fsck -fn "$out/system_a.img" >/dev/null 2>&1 || fail "$input: e2fsck finds faults in system_a.img"
  fsck.erofs "$out/vendor_a.img" >/dev/null 2>&1 || fail "$input: fsck.erofs finds faults in vendor_a.img"
done

if [ -n "$linbin" ]; then
  # The same layout through the Linux build: the same bytes, the same description.
  # shellcheck disable=SC2046
  "$linbin/makesuper/lpmake" $(layout --output=super_linux.img) >/dev/null 2>&1 || fail "the Linux lpmake failed"
  same "raw super image, Windows and Linux" super.img super_linux.img
  # shellcheck disable=SC2046
  "$linbin/makesuper/lpmake" $(layout --sparse --output=super_s_linux.img) >/dev/null 2>&1 ||
    fail "the Linux lpmake --sparse failed"
  same "sparse super image, Windows and Linux" super_s.img super_s_linux.img
  "$linbin/makesuper/lpdump" super.img > dump_linux.txt 2>&1 || fail "the Linux lpdump failed"
  tr -d '\r' < dump_win.txt > dump_win_lf.txt
  same "lpdump output, Windows and Linux" dump_win_lf.txt dump_linux.txt
fi

if [ "$failures" -ne 0 ]; then
  echo "wine super image tools test: $failures failed"
  exit 1
fi
echo "wine super image tools test: all checks passed"
