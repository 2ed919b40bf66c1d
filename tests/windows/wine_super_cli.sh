#!/usr/bin/env bash
# orvex-cli.exe under Wine with our Windows super image tools (no fake tools): a raw super image
# is unpacked through the dispatcher (lpdump.exe, lpunpack.exe) and the folder packed back
# (lpmake.exe). The partitions must come out with their bytes, the layout file must be written,
# and the rebuilt image must hold the same layout and the same partition bytes. With the Linux
# build given, its orvex-cli must leave the same folder.
#
#   wine_super_cli.sh ORVEX_CLI_EXE WINDOWS_BIN_DIR ENGLISH_LNG [LINUX_BUILD_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
cli=$1 winbin=$(cd "$2" && pwd) lng=$3
linbuild=${4:+$(cd "$4" && pwd)}


top=$(mktemp -d "${TMPDIR:-/tmp}/wine-super.XXXXXX")
trap 'rm -rf "$top"' EXIT
app="$top/app"
fw="$top/fw dir"
mkdir -p "$app/bin/language" "$app/bin/makesuper" "$app/bin/config" "$fw"
cp "$cli" "$app/orvex-cli.exe"
cp "$lng" "$app/bin/language/1033.lng"
cp "$winbin"/makesuper/*.exe "$app/bin/makesuper/"

# Partitions under names the firmware-folder unpack does not take up (it unpacks system, vendor,
# product and odm), so that the job ends after the split.
head -c 1048576 /dev/urandom > "$top/cust.bin"
head -c 307200 /dev/urandom > "$top/extra.bin"
layout="--metadata-size=65536 --super-name=super --metadata-slots=2 --device=super:16777216
  --group=main:12000000 --partition=cust:readonly:1048576:main --image=cust=$top/cust.bin
  --partition=extra:readonly:307200:main --image=extra=$top/extra.bin --partition=empty:readonly:0:main"
# shellcheck disable=SC2086
(cd "$top" && "$here/wine-run.sh" "$app/bin/makesuper/lpmake.exe" $layout --output=super.img > lpmake.txt 2>&1) ||
  { echo "FAIL: lpmake.exe: $(cat "$top/lpmake.txt")"; exit 1; }
cp "$top/super.img" "$fw/super.img"

cli_run() {  # target: sets out and code
  set +e
  out=$(cd "$top" && "$here/wine-run.sh" "$app/orvex-cli.exe" --set Locale_ID=1033 "$(win "$1")" 2>"$top/stderr.txt")
  code=$?
  set -e
  out=${out//$'\r'/}
}

cli_run "$fw/super.img"
[ "$code" = 0 ] || fail "unpacking exited with $code"
grep -q "Exit code lpunpack: 0" <<< "$out" || fail "no successful lpunpack step in the log"
same "cust partition" "$fw/super/cust.img" "$top/cust.bin"
same "extra partition" "$fw/super/extra.img" "$top/extra.bin"
[ -f "$fw/super/empty.img" ] && [ ! -s "$fw/super/empty.img" ] || fail "the empty partition is not an empty file"
grep -q "Name: cust" "$fw/super/config/super_config.txt" 2>/dev/null || fail "super_config.txt lacks the layout"

if [ -n "$linbuild" ] && [ ! -x "$linbuild/orvex-cli" ]; then
  fail "no orvex-cli in the Linux build $linbuild"
elif [ -n "$linbuild" ]; then
  # The Linux build on the same image leaves the same folder (line ends aside).
  lapp="$top/linux app" lfw="$top/linux fw"
  mkdir -p "$lapp/bin/config" "$lfw"
  cp "$linbuild/orvex-cli" "$lapp/orvex-cli"
  cp -r "$linbuild/bin/language" "$linbuild/bin/makesuper" "$lapp/bin/"
  cp "$top/super.img" "$lfw/super.img"
  "$lapp/orvex-cli" --set Locale_ID=1033 "$lfw/super.img" > "$top/linux.txt" 2>&1 || fail "the Linux orvex-cli failed"
  for f in "$lfw"/super/*.img; do same "$(basename "$f"), Windows and Linux" "$fw/super/$(basename "$f")" "$f"; done
  diff <(tr -d '\r' < "$fw/super/config/super_config.txt") <(tr -d '\r' < "$lfw/super/config/super_config.txt") \
    >/dev/null || fail "super_config.txt differs between Windows and Linux"
fi

# Packing the folder back with lpmake.exe.
mv "$fw/super.img" "$top/super_original.img"
cli_run "$fw/super"
[ "$code" = 0 ] || fail "packing exited with $code"
[ -f "$fw/super.img" ] || fail "packing wrote no super.img"
if [ -f "$fw/super.img" ]; then
  dump() { (cd "$top" && "$here/wine-run.sh" "$app/bin/makesuper/lpdump.exe" "$(win "$1")" | tr -d '\r' |
    grep -E "Name:|Group:|Attributes:|linear|Size:"); }
  [ "$(dump "$fw/super.img")" = "$(dump "$top/super_original.img")" ] || fail "the rebuilt image has another layout"
  rm -rf "$top/again"
  (cd "$top" && "$here/wine-run.sh" "$app/bin/makesuper/lpunpack.exe" "$(win "$fw/super.img")" "$(win "$top/again")" \
    >/dev/null 2>&1) || fail "lpunpack.exe cannot read the rebuilt image"
  same "cust partition after the pack" "$top/again/cust.img" "$top/cust.bin"
  same "extra partition after the pack" "$top/again/extra.img" "$top/extra.bin"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- last output:"; printf '%s\n' "$out"; echo "--- stderr:"; cat "$top/stderr.txt"
  echo "wine orvex-cli super image test: $failures failed"
  exit 1
fi
echo "wine orvex-cli super image test: all checks passed"
