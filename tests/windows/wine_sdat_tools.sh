#!/usr/bin/env bash
# img2sdat.exe, sdat2img.exe and brotli.exe under Wine on a transfer list made on Linux, compared
# byte for byte with the Linux build of the same tools; lz4.exe against the packaged lz4 with the
# options the jobs use (the same frames both ways).
#
#   wine_sdat_tools.sh WINDOWS_BIN_DIR [LINUX_BIN_DIR]
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=${2:+$(cd "$2" && pwd)}


for tool in img2simg lz4; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-sdat.XXXXXX")
trap 'rm -rf "$top"' EXIT
cd "$top"

# A partition image with data, zero and repeated-word blocks, as a sparse image.
head -c 400000 /dev/urandom > system.raw
truncate -s 8M system.raw
head -c 16384 /dev/zero | tr '\0' '\7' | dd of=system.raw bs=4096 seek=500 conv=notrunc status=none
head -c 30000 /dev/urandom | dd of=system.raw bs=4096 seek=1500 conv=notrunc status=none
img2simg system.raw system.img

# The list by the Windows tool, from the sparse and from the raw image, in a folder of its own.
mkdir win lin
for v in 4 1; do
  run "$winbin/img2sdat.exe" system.img -v "$v" -p "system$v" -o win > out.txt 2>&1 ||
    fail "img2sdat.exe -v $v: $(cat out.txt)"
done
run "$winbin/sdat2img.exe" win/system4.transfer.list win/system4.new.dat win/system.back.img > out.txt 2>&1 ||
  fail "sdat2img.exe: $(cat out.txt)"
same "sdat2img.exe gives the image back" win/system.back.img system.raw
# A data file shorter than the list needs is refused and leaves no image.
head -c 4096 win/system4.new.dat > short.dat
set +e
run "$winbin/sdat2img.exe" win/system4.transfer.list short.dat short.img > out.txt 2>&1
rc=$?
set -e
[ "$rc" != 0 ] || fail "sdat2img.exe accepts a short data file"
[ ! -e short.img ] && [ ! -e short.img.part ] || fail "sdat2img.exe left an image of a short data file"

for q in 6 11; do
  run "$winbin/brotli.exe" --in win/system4.new.dat --out "win/system4.new.dat.q$q.br" -q "$q" > out.txt 2>&1 ||
    fail "brotli.exe -q $q: $(cat out.txt)"
  run "$winbin/brotli.exe" --decompress --in "win/system4.new.dat.q$q.br" --out "win/back.q$q.dat" > out.txt 2>&1 ||
    fail "brotli.exe --decompress: $(cat out.txt)"
  same "brotli.exe -q $q round trip" "win/back.q$q.dat" win/system4.new.dat
done
# An existing output is kept without --force.
set +e
run "$winbin/brotli.exe" --in win/system4.new.dat --out win/back.q6.dat > out.txt 2>&1
rc=$?
set -e
[ "$rc" != 0 ] || fail "brotli.exe replaced an existing output without --force"
same "brotli.exe kept the existing output" win/back.q6.dat win/system4.new.dat

if [ -n "$linbin" ] && [ -x "$linbin/img2sdat" ]; then
  for v in 4 1; do
    "$linbin/img2sdat" system.img -v "$v" -p "system$v" -o lin >/dev/null || fail "the Linux img2sdat -v $v failed"
    for f in new.dat transfer.list patch.dat; do
      same "img2sdat.exe -v $v, Windows and Linux" "win/system$v.$f" "lin/system$v.$f"
    done
  done
  # The list made on Linux, rebuilt by the Windows tool and by the Linux one.
  "$linbin/sdat2img" lin/system1.transfer.list lin/system1.new.dat lin/system1.img >/dev/null
  run "$winbin/sdat2img.exe" lin/system1.transfer.list lin/system1.new.dat win/system1.img > out.txt 2>&1 ||
    fail "sdat2img.exe on the Linux list: $(cat out.txt)"
  same "sdat2img.exe on a list made on Linux" win/system1.img lin/system1.img
  for q in 6 11; do
    "$linbin/brotli" --in lin/system4.new.dat --out "lin/system4.new.dat.q$q.br" -q "$q" >/dev/null
    same "brotli.exe -q $q, Windows and Linux" "win/system4.new.dat.q$q.br" "lin/system4.new.dat.q$q.br"
  done
  run "$winbin/brotli.exe" -d --in lin/system4.new.dat.q11.br --out win/from_linux.dat > out.txt 2>&1 ||
    fail "brotli.exe on a Linux stream: $(cat out.txt)"
  same "brotli.exe decompressing a Linux stream" win/from_linux.dat lin/system4.new.dat
fi

# lz4.exe as the jobs run it, against the packaged lz4.
if [ -x "$winbin/lz4.exe" ]; then
  run "$winbin/lz4.exe" -B6 --content-size system.raw system.win.lz4 > out.txt 2>&1 || fail "lz4.exe: $(cat out.txt)"
  lz4 -q -B6 --content-size system.raw system.deb.lz4
  same "lz4.exe -B6 --content-size and the packaged lz4" system.win.lz4 system.deb.lz4
  run "$winbin/lz4.exe" -d system.deb.lz4 system.win.back > out.txt 2>&1 || fail "lz4.exe -d: $(cat out.txt)"
  same "lz4.exe -d on the packaged lz4's frame" system.win.back system.raw
  lz4 -q -d system.win.lz4 system.deb.back
  same "the packaged lz4 -d on lz4.exe's frame" system.deb.back system.raw
else
  fail "lz4.exe is not in $winbin (scripts/windows-deps.sh builds it)"
fi

if [ "$failures" -ne 0 ]; then
  echo "wine transfer list and compression tools test: $failures failed"
  exit 1
fi
echo "wine transfer list and compression tools test: all checks passed"
