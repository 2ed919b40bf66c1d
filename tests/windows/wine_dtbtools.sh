#!/usr/bin/env bash
# The Windows multi-DTB tools under Wine on trees compiled by dtc: dtbTool.exe packs a folder
# whose name holds blanks and Cyrillic letters, dtbSplit.exe splits the container again, and the
# split folder packs back to the same bytes. With the Linux tool folder given, the Linux tools
# must write the same container and the same split files.
#
#   wine_dtbtools.sh WINDOWS_BIN_DIR [LINUX_BIN_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=${2:+$(cd "$2" && pwd)}

command -v dtc >/dev/null || { echo "FAIL: dtc is missing (scripts/install-deps.sh installs it)"; exit 1; }

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-dtb.XXXXXX")
trap 'rm -rf "$top"' EXIT
in="$top/деревья in"
mkdir -p "$in"
for id in gxl_p212_2g gxbb_p200_1g; do
  printf '/dts-v1/;\n/ {\n\tamlogic-dt-id = "%s";\n\tmodel = "board %s";\n\tcompatible = "test,%s";\n};\n' \
    "$id" "$id" "$id" > "$top/$id.dts"
  dtc -q -I dts -O dtb -o "$in/$id.dtb" "$top/$id.dts"
done

cd "$top"
run "$winbin/dtbTool.exe" -o "$(win "$top/multi.img")" "$(win "$in")" > pack.txt 2>&1 ||
  fail "dtbTool.exe: $(cat pack.txt)"
out="$top/разделено out"
run "$winbin/dtbSplit.exe" "$(win "$top/multi.img")" "$(win "$out")" > split.txt 2>&1 ||
  fail "dtbSplit.exe: $(cat split.txt)"
[ "$(find "$out" -name '*.dtb' 2>/dev/null | wc -l)" = 2 ] || fail "dtbSplit.exe did not write two trees"
for f in "$in"/*.dtb; do
  sum=$(md5sum < "$f")
  found=0
  for g in "$out"/*.dtb; do [ -f "$g" ] && [ "$(md5sum < "$g")" = "$sum" ] && found=1; done
  [ "$found" = 1 ] || fail "no split tree holds the bytes of $(basename "$f")"
done
run "$winbin/dtbTool.exe" -o "$(win "$top/back.img")" "$(win "$out")" > repack.txt 2>&1 ||
  fail "dtbTool.exe on the split folder: $(cat repack.txt)"
same "container packed again" back.img multi.img

if [ -n "$linbin" ]; then
  "$linbin/dtbTool" -o multi_linux.img "$in" >/dev/null 2>&1 || fail "the Linux dtbTool failed"
  same "container, Windows and Linux" multi.img multi_linux.img
  "$linbin/dtbSplit" multi.img out_linux >/dev/null 2>&1 || fail "the Linux dtbSplit failed"
  diff -r out_linux "$out" >/dev/null || fail "the split folders of Windows and Linux differ"
fi

if [ "$failures" -ne 0 ]; then
  echo "wine multi-DTB tools test: $failures failed"
  exit 1
fi
echo "wine multi-DTB tools test: all checks passed"
