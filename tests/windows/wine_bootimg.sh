#!/usr/bin/env bash
# AndImgTool.exe and imgRePacker.exe under Wine on a boot image made by mkbootimg, whose gzip
# ramdisk (written by cpio under fakeroot) holds a symbolic link, a character device, a fifo, a
# hard link, names that differ only in case and names with characters Windows forbids. The
# unpacked folder must pack back to the same image; after an edit the rebuilt ramdisk must hold
# the same entries as the original (names, kinds, modes, owners, link targets, device numbers),
# and, with the Linux tool folder given, the Windows and Linux packs must be the same bytes. With it,
# imgRePacker.exe also unpacks and packs an Allwinner IMAGEWTY firmware as the Linux tool does.
#
#   wine_bootimg.sh WINDOWS_BIN_DIR [LINUX_BIN_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=${2:+$(cd "$2" && pwd)}

for t in mkbootimg cpio fakeroot gzip; do
  command -v $t >/dev/null || { echo "FAIL: $t is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-boot.XXXXXX")
trap 'rm -rf "$top"' EXIT
cd "$top"

# The ramdisk: every kind of entry a cpio archive can hold, and names NTFS cannot.
mkdir -p rd/sbin rd/dev rd/etc
printf '#!/system/bin/sh\necho hi\n' > rd/init.rc
printf 'upper case\n' > rd/Init.rc
printf 'colon\n' > 'rd/etc/a:b.conf'
printf 'question\n' > 'rd/etc/why?.txt'
printf 'trailing dot\n' > 'rd/etc/dot.'
printf 'кириллица\n' > 'rd/etc/имя.txt'
printf 'shared\n' > rd/sbin/one
printf 'to be edited\n' > rd/edit.me
ln rd/sbin/one rd/sbin/two
ln -s /system/bin/sh rd/sbin/sh
ln -s ../init.rc rd/etc/init
chmod 0750 rd/sbin/one
chmod 0700 rd/etc
fakeroot sh -c 'mknod rd/dev/console c 5 1 && mknod rd/dev/pipe p && chown 1000:2000 rd/init.rc &&
  cd rd && find . | LC_ALL=C sort | cpio -o -H newc --quiet > ../ramdisk.cpio'
gzip -n -9 < ramdisk.cpio > ramdisk.cpio.gz
head -c 5000 /dev/urandom > kernel
mkbootimg --kernel kernel --ramdisk ramdisk.cpio.gz --cmdline "console=ttyS0" --os_version 12.0.0 \
  --os_patch_level 2024-01 --header_version 2 --dtb kernel -o boot.img

# The entries of a ramdisk, one line each: mode with its kind, owner, size or device numbers,
# name and link target (cpio's own listing, without the link count and the date).
entries() {
  gzip -dc "$1" | cpio -itvn --quiet 2>/dev/null |
    sed -E 's/^([^ ]+) +[0-9]+ /\1 /; s/ [A-Z][a-z]{2} +[0-9]+ +([0-9]{2}:[0-9]{2}|[0-9]{4}) / /' | LC_ALL=C sort
}
ramdisk_of() { # image -> the compressed ramdisk it holds
  rm -rf "$top/probe" && mkdir "$top/probe" && unpack_bootimg --boot_img "$1" --out "$top/probe" >/dev/null &&
    cp "$top/probe/ramdisk" "$2"
}

out="$top/папка boot"
run "$winbin/AndImgTool.exe" "$(win boot.img)" "$(win "$out")" > unpack.txt 2> unpack.err ||
  fail "AndImgTool.exe unpack: $(cat unpack.txt unpack.err)"
grep -q "warning" unpack.txt && fail "the unpack warns: $(cat unpack.txt)"
[ -f "$out/ramdisk/etc/имя.txt" ] || fail "the Cyrillic name is not in the ramdisk folder"
run "$winbin/AndImgTool.exe" "$(win "$out")" "$(win same.img)" > pack.txt 2> pack.err ||
  fail "AndImgTool.exe pack: $(cat pack.txt pack.err)"
cmp -s same.img boot.img || fail "the untouched folder did not pack into the same image"

# An edit: the ramdisk is built again from the folder, its list and the names list.
printf 'edited\n' >> "$out/ramdisk/edit.me"
printf 'edited\n' >> rd/edit.me
run "$winbin/AndImgTool.exe" "$(win "$out")" "$(win edited.img)" > edit.txt 2> edit.err ||
  fail "AndImgTool.exe pack after an edit: $(cat edit.txt edit.err)"
if ramdisk_of edited.img win_ramdisk.gz; then
  # The edited file differs in size, and the hard links are written as two files with the data
  # each (the archive holds it once, with the last name): those are checked by their content.
  skip=' (edit.me|sbin/one|sbin/two)$'
  diff <(entries ramdisk.cpio.gz | grep -Ev "$skip") <(entries win_ramdisk.gz | grep -Ev "$skip") > entries.diff ||
    fail "the rebuilt ramdisk's entries differ from the original: $(cat entries.diff)"
  gzip -dc win_ramdisk.gz | (mkdir x && cd x && cpio -id --quiet edit.me sbin/one sbin/two 2>/dev/null)
  cmp -s x/edit.me rd/edit.me || fail "the edited file is not in the rebuilt ramdisk"
  for f in one two; do
    [ "$(cat "x/sbin/$f" 2>/dev/null)" = shared ] || fail "the hard link sbin/$f lost its data"
  done
else
  fail "unpack_bootimg cannot read the image AndImgTool.exe packed"
fi

if [ -n "$linbin" ]; then
  "$linbin/AndImgTool" boot.img linux_out > /dev/null || fail "the Linux AndImgTool failed to unpack"
  printf 'edited\n' >> linux_out/ramdisk/edit.me
  "$linbin/AndImgTool" linux_out linux_edited.img > /dev/null || fail "the Linux AndImgTool failed to pack"
  cmp -s linux_edited.img edited.img || fail "the edited images of Windows and Linux differ"
fi

# The Allwinner repacker on the same image as boot.fex: unpacked and packed back unchanged.
if [ -x "$winbin/imgRePacker.exe" ]; then
  cp boot.img boot.fex
  run "$winbin/imgRePacker.exe" "$(win boot.fex)" > aw.txt 2> aw.err || fail "imgRePacker.exe unpack: $(cat aw.txt aw.err)"
  rm boot.fex
  run "$winbin/imgRePacker.exe" "$(win boot.fex.dump)" "$(win boot.fex.cfg)" > aw2.txt 2> aw2.err ||
    fail "imgRePacker.exe pack: $(cat aw2.txt aw2.err)"
  cmp -s boot.fex boot.img || fail "imgRePacker.exe did not pack boot.fex back unchanged"
fi

# An Allwinner IMAGEWTY firmware packed by the Linux tool from a hand-written image.cfg: the
# Windows tool unpacks it like the Linux one (in a folder with a Cyrillic name) and packs the
# folder back into the same bytes.
if [ -x "$winbin/imgRePacker.exe" ] && [ -n "$linbin" ]; then
  mkdir -p wty/fw.img.dump "$top/прошивка"
  printf '[product]\nversion = "100"\n' > wty/fw.img.dump/sys_config.fex
  head -c 70001 /dev/urandom > wty/fw.img.dump/boot.fex
  printf '1234' > wty/fw.img.dump/Vboot.fex
  printf '[DIR_DEF]\r\nINPUT_DIR = "./"\r\n\r\n[FILELIST]\r\n%b%b%b\r\n[IMAGE_CFG]\r\nversion = 0x100234\r\npid = 0x00001234\r\nvid = 0x00008743\r\nhardwareid = 0x100\r\nfirmwareid = 0x100\r\nimagename = "fw.img"\r\nfilelist = FILELIST\r\n' \
    '\t{filename = "sys_config.fex", maintype = "COMMON  ", subtype = "SYS_CONFIG100000",},\r\n' \
    '\t{filename = "boot.fex", maintype = "RFSFAT16", subtype = "BOOT_FEX00000000",},\r\n' \
    '\t{filename = "Vboot.fex", maintype = "RFSFAT16", subtype = "VBOOT_FEX0000000",},\r\n' \
    > wty/fw.img.dump/image.cfg
  "$linbin/imgRePacker" wty/fw.img.dump > /dev/null || fail "the Linux imgRePacker did not pack the IMAGEWTY folder"
  head -c 8 wty/fw.img | grep -q IMAGEWTY || fail "the Linux imgRePacker wrote no IMAGEWTY image"
  cp -r wty/fw.img.dump wty/made
  rm -rf wty/fw.img.dump && "$linbin/imgRePacker" wty/fw.img > /dev/null || fail "the Linux imgRePacker did not unpack"
  for f in sys_config.fex boot.fex Vboot.fex; do
    cmp -s "wty/made/$f" "wty/fw.img.dump/$f" || fail "the IMAGEWTY image does not hold $f"
  done
  cp wty/fw.img "$top/прошивка/fw.img"
  run "$winbin/imgRePacker.exe" "$(win "$top/прошивка/fw.img")" > wty.txt 2> wty.err ||
    fail "imgRePacker.exe unpack of IMAGEWTY: $(cat wty.txt wty.err)"
  diff -r wty/fw.img.dump "$top/прошивка/fw.img.dump" > wty.diff || fail "the IMAGEWTY folders of Windows and Linux differ: $(cat wty.diff)"
  rm "$top/прошивка/fw.img"
  run "$winbin/imgRePacker.exe" "$(win "$top/прошивка/fw.img.dump")" > wty2.txt 2> wty2.err ||
    fail "imgRePacker.exe pack of IMAGEWTY: $(cat wty2.txt wty2.err)"
  cmp -s wty/fw.img "$top/прошивка/fw.img" || fail "imgRePacker.exe did not pack the IMAGEWTY folder into the same bytes"
fi

if [ "$failures" -ne 0 ]; then
  echo "wine boot image test: $failures failed"
  exit 1
fi
echo "wine boot image test: all checks passed"
