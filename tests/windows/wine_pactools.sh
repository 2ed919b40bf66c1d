#!/usr/bin/env bash
# PacExtractor.exe under Wine on PAC firmware written by make_pac.py: files with Cyrillic names
# into a folder whose name holds blanks and Cyrillic letters, every file's bytes checked; a PAC
# with a damaged data sum and one with a file name Windows forbids are refused, and the refused
# extraction leaves no files behind. With the Linux tool folder given, the Linux PacExtractor must
# write the same files and the same lines.
#
#   wine_pactools.sh WINDOWS_BIN_DIR [LINUX_BIN_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=${2:+$(cd "$2" && pwd)}


top=$(mktemp -d "${TMPDIR:-/tmp}/wine-pac.XXXXXX")
trap 'rm -rf "$top"' EXIT
cd "$top"
head -c 3000000 /dev/urandom > system.img
printf 'fdl1 loader' > fdl1.bin
head -c 70000 /dev/urandom > "модем.bin"
: > empty
python3 "$here/make_pac.py" fw.pac system.img=system.img fdl1.bin=fdl1.bin "модем.bin=модем.bin" \
  userdata.img=empty

out="$top/папка out"
run "$winbin/PacExtractor.exe" "$(win fw.pac)" "$(win "$out")" > win.txt 2> win.err ||
  fail "PacExtractor.exe: $(cat win.txt win.err)"
for f in system.img fdl1.bin "модем.bin"; do
  cmp -s "$f" "$out/$f" || fail "the extracted $f differs from the file packed"
done
[ ! -e "$out/userdata.img" ] || fail "an entry without data was written as a file"
grep -q "Data CRC-16 ok" win.txt || fail "the data sum was not reported as checked: $(cat win.txt)"

# A damaged byte in the data: the sum check fails and nothing is left behind.
cp fw.pac bad.pac
printf '\x55' | dd of=bad.pac bs=1 seek=$(( $(stat -c %s bad.pac) - 10 )) conv=notrunc status=none
if run "$winbin/PacExtractor.exe" "$(win bad.pac)" "$(win "$top/bad out")" > bad.txt 2>&1; then
  fail "PacExtractor.exe took a PAC with a damaged data sum"
fi
grep -q "CRC mismatch" bad.txt || fail "the damaged sum was not named: $(cat bad.txt)"
[ -z "$(find "$top/bad out" -type f 2>/dev/null)" ] || fail "a refused PAC left files behind"

# A name Windows cannot hold ('?'): an error naming the file, never a success.
python3 "$here/make_pac.py" odd.pac "what?.img=fdl1.bin"
if run "$winbin/PacExtractor.exe" "$(win odd.pac)" "$(win "$top/odd out")" > odd.txt 2>&1; then
  fail "PacExtractor.exe reported success for a name Windows cannot hold"
fi
grep -q "what?.img" odd.txt || fail "the error does not name the file: $(cat odd.txt)"

if [ -n "$linbin" ]; then
  "$linbin/PacExtractor" fw.pac linux_out > linux.txt || fail "the Linux PacExtractor failed"
  diff -r linux_out "$out" >/dev/null || fail "the folders of Windows and Linux differ"
  sed 's/\r$//' win.txt > win_lf.txt
  diff linux.txt win_lf.txt >/dev/null || fail "the lines of Windows and Linux differ: $(diff linux.txt win_lf.txt)"
fi

if [ "$failures" -ne 0 ]; then
  echo "wine PAC tools test: $failures failed"
  exit 1
fi
echo "wine PAC tools test: all checks passed"
