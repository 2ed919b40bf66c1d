#!/usr/bin/env bash
# The partition-image round trip on Windows: orvex-cli.exe under Wine, with the Windows tool
# folder only (no fake tools, no Linux tools), unpacks a sparse ext4 system.img and an EROFS
# vendor.img made by the Linux tools and packs both folders back. On Linux the rebuilt images
# must pass e2fsck -fn and fsck.erofs, and the Linux orvex-cli must unpack from them a tree equal
# to the source tree in every path's kind, bytes, mode, owner, label, capabilities, link target and
# device numbers. The Windows folders keep links, nodes and names NTFS cannot hold in the entries
# list.
#
#   wine_partition_roundtrip.sh ORVEX_CLI_EXE WINDOWS_BIN_DIR ENGLISH_LNG LINUX_BUILD_DIR
#
# Needs root (device nodes, owners, labels in the source tree), mke2fs, e2fsck, img2simg,
# simg2img, mkfs.erofs, fsck.erofs, setfattr/getfattr and setcap.
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
cli=$1 winbin=$(cd "$2" && pwd) lng=$3 linbuild=$(cd "$4" && pwd)


if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root for the source tree's owners, nodes and labels"; exit 77; fi
for t in mke2fs e2fsck img2simg simg2img mkfs.erofs fsck.erofs setfattr getfattr setcap; do
  command -v "$t" >/dev/null || { echo "FAIL: $t is missing"; exit 1; }
done
[ -x "$linbuild/orvex-cli" ] || { echo "FAIL: no Linux orvex-cli in $linbuild"; exit 1; }
# The Windows tool folder must hold every tool the two round trips start.
for t in simg2img.exe imgextractor.exe imgextractor_.exe fspatch.exe make_ext4fs.exe erofs/dump.erofs.exe \
  erofs/extract.erofs.exe erofs/mkfs.erofs.exe erofs/mkfs.erofs.real.exe; do
  [ -f "$winbin/$t" ] || { echo "FAIL: the Windows tool folder lacks $t"; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-roundtrip.XXXXXX")
trap '[ -n "${ORVEX_KEEP_TMP:-}" ] || rm -rf "$top"' EXIT

# ---- the source tree: what an Android partition holds, and what NTFS cannot ----
src=$top/src
make_tree() {
  local t=$1
  mkdir -p "$t/bin" "$t/etc/init" "$t/lib/empty_dir" "$t/app/Демо" "$t/dev" "$t/odd"
  head -c 3000000 /dev/urandom > "$t/lib/big.bin"
  printf 'start' > "$t/lib/holey.bin"; truncate -s 2M "$t/lib/holey.bin"; printf 'end' >> "$t/lib/holey.bin"
  { yes 'compressible line of text' || true; } | head -c 400000 > "$t/etc/words.txt"
  printf '127.0.0.1 localhost\n' > "$t/etc/hosts"
  : > "$t/etc/empty"
  printf 'service x /bin/x\n' > "$t/etc/init/x.rc"
  printf 'apk' > "$t/app/Демо/Демо.apk"
  printf '#!/bin/sh\n' > "$t/bin/sh"
  head -c 9000 /dev/urandom > "$t/bin/ping"
  ln -s /system/bin/sh "$t/bin/sh_link"
  ln -s ../etc/hosts "$t/bin/hosts_rel"
  ln -s /nowhere/at/all "$t/bin/dangling"
  ln "$t/etc/hosts" "$t/etc/hosts.hard"
  mknod "$t/dev/null_c" c 1 3
  mknod "$t/dev/loop_b" b 7 0
  mkfifo "$t/dev/fifo"
  # Names NTFS cannot hold as they are: a colon, a device name, a trailing dot, two names that
  # differ only in case, and a per-cent sign next to an escaped character.
  printf 'colon' > "$t/odd/a:b"
  printf 'con' > "$t/odd/CON"
  printf 'dot' > "$t/odd/x."
  printf 'upper' > "$t/odd/Makefile"
  printf 'lower' > "$t/odd/makefile"
  printf 'pct' > "$t/odd/50%:x"
  chmod 0755 "$t/bin/sh" "$t/bin" "$t/etc/init"
  chmod 0750 "$t/bin/ping"
  chmod 0600 "$t/etc/hosts"
  chown -R 0:0 "$t"
  chown 0:2000 "$t/bin/ping" "$t/bin/sh"
  chown -h 1000:1000 "$t/app" "$t/bin/sh_link"
  find "$t" -exec setfattr -h -n security.selinux -v u:object_r:system_file:s0 {} \;
  setfattr -h -n security.selinux -v u:object_r:ping_exec:s0 "$t/bin/ping"
  setfattr -h -n security.selinux -v u:object_r:null_device:s0 "$t/dev/null_c"
  setcap cap_net_raw+ep "$t/bin/ping"
}

# Every path: kind, mode, owner, size and digest or link target or device numbers, label and
# capabilities. Hard links are equal files; lost+found is the file system's own.
manifest() {
  (cd "$1" && find . -path ./lost+found -prune -o -print0 | sort -z | while IFS= read -r -d '' p; do
    local d
    d=$(stat -c '%F %a %u:%g' -- "$p")
    case $(stat -c %F -- "$p") in
      "regular file"|"regular empty file") d="$d $(md5sum < "$p" | cut -c1-32)" ;;
      "symbolic link") d="link $(readlink -- "$p") $(stat -c '%u:%g' -- "$p")" ;;
      "character special file"|"block special file") d="$d $(stat -c '%t:%T' -- "$p")" ;;
    esac
    d="$d ctx=$( (getfattr -h --only-values -n security.selinux -- "$p" 2>/dev/null || true) | tr -d '\0')"
    d="$d cap=$( (getfattr -h -e hex -n security.capability -- "$p" 2>/dev/null || true) | sed -n 's/^security.capability=//p')"
    printf '%s\t%s\n' "$p" "$d"
  done)
}

# ---- the Windows program folder: orvex-cli.exe and the Windows tool folder, nothing else ----
app=$top/app
mkdir -p "$app/bin/config"
cp "$cli" "$app/orvex-cli.exe"
cp -r "$winbin/." "$app/bin/"
mkdir -p "$app/bin/language" && cp "$lng" "$app/bin/language/1033.lng"
find "$app/bin" -type l -delete  # nothing of the Linux system may leak in through a link

cli_run() {  # target: sets out and code
  set +e
  if [ -n "${ORVEX_ROUNDTRIP_NATIVE:-}" ]; then  # the same checks on the Linux pipeline, for comparison
    out=$("$lapp/orvex-cli" --set Locale_ID=1033 "$1" 2>"$top/stderr.txt")
  else
    out=$(cd "$top" && "$here/wine-run.sh" "$app/orvex-cli.exe" --set Locale_ID=1033 "$(win "$1")" 2>"$top/stderr.txt")
  fi
  code=$?
  set -e
  out=${out//$'\r'/}
  printf '%s\n' "$out" >> "$top/log.txt"
}

# The Linux orvex-cli, for reading the rebuilt images back with every attribute.
lapp=$top/linux-app
mkdir -p "$lapp/bin/config"
cp "$linbuild/orvex-cli" "$lapp/orvex-cli"
cp -r "$linbuild/bin/." "$lapp/bin/"
linux_unpack() {  # image -> the unpacked folder next to it
  "$lapp/orvex-cli" --set Locale_ID=1033 "$1" > "$top/linux.txt" 2>&1 || fail "the Linux orvex-cli cannot unpack $(basename "$1"): $(tail -3 "$top/linux.txt")"
}

compare_trees() {  # what expected actual
  manifest "$2" > "$top/expected.txt"
  manifest "$3" > "$top/actual.txt"
  if ! diff "$top/expected.txt" "$top/actual.txt" > "$top/diff.txt"; then
    fail "$1: the tree differs from the source"
    head -20 "$top/diff.txt"
  fi
}

make_tree "$src"
fw=$top/fw
mkdir -p "$fw"

# ---- ext4: sparse system.img ----
mke2fs -q -t ext4 -b 4096 -L system -M /system -d "$src" "$top/system.raw" 48M
img2simg "$top/system.raw" "$fw/system.img"
cli_run "$fw/system.img"
[ "$code" = 0 ] || fail "unpacking system.img exited with $code"
tree=$fw/system/system
[ -f "$tree/lib/big.bin" ] && cmp -s "$tree/lib/big.bin" "$src/lib/big.bin" || fail "system: big.bin was not unpacked with its bytes"
if [ -z "${ORVEX_ROUNDTRIP_NATIVE:-}" ]; then
[ -f "$fw/system/config/system_windows_entries.txt" ] || fail "system: no entries list for the links and nodes"
grep -q "^link	bin/sh_link	/system/bin/sh" <(tr -d '\r' < "$fw/system/config/system_windows_entries.txt" 2>/dev/null) ||
  fail "system: the entries list lacks bin/sh_link"
[ "$(cat "$tree/bin/sh_link" 2>/dev/null)" = /system/bin/sh ] || fail "system: the link's file does not hold its target"
fi
# The user edits a file on Windows.
printf '10.0.0.1 edited\n' > "$tree/etc/hosts"
printf '10.0.0.1 edited\n' > "$top/hosts.edited"
mv "$fw/system.img" "$top/system_original.img"
cli_run "$fw/system"
[ "$code" = 0 ] || fail "packing system exited with $code"
if [ -f "$fw/system.img" ]; then
  [ "$(head -c 4 "$fw/system.img" | od -An -tx1 | tr -d ' \n')" = 3aff26ed ] || fail "system.img was not packed sparse"
  simg2img "$fw/system.img" "$top/system.check" || fail "simg2img cannot read the rebuilt system.img"
  e2fsck -fn "$top/system.check" > "$top/fsck.txt" 2>&1 || { fail "e2fsck -fn on the rebuilt system.img"; tail -5 "$top/fsck.txt"; }
  mkdir -p "$top/lsys" && cp "$fw/system.img" "$top/lsys/system.img"
  linux_unpack "$top/lsys/system.img"
  cp "$top/hosts.edited" "$src/etc/hosts"   # the source as the user edited it (hard link too)
  compare_trees "system.img" "$src" "$top/lsys/system/system"
else
  fail "packing wrote no system.img"
fi

# ---- EROFS: raw vendor.img, lz4hc ----
make_tree "$top/vsrc"
mkfs.erofs -zlz4hc -T1700000000 "$fw/vendor.img" "$top/vsrc" > "$top/mkfs.txt" 2>&1 || { echo "FAIL: mkfs.erofs"; cat "$top/mkfs.txt"; exit 1; }
cli_run "$fw/vendor.img"
[ "$code" = 0 ] || fail "unpacking vendor.img exited with $code"
[ -n "${ORVEX_ROUNDTRIP_NATIVE:-}" ] || [ -f "$fw/vendor/config/vendor_windows_entries.txt" ] ||
  fail "vendor: no entries list for the links and nodes"
mv "$fw/vendor.img" "$top/vendor_original.img"
cli_run "$fw/vendor"
[ "$code" = 0 ] || fail "packing vendor exited with $code"
if [ -f "$fw/vendor.img" ]; then
  fsck.erofs "$fw/vendor.img" > "$top/fsck.txt" 2>&1 || { fail "fsck.erofs on the rebuilt vendor.img"; tail -5 "$top/fsck.txt"; }
  mkdir -p "$top/lven" && cp "$fw/vendor.img" "$top/lven/vendor.img"
  linux_unpack "$top/lven/vendor.img"
  compare_trees "vendor.img" "$top/vsrc" "$top/lven/vendor/vendor"
else
  fail "packing wrote no vendor.img"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- orvex-cli.exe log:"; tail -60 "$top/log.txt"; echo "--- stderr:"; tail -20 "$top/stderr.txt"
  echo "wine partition round trip: $failures failed"
  exit 1
fi
echo "wine partition round trip: all checks passed"
