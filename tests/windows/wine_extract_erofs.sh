#!/usr/bin/env bash
# extract.erofs.exe under Wine on EROFS images made by mkfs.erofs on Linux (LZ4HC compressed and
# uncompressed), from a tree with what NTFS cannot hold: symbolic links, a hard link, device
# nodes, a fifo, names with forbidden characters, a device name, a trailing dot, two names that
# differ only in case. Against the Linux extract.erofs on the same image:
#   - the same config files, byte for byte;
#   - every entry of the Linux tree at its stored place in the Windows tree (names mapped back
#     through the entries list): folders as folders, regular files with the same bytes, links as
#     files holding their target, nodes and fifos as empty files, the list giving each its kind,
#     target or device numbers; hard links still one file;
#   - the list holds exactly those links and nodes and the names NTFS cannot hold, CR LF ended.
#
#   wine_extract_erofs.sh WINDOWS_BIN_DIR LINUX_BIN_DIR
#
# Needs root (device nodes, owners, labels and capabilities in the source tree), mkfs.erofs,
# setfattr and setcap.
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=$(cd "$2" && pwd)


if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root for the source tree's nodes, owners and labels"; exit 0; fi
for t in mkfs.erofs setfattr setcap md5sum; do
  command -v "$t" >/dev/null || PATH=$PATH:/usr/sbin:/sbin
  command -v "$t" >/dev/null || { echo "FAIL: $t is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
[ -x "$linbin/erofs/extract.erofs" ] || { echo "FAIL: no Linux extract.erofs in $linbin/erofs"; exit 1; }
[ -f "$winbin/erofs/extract.erofs.exe" ] || { echo "FAIL: no extract.erofs.exe in $winbin/erofs"; exit 1; }

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-erofs.XXXXXX")
trap 'rm -rf "$top"' EXIT

# ---- the source tree --------------------------------------------------------------------------
src=$top/src
mkdir -p "$src/bin" "$src/etc/init/deep/deeper" "$src/lib/empty_dir" "$src/dev" "$src/odd" "$src/app/Демо" \
  "$src/app:x"
head -c 1500000 /dev/urandom > "$src/lib/big.bin"                     # more than 1 MiB, incompressible
{ yes 'a line that compresses well' || true; } | head -c 600000 > "$src/etc/words.txt"
: > "$src/etc/empty"
printf '127.0.0.1 localhost\n' > "$src/etc/hosts"
ln "$src/etc/hosts" "$src/etc/hosts.hard"
head -c 9000 /dev/urandom > "$src/bin/ping"
printf '#!/bin/sh\n' > "$src/bin/sh"
printf 'service deep /bin/sh\n' > "$src/etc/init/deep/deeper/deep.rc"
printf 'apk' > "$src/app/Демо/Демо.apk"
# A file whose first name is in a folder stored under another name, its second name elsewhere.
printf 'shared' > "$src/app:x/shared"
ln "$src/app:x/shared" "$src/etc/shared.hard"
ln -s /system/bin/sh "$src/bin/sh_abs"
ln -s ../etc/hosts "$src/bin/hosts_rel"
ln -s /nowhere/at/all "$src/bin/dangling"
ln -s "../odd/50%" "$src/bin/percent_link"
mknod "$src/dev/null_c" c 1 3
mknod "$src/dev/loop_b" b 7 300
mkfifo "$src/dev/fifo"
printf 'colon' > "$src/odd/a:b"
printf 'con' > "$src/odd/CON"
printf 'dot' > "$src/odd/x."
printf 'upper' > "$src/odd/Makefile"
printf 'lower' > "$src/odd/makefile"
printf 'percent' > "$src/odd/50%"
printf 'both' > "$src/odd/50%:x"
printf 'cyrillic' > "$src/odd/Файл.txt"
chmod 0755 "$src/bin/sh" "$src/bin" "$src/etc/init"
chmod 0750 "$src/bin/ping"
chmod 0600 "$src/etc/hosts"
chown -R 0:0 "$src"
chown 0:2000 "$src/bin/ping" "$src/bin/sh"
chown -h 1000:1000 "$src/app" "$src/bin/sh_abs"
find "$src" -exec setfattr -h -n security.selinux -v u:object_r:vendor_file:s0 {} \;
setfattr -h -n security.selinux -v u:object_r:ping_exec:s0 "$src/bin/ping"
setfattr -h -n security.selinux -v u:object_r:null_device:s0 "$src/dev/null_c"
setcap cap_net_raw+ep "$src/bin/ping"

# The names NTFS cannot hold, as paths in the image: the list must rename exactly these.
expected_renamed=$(printf '%s\n' "app:x" "odd/a:b" "odd/CON" "odd/x." "odd/makefile" "odd/50%:x" | sort)

# ---- one tree as "path<TAB>what" lines, sorted ------------------------------------------------
linux_manifest() {  # tree
  (cd "$1" && find . -mindepth 1 -print0 | while IFS= read -r -d '' p; do
    p=${p#./}
    case $(stat -c %F -- "$p") in
      directory) d=dir ;;
      "symbolic link") d="link $(readlink -- "$p")" ;;
      "character special file") d="char $((16#$(stat -c %t -- "$p"))) $((16#$(stat -c %T -- "$p")))" ;;
      "block special file") d="block $((16#$(stat -c %t -- "$p"))) $((16#$(stat -c %T -- "$p")))" ;;
      fifo) d=fifo ;;
      *) d="file $(md5sum < "$p" | cut -c1-32)" ;;
    esac
    printf '%s\t%s\n' "$p" "$d"
  done) | sort
}

declare -A kept names
unescape() {  # a target or original path of the list: %XX is the byte XX
  local t=${1//\\/\\\\}
  printf '%b' "${t//%/\\x}"
}
read_list() {  # list file: fills kept[stored path] and names[stored path]
  kept=() names=()
  local kind a b c
  while IFS=$'\t' read -r kind a b c; do
    case $kind in
      link) kept[$a]="link $(unescape "$b")" ;;
      char | block) kept[$a]="$kind $b $c" ;;
      fifo | socket) kept[$a]=$kind ;;
      name) names[$a]=$(unescape "$b") ;;
      *) fail "entries list: unknown line kind '$kind'" ;;
    esac
  done < <(tr -d '\r' < "$1")
}
original_of() {  # stored path -> path in the image
  local p=$1
  if [ -n "${names[$p]+x}" ]; then printf '%s' "${names[$p]}"
  elif [[ $p == */* ]]; then printf '%s/%s' "$(original_of "${p%/*}")" "${p##*/}"
  else printf '%s' "$p"; fi
}
windows_manifest() {  # tree (list read)
  (cd "$1" && find . -mindepth 1 -print0 | while IFS= read -r -d '' p; do
    p=${p#./}
    if [ -d "$p" ] && [ ! -L "$p" ]; then d=dir
    elif [ ! -f "$p" ] || [ -L "$p" ]; then d="not a file or folder: $(stat -c %F -- "$p")"
    elif [ -n "${kept[$p]+x}" ]; then
      d=${kept[$p]}
      case $d in
        "link "*) [ "$(cat -- "$p")" = "${d#link }" ] || d="$d, but the file holds '$(cat -- "$p")'" ;;
        *) [ -s "$p" ] && d="$d, but the file is not empty" ;;
      esac
    else d="file $(md5sum < "$p" | cut -c1-32)"
    fi
    printf '%s\t%s\n' "$(original_of "$p")" "$d"
  done) | sort
}
stored_of() {  # path in the image -> stored path (by the list's names)
  local s
  for s in "${!names[@]}"; do [ "${names[$s]}" = "$1" ] && { printf '%s' "$s"; return; }; done
  if [[ $1 == */* ]]; then printf '%s/%s' "$(stored_of "${1%/*}")" "${1##*/}"; else printf '%s' "$1"; fi
}

check_image() {  # label mkfs-options
  local label=$1 opts=$2 dir=$top/$1
  mkdir -p "$dir/linux" "$dir/windows"
  # shellcheck disable=SC2086
  mkfs.erofs $opts -T1700000000 -U 0b0a0c0d-1111-2222-3333-444455556666 "$dir/linux/vendor.img" "$src" \
    > "$dir/mkfs.txt" 2>&1 || { fail "$label: mkfs.erofs"; cat "$dir/mkfs.txt"; return; }
  cp "$dir/linux/vendor.img" "$dir/windows/vendor.img"
  # As the unpack job runs it: from the image's folder, the output folder relative to it.
  (cd "$dir/linux" && "$linbin/erofs/extract.erofs" -i vendor.img -x -f -o vendor) > "$dir/linux.txt" 2>&1 ||
    { fail "$label: the Linux extract.erofs failed"; cat "$dir/linux.txt"; return; }
  (cd "$dir/windows" && "$here/wine-run.sh" "$winbin/erofs/extract.erofs.exe" -i vendor.img -x -f -o vendor) \
    > "$dir/windows.txt" 2>&1 || { fail "$label: extract.erofs.exe failed"; cat "$dir/windows.txt"; return; }
  grep -q "warning" "$dir/windows.txt" && fail "$label: extract.erofs.exe warned: $(grep warning "$dir/windows.txt")"

  local cfg=vendor/config f
  for f in vendor_fs_config vendor_file_contexts vendor_fs_options; do
    if [ ! -f "$dir/windows/$cfg/$f" ]; then fail "$label: extract.erofs.exe wrote no config/$f"
    elif ! cmp -s "$dir/linux/$cfg/$f" "$dir/windows/$cfg/$f"; then
      fail "$label: config/$f differs from the Linux one"
      diff <(tr -d '\r' < "$dir/linux/$cfg/$f") <(tr -d '\r' < "$dir/windows/$cfg/$f") | head -10
    fi
  done
  grep -q "capabilities=0x" "$dir/linux/$cfg/vendor_fs_config" || fail "$label: the attribute file has no capabilities"
  grep -q "ping_exec" "$dir/linux/$cfg/vendor_file_contexts" || fail "$label: the context file has no labels"
  [ ! -e "$dir/linux/$cfg/vendor_windows_entries.txt" ] || fail "$label: the Linux extract.erofs wrote an entries list"

  local list=$dir/windows/$cfg/vendor_windows_entries.txt
  [ -f "$list" ] || { fail "$label: extract.erofs.exe wrote no entries list"; return; }
  [ "$(grep -c $'\r$' "$list")" = "$(wc -l < "$list")" ] || fail "$label: not every line of the list ends with CR LF"
  read_list "$list"

  linux_manifest "$dir/linux/vendor/vendor" > "$dir/linux.manifest"
  windows_manifest "$dir/windows/vendor/vendor" > "$dir/windows.manifest"
  [ "$(wc -l < "$dir/linux.manifest")" -ge 30 ] || fail "$label: the Linux tree is too small to compare"
  if ! diff "$dir/linux.manifest" "$dir/windows.manifest" > "$dir/diff.txt"; then
    fail "$label: the Windows tree, mapped back through the list, differs from the Linux tree"
    head -20 "$dir/diff.txt"
  fi
  # Exactly the links and nodes are kept, and exactly the names NTFS cannot hold are renamed.
  local expected_kept
  expected_kept=$(grep -cE $'\t(link|char|block|fifo|socket)( |$)' "$dir/linux.manifest" || true)
  [ "${#kept[@]}" = "$expected_kept" ] || fail "$label: the list keeps ${#kept[@]} entries, the tree has $expected_kept links and nodes"
  local renamed s
  renamed=$(for s in "${!names[@]}"; do printf '%s\n' "${names[$s]}"; done | sort)
  [ "$renamed" = "$expected_renamed" ] || fail "$label: renamed names: $(echo $renamed), expected $(echo $expected_renamed)"
  for s in "${!names[@]}"; do [ "$s" != "${names[$s]}" ] || fail "$label: $s is listed as renamed to itself"; done
  [ -f "$dir/windows/vendor/vendor/odd/Makefile" ] || fail "$label: odd/Makefile is not stored under its own name"
  [ -f "$dir/windows/vendor/vendor/odd/Файл.txt" ] || fail "$label: the Cyrillic name is not stored as it is"
  [ -f "$dir/windows/vendor/vendor/odd/50%" ] || fail "$label: odd/50% is not stored as it is"

  # Hard links stay one file, also when the first name is in a renamed folder.
  local w=$dir/windows/vendor/vendor a b
  for pair in "etc/hosts etc/hosts.hard" "app:x/shared etc/shared.hard"; do
    a=$(stored_of "${pair% *}") b=$(stored_of "${pair#* }")
    [ "$(stat -c %i -- "$w/$a" 2>/dev/null)" = "$(stat -c %i -- "$w/$b" 2>/dev/null)" ] ||
      fail "$label: $a and $b are not one file"
  done
}

check_image lz4hc "-zlz4hc"
check_image plain ""

# Arguments in UTF-8 whatever the code page: an image and an output folder with Cyrillic letters
# and a blank, the output given as a full Windows path.
uni=$top/"Образ 1"
mkdir -p "$uni"
cp "$top/plain/linux/vendor.img" "$uni/Раздел.img"
(cd "$uni" && "$here/wine-run.sh" "$winbin/erofs/extract.erofs.exe" -i "Раздел.img" -x -o "Z:${uni//\//\\}\\Папка") \
  > "$top/unicode.txt" 2>&1 || { fail "Cyrillic paths: extract.erofs.exe failed"; cat "$top/unicode.txt"; }
cmp -s "$uni/Папка/Раздел/lib/big.bin" "$src/lib/big.bin" || fail "Cyrillic paths: the tree is not in Папка"
[ -f "$uni/Папка/config/Раздел_fs_config" ] || fail "Cyrillic paths: no config/Раздел_fs_config"

if [ "$failures" -ne 0 ]; then
  echo "wine extract.erofs: $failures failed"
  exit 1
fi
echo "wine extract.erofs: all checks passed"
