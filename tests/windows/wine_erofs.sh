#!/usr/bin/env bash
# The Windows EROFS programs under Wine, against the Linux tools:
# - an image made on Linux (our mkfs.erofs front over the packaged mkfs.erofs: LZ4HC, folders,
#   absolute, relative and dangling links, a hard link, device nodes, a fifo, capabilities,
#   labels, and names Windows cannot hold as they are: "a:b", "CON", "Makefile" beside
#   "makefile") is unpacked by the Linux extract.erofs, turned into the form an unpack on Windows
#   leaves (links as files holding their target, nodes as empty files, stored names, all in the
#   entries list), and packed by the Windows front with the recorded mkfs.erofs options, as the
#   pack job runs it;
# - the result passes the Linux fsck.erofs, and the Linux extract.erofs of it equals the
#   original's in every file's bytes, owner, mode, capabilities, label, link target, node numbers
#   and hard links, and in the attribute and context files it writes;
# - dump.erofs.exe -s prints what the Linux dump.erofs -s prints (the unpack job reads it);
# - fsck.erofs.exe accepts the good image and rejects damaged ones.
#
#   wine_erofs.sh WINDOWS_BIN_DIR LINUX_BIN_DIR
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
[ -n "${2:-}" ] || { echo "SKIP: no Linux tool folder given (ORVEX_LINUX_BIN_DIR)"; exit 77; }
linbin=$(cd "$2" && pwd)


PATH=$PATH:/usr/sbin:/sbin
for tool in mkfs.erofs fsck.erofs dump.erofs fakeroot python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
for f in "$winbin/erofs/mkfs.erofs.exe" "$winbin/erofs/mkfs.erofs.real.exe" "$winbin/erofs/dump.erofs.exe" \
         "$winbin/erofs/fsck.erofs.exe" "$linbin/erofs/mkfs.erofs" "$linbin/erofs/extract.erofs"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing"; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-erofs.XXXXXX")
[ -n "${ORVEX_KEEP_TEST_FILES:-}" ] && echo "test files kept in $top" || trap 'rm -rf "$top"' EXIT

# ---- the original, made on Linux ----
mkdir -p "$top/lin/vendor/vendor" "$top/lin/vendor/config"
cat > "$top/make-tree.sh" <<'EOF'
set -e
t=$1
mkdir -p "$t/bin" "$t/etc/init" "$t/lib/deep/er" "$t/empty"
printf 'ro.vendor.build.id=TEST\n' > "$t/build.prop"
seq 1 30000 > "$t/etc/numbers.txt"
head -c 200000 /dev/urandom > "$t/lib/blob.so"
ln "$t/lib/blob.so" "$t/lib/deep/er/hard.so"
printf '#!/system/bin/sh\necho hi\n' > "$t/bin/tool"
ln -s /system/bin/sh "$t/bin/abs"
ln -s ../etc/numbers.txt "$t/bin/rel"
ln -s no/such/target "$t/bin/dangling"
mknod "$t/null" c 1 3
mknod "$t/loop9" b 7 9
mkfifo "$t/fifo"
echo colon > "$t/a:b"
echo device > "$t/CON"
echo upper > "$t/Makefile"
echo lower > "$t/makefile"
echo cyr > "$t/файл.txt"
: > "$t/etc/init/empty.rc"
EOF
bash "$top/make-tree.sh" "$top/lin/vendor/vendor"
cat > "$top/lin/vendor/config/vendor_fs_config.txt" <<'EOF'
vendor 0 2000 0755
vendor/bin 0 2000 0751
vendor/bin/tool 0 2000 0755 capabilities=0x1000000400
vendor/bin/abs 0 2000 0777
vendor/bin/rel 0 2000 0777
vendor/bin/dangling 0 0 0777
vendor/etc 0 0 0755
vendor/etc/numbers.txt 1000 1000 0640
vendor/etc/init 0 0 0755
vendor/etc/init/empty.rc 0 0 0644
vendor/lib 0 0 0755
vendor/lib/blob.so 0 0 0644
vendor/lib/deep 0 0 0700
vendor/lib/deep/er 0 0 0755
vendor/lib/deep/er/hard.so 0 0 0644
vendor/empty 1036 1036 0770
vendor/null 0 0 0666
vendor/loop9 0 6 0660
vendor/fifo 1000 1000 0600
vendor/a:b 0 0 0644
vendor/CON 0 0 0600
vendor/Makefile 0 0 0644
vendor/makefile 0 0 0444
vendor/файл.txt 0 0 0644
vendor/build.prop 0 0 0600
EOF
cat > "$top/lin/vendor/config/vendor_file_contexts.txt" <<'EOF'
/vendor(/.*)? u:object_r:vendor_file:s0
/vendor/bin(/.*)? u:object_r:vendor_bin_file:s0
/vendor/bin/tool u:object_r:vendor_tool_exec:s0
/vendor/a:b u:object_r:odd_file:s0
/vendor/lib/deep(/.*)? u:object_r:deep_file:s0
EOF
printf 'Mount point: /vendor\r\n' > "$top/lin/vendor/config/vendor_fs_options.txt"
(cd "$top/lin" && "$linbin/erofs/mkfs.erofs" -zlz4hc,9 -T0 -U 0b0a0c0d-1111-2222-3333-444455556666 \
   --file-contexts=vendor/config/vendor_file_contexts.txt vendor.img vendor/vendor > make.log 2>&1) ||
  { cat "$top/lin/make.log"; echo "FAIL: the Linux build of the original image"; exit 1; }

# ---- unpacked by the Linux extract.erofs, as the unpack job leaves it ----
unpack() {  # image folder
  mkdir -p "$2"
  cp "$1" "$2/vendor.img"
  (cd "$2" && "$linbin/erofs/extract.erofs" -i vendor.img -x -f -o vendor > /dev/null) || return 1
  local f
  for f in fs_config file_contexts fs_options; do
    mv "$2/vendor/config/vendor_$f" "$2/vendor/config/vendor_$f.txt"
  done
  # The unpack job's renames, in the recorded build line too.
  sed -i -e 's/_repack//g; s/_file_contexts/_file_contexts.txt/g; s/_fs_config/_fs_config.txt/g' \
    "$2/vendor/config/vendor_fs_options.txt"
}
unpack "$top/lin/vendor.img" "$top/orig" || { echo "FAIL: extract.erofs of the original"; exit 1; }

# ---- the Windows form of that tree ----
mkdir -p "$top/win/vendor"
python3 "$here/erofs_windows_tree.py" "$top/orig/vendor/vendor" "$top/win/vendor/vendor" \
  "$top/win/vendor/config/vendor_windows_entries.txt"
cp "$top/orig/vendor/config/"vendor_{fs_config,file_contexts,fs_options}.txt "$top/win/vendor/config/"
for name in 'a%3Ab' '%43ON' 'makefile~2' 'bin/abs'; do
  [ -f "$top/win/vendor/vendor/$name" ] || fail "the Windows form has no file $name"
done
grep -q $'^link\tbin/abs\t/system/bin/sh\r$' "$top/win/vendor/config/vendor_windows_entries.txt" ||
  fail "the entries list does not keep bin/abs"
# A file the user added on Windows, in no attribute file (Android's defaults for its place), with
# a label line the user added under the mount point (looked up inside the image through its twin).
printf 'added\n' > "$top/win/vendor/vendor/bin/added"
printf '/vendor/bin/add(ed|s) u:object_r:added_exec:s0\r\n' >> "$top/win/vendor/config/vendor_file_contexts.txt"

# ---- packed by the Windows front with the recorded options, as the pack job runs it ----
options=$(sed -n 's/^mkfs.erofs options: //p' "$top/win/vendor/config/vendor_fs_options.txt" | tr -d '\r')
[ -n "$options" ] || { echo "FAIL: no mkfs.erofs options recorded"; exit 1; }
eval "args=($options)"
for i in "${!args[@]}"; do
  case ${args[$i]} in *.img) args[$i]=vendor.img ;; esac
done
(cd "$top/win" && run "$winbin/erofs/mkfs.erofs.exe" "${args[@]}" > pack.log 2>&1) ||
  { cat "$top/win/pack.log"; fail "mkfs.erofs.exe failed"; }
grep -q 'owners, modes and capabilities from' "$top/win/pack.log" || fail "the front did not pass the attribute file"
[ ! -e "$top/win/vendor/config/vendor_file_contexts.txt.build" ] || fail "the front left its context file copy"

if [ -s "$top/win/vendor.img" ]; then
  fsck.erofs "$top/win/vendor.img" > "$top/fsck.log" 2>&1 || { cat "$top/fsck.log"; fail "fsck.erofs rejects the Windows build"; }
  if unpack "$top/win/vendor.img" "$top/back"; then
    python3 "$here/erofs_compare_trees.py" "$top/orig/vendor/vendor" "$top/back/vendor/vendor" bin/added ||
      fail "the trees differ"
    for f in fs_config file_contexts; do
      grep -av 'bin/added' "$top/back/vendor/config/vendor_$f.txt" > "$top/back-$f.txt"
      cmp -s "$top/orig/vendor/config/vendor_$f.txt" "$top/back-$f.txt" ||
        { diff "$top/orig/vendor/config/vendor_$f.txt" "$top/back-$f.txt" | head -20; fail "the $f files differ"; }
    done
    grep -q $'^vendor/bin/added 0 2000 0755\r$' "$top/back/vendor/config/vendor_fs_config.txt" ||
      fail "the added file has not Android's defaults for bin/ (0 2000 0755)"
    grep -q '^/vendor/bin/added u:object_r:added_exec:s0' "$top/back/vendor/config/vendor_file_contexts.txt" ||
      fail "the added file has not the label of the added line"
    grep -q 'vendor/bin/added is not in the attribute file' "$top/win/pack.log" ||
      fail "the build does not say that the added file has no attributes"
  else
    fail "extract.erofs of the Windows build"
  fi
else
  fail "mkfs.erofs.exe wrote no image"
fi

# ---- dump.erofs.exe -s and fsck.erofs.exe ----
dump.erofs -s "$top/lin/vendor.img" > "$top/dump-linux.txt"
run "$winbin/erofs/dump.erofs.exe" -s 'Z:'"${top//\//\\}"'\lin\vendor.img' | tr -d '\r' > "$top/dump-win.txt" ||
  fail "dump.erofs.exe -s failed"
grep -q 'Filesystem UUID:.*0b0a0c0d-1111-2222-3333-444455556666' "$top/dump-win.txt" || fail "dump.erofs.exe shows no UUID"
cmp -s "$top/dump-linux.txt" "$top/dump-win.txt" ||
  { diff "$top/dump-linux.txt" "$top/dump-win.txt"; fail "dump.erofs.exe -s prints otherwise than dump.erofs -s"; }

(cd "$top/lin" && run "$winbin/erofs/fsck.erofs.exe" vendor.img > fsck-good.log 2>&1) ||
  { cat "$top/lin/fsck-good.log"; fail "fsck.erofs.exe rejects a good image"; }
cp "$top/lin/vendor.img" "$top/lin/badsum.img"
printf '\x5a' | dd of="$top/lin/badsum.img" bs=1 seek=$((1024 + 0x30)) conv=notrunc status=none  # the UUID: only the checksum notices
if (cd "$top/lin" && run "$winbin/erofs/fsck.erofs.exe" badsum.img > fsck-bad.log 2>&1); then
  fail "fsck.erofs.exe accepts an image whose superblock checksum is wrong"
fi
grep -q 'chksum' "$top/lin/fsck-bad.log" || fail "fsck.erofs.exe does not name the checksum"
head -c 12288 "$top/lin/vendor.img" > "$top/lin/short.img"
if (cd "$top/lin" && run "$winbin/erofs/fsck.erofs.exe" short.img > /dev/null 2>&1); then
  fail "fsck.erofs.exe accepts a cut image"
fi

# ---- the same image bytes as the Linux mkfs.erofs from a plain tree, with regular expressions ----
mkdir -p "$top/plain/d/e"
seq 1 20000 > "$top/plain/d/numbers.bin"
head -c 50000 /dev/urandom > "$top/plain/d/e/random.bin"
echo text > "$top/plain/d/e/keep.txt"
echo gone > "$top/plain/d/drop.me"
printf '4096 lz4hc .*\\.bin$\n' > "$top/hints.txt"
same_args=(-zlz4 -T0 -U 0b0a0c0d-1111-2222-3333-444455556666 --compress-hints=hints.txt '--exclude-regex=^d/.*\.me$')
(cd "$top" && mkfs.erofs --quiet "${same_args[@]}" plain-linux.img plain > /dev/null)
(cd "$top" && run "$winbin/erofs/mkfs.erofs.real.exe" --quiet "${same_args[@]}" plain-win.img plain > /dev/null 2>&1) ||
  fail "mkfs.erofs.real.exe with compression hints and an exclude expression"
cmp -s "$top/plain-linux.img" "$top/plain-win.img" ||
  fail "mkfs.erofs.real.exe and mkfs.erofs write different images from the same tree and options"

if [ "$failures" -ne 0 ]; then
  echo "FAIL: $failures check(s) failed"
  exit 1
fi
echo "wine_erofs: all checks passed"
