#!/usr/bin/env bash
# The Windows ext4 tools under Wine on an image made by the Linux tools, the way the unpack and
# pack jobs run them: imgextractor_.exe -s, imgextractor.exe, fspatch.exe and make_ext4fs.exe
# (sparse output). The source tree holds what NTFS cannot: symbolic links (absolute, relative,
# dangling), a hard link, device nodes, a fifo, names with ':' or a trailing dot, a device name,
# two names differing only in case, Cyrillic and '%' names, capabilities and SELinux labels.
# The rebuilt image must pass e2fsck, and the Linux imgextractor must find in it every path with
# the original's bytes, owner, mode, capabilities, label, link target and device numbers.
#
#   wine_ext4tools.sh WINDOWS_BIN_DIR LINUX_BIN_DIR
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
[ -n "${2:-}" ] || { echo "SKIP: no Linux tool folder to compare with (ORVEX_LINUX_BIN_DIR)"; exit 77; }
linbin=$(cd "$2" && pwd)


for tool in mke2fs img2simg simg2img e2fsck; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin:/sbin
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "SKIP: device nodes and security attributes need root"; exit 77; }

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-ext4.XXXXXX")
trap 'rm -rf "$top"' EXIT
t=$top/tree
mkdir -p "$t/bin" "$t/etc/init/deep/er" "$t/app/Папка" "$t/case"
head -c 1500000 /dev/urandom > "$t/bin/big"
: > "$t/etc/empty"
printf '#!/system/bin/sh\necho hi\n' > "$t/bin/tool"
chmod 0750 "$t/bin/tool"
chown 0:2000 "$t/bin/tool"
printf 'ro.build.id=TEST\n' > "$t/etc/build.prop"
printf 'deep\n' > "$t/etc/init/deep/er/file.rc"
printf 'colon\n' > "$t/etc/a:b"
printf 'device name\n' > "$t/etc/CON"
printf 'trailing dot\n' > "$t/etc/x."
printf 'upper\n' > "$t/case/Makefile"
printf 'lower\n' > "$t/case/makefile"
printf 'percent\n' > "$t/app/100%"
printf 'кириллица\n' > "$t/app/Папка/файл.txt"
ln -s /system/bin/tool "$t/bin/abs_link"
ln -s ../etc/build.prop "$t/bin/rel_link"
ln -s /nowhere/missing "$t/bin/dangling"
ln -s ../Makefile "$t/case/Link:Name"
ln "$t/bin/big" "$t/etc/big_hardlink"
mknod "$t/dev_char" c 10 229
mknod "$t/dev_block" b 7 300
mkfifo "$t/fifo"
chown 1000:1000 "$t/etc/build.prop"
chmod 0600 "$t/etc/build.prop"
# Capabilities and labels as extended attributes, which mke2fs -d copies into the image.
python3 - "$t" <<'EOF'
import os, sys
t = sys.argv[1]
def label(p, ctx): os.setxattr(os.path.join(t, p), 'security.selinux', ctx.encode() + b'\0', follow_symlinks=False)
for p in ['', 'bin', 'etc', 'etc/build.prop', 'etc/a:b', 'case/makefile', 'app/Папка/файл.txt', 'dev_char', 'fifo']:
    label(p, 'u:object_r:system_file:s0')
label('bin/tool', 'u:object_r:toolbox_exec:s0')
label('bin/abs_link', 'u:object_r:link_label:s0')
# vfs_cap_data revision 2: CAP_NET_BIND_SERVICE and CAP_SYS_NICE permitted, effective.
caps = bytes.fromhex('01000002') + (0x800400).to_bytes(4, 'little') + bytes(4) + bytes(8)
os.setxattr(os.path.join(t, 'bin/tool'), 'security.capability', caps)
EOF

cd "$top"
mke2fs -q -t ext4 -b 4096 -I 256 -L system -M /system -d "$t" system_raw.img 24M >/dev/null
img2simg system_raw.img system.img

# The information mode, started under its second name as the unpack job does.
mkdir -p job/system
cp system.img job/system.img
(cd job && run "$winbin/imgextractor_.exe" system.img -s) > info_win.txt 2> info_win.err ||
  fail "imgextractor_.exe -s: $(cat info_win.err)"
(cd job && "$linbin/imgextractor_" system.img -s) > info_lin.txt 2>&1 || fail "Linux imgextractor_ -s"
tr -d '\r' < info_win.txt | cmp -s - info_lin.txt || fail "imgextractor_.exe -s prints another report than the Linux tool"
grep -q 'EXT4 superblock info:' info_win.txt || fail "imgextractor_.exe -s printed no superblock report"

# Unpack as the job does: in the image's folder, into the folder named like the image.
(cd job && run "$winbin/imgextractor.exe" system.img system) > unpack.txt 2>&1 ||
  fail "imgextractor.exe: $(cat unpack.txt)"
list=job/system/config/system_windows_entries.txt
[ -f "$list" ] || fail "the Windows unpack wrote no entries list"
for want in $'link\tbin/abs_link\t/system/bin/tool' $'char\tdev_char\t10\t229' $'block\tdev_block\t7\t300' \
            $'fifo\tfifo' $'name\tetc/a%3Ab\tetc/a:b'; do
  tr -d '\r' < "$list" | grep -qxF "$want" || fail "entries list lacks: $want"
done
[ "$(cat job/system/system/bin/abs_link)" = /system/bin/tool ] || fail "a link's file does not hold its target"
[ -f job/system/system/dev_char ] && [ ! -s job/system/system/dev_char ] || fail "a device node is not an empty file"
[ "$(stat -c %i job/system/system/bin/big)" = "$(stat -c %i job/system/system/etc/big_hardlink)" ] ||
  fail "the hard link is not a hard link in the Windows tree"
[ "$(cat job/system/system/case/Makefile)" = upper ] || fail "Makefile lost its bytes"

# Pack as the job does: fspatch, then make_ext4fs in the unpacked folder, sparse.
(cd job && run "$winbin/fspatch.exe" 'system\system' 'system\config\system_fs_config.txt') > fspatch.txt 2>&1 ||
  fail "fspatch.exe: $(cat fspatch.txt)"
grep -q 'fspatch: 0 entries added' fspatch.txt || fail "fspatch.exe added paths the image already had: $(cat fspatch.txt)"
size=$(stat -c %s system_raw.img)
(cd job/system && run "$winbin/make_ext4fs.exe" -l "$size" -s -j 4096 -i -J -T 1700000000 -L system -a system \
   -S '.\config\system_file_contexts.txt' -C '.\config\system_fs_config.txt' '..\system_new.img' '.\system') \
   > pack.txt 2>&1 || fail "make_ext4fs.exe: $(cat pack.txt)"

mkdir rebuilt  # the config files are named after the image
simg2img job/system_new.img rebuilt/system.img || fail "simg2img cannot read the rebuilt image"
e2fsck -fn rebuilt/system.img > fsck.txt 2>&1 || fail "e2fsck -fn on the rebuilt image: $(cat fsck.txt)"

# The original and the rebuilt image, unpacked by the Linux tool: the same trees and config files.
"$linbin/imgextractor" system.img orig > orig.txt 2>&1 || fail "Linux imgextractor on the original: $(cat orig.txt)"
"$linbin/imgextractor" rebuilt/system.img back > back.txt 2>&1 || fail "Linux imgextractor on the rebuilt image: $(cat back.txt)"
[ ! -e orig/config/system_windows_entries.txt ] || fail "the Linux unpack wrote an entries list"
describe() {  # every path: kind, mode, owner, size, link count, device numbers, link target, bytes
  python3 - "$1" <<'EOF2'
import hashlib, os, stat, sys
root = sys.argv[1]
for d, dirs, files in os.walk(root):
    for n in sorted(dirs + files):
        p = os.path.join(d, n)
        st = os.lstat(p)
        size = '-' if stat.S_ISDIR(st.st_mode) else st.st_size
        dev = f'{os.major(st.st_rdev)}:{os.minor(st.st_rdev)}' if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode) else '-'
        target = os.readlink(p) if stat.S_ISLNK(st.st_mode) else '-'
        digest = hashlib.sha256(open(p, 'rb').read()).hexdigest() if stat.S_ISREG(st.st_mode) else '-'
        print(os.path.relpath(p, root), oct(st.st_mode), st.st_uid, st.st_gid, size, st.st_nlink, dev, target, digest)
EOF2
}
for side in orig back; do
  describe "$side/system" > "tree_$side.txt"
  sort "$side/config/system_fs_config.txt" > "fs_$side.txt"
  sort "$side/config/system_file_contexts.txt" > "fc_$side.txt"
done
diff tree_orig.txt tree_back.txt > tree.diff || fail "the rebuilt tree differs: $(head -20 tree.diff)"
diff fs_orig.txt fs_back.txt > fs.diff || fail "owners, modes or capabilities differ: $(head -20 fs.diff)"
diff fc_orig.txt fc_back.txt > fc.diff || fail "labels differ: $(head -20 fc.diff)"
grep -q "^bin/big 0o100644 0 0 1500000 2 - - " tree_back.txt || fail "the large file or its hard link is lost: $(grep big tree_back.txt)"
grep -q "^dev_block 0o60644 0 0 0 1 7:300 " tree_back.txt || fail "the block device is lost: $(grep dev_block tree_back.txt)"
grep -q "^bin/dangling 0o120777 .* /nowhere/missing " tree_back.txt || fail "the dangling link is lost"
grep -q 'capabilities=0x800400' fs_back.txt || fail "the capability did not survive: $(grep tool fs_back.txt)"
grep -q 'toolbox_exec' fc_back.txt || fail "the label did not survive"
for p in 'etc/a:b' 'etc/CON' 'etc/x.' 'case/Makefile' 'case/makefile' 'case/Link:Name' 'app/100%' 'app/Папка/файл.txt'; do
  [ -e "back/system/$p" ] || [ -L "back/system/$p" ] || fail "$p is missing from the rebuilt image"
done

[ "$failures" = 0 ] || exit 1
echo "ext4 tools under Wine: unpack, fspatch and a sparse pack keep every entry"
