#!/usr/bin/env bash
# Transfer-list tools benchmark on an image of about 1 GiB: sdat2img and img2sdat against cp of the
# same bytes, and our brotli against Debian's brotli (decompression, and compression at the
# default --quality 7 of the Compress setting); wall time and peak memory of each run.
#
#   bash bench/transfer_list/run.sh [BUILD_DIR]          (default build dir: build)
#
# Environment: BENCH_SIZE_MB (image size, default 1024), BENCH_BROTLI_MB (how much of the data
# file the brotli runs take, default all of it), BENCH_DIR (scratch folder, default a new folder
# under /tmp, removed at the end unless BENCH_KEEP=1), BENCH_RUNS (runs of each, best wall time
# taken; default 3). Processor time (user + system) is shown too: on a shared machine it is the
# steadier figure.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
BIN=$BUILD/bin
SIZE_MB=${BENCH_SIZE_MB:-1024}
RUNS=${BENCH_RUNS:-3}
WORK=${BENCH_DIR:-$(mktemp -d /tmp/orvex-sdat-bench-XXXXXX)}

for t in sdat2img img2sdat brotli; do
  [ -x "$BIN/$t" ] || { echo "missing $BIN/$t: build the tools first" >&2; exit 1; }
done
for t in /usr/bin/brotli /usr/bin/time; do
  [ -x "$t" ] || { echo "missing $t (Debian packages brotli, time)" >&2; exit 1; }
done
cleanup() { [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"; }
trap cleanup EXIT

# Best of RUNS: label, then the command. Prints wall seconds and peak resident memory.
measure() {
  local label=$1; shift
  local best="" bestkb=0 bestcpu=""
  for _ in $(seq "$RUNS"); do
    rm -f "$WORK/out" "$WORK/out.part"
    sync
    /usr/bin/time -f "%e %M %U %S" -o "$WORK/time.txt" "$@" >"$WORK/last.log" 2>&1 || {
      echo "$label failed:" >&2; tail -5 "$WORK/last.log" >&2; exit 1; }
    read -r secs kb usr sys <"$WORK/time.txt"
    cpu=$(awk "BEGIN{print $usr + $sys}")
    if [ -z "$best" ] || awk "BEGIN{exit !($secs < $best)}"; then best=$secs; fi
    if [ -z "$bestcpu" ] || awk "BEGIN{exit !($cpu < $bestcpu)}"; then bestcpu=$cpu; fi
    [ "$kb" -gt "$bestkb" ] && bestkb=$kb
  done
  printf '%-56s wall %7.2f s  cpu %7.2f s  peak %8d KiB\n' "$label" "$best" "$bestcpu" "$bestkb"
}

echo "scratch folder: $WORK"
cd "$WORK"
# A firmware-like image: executable and library bytes of this machine (they compress about as
# system partitions do), with runs of zero blocks between them.
echo "making an image of $SIZE_MB MiB ..."
find /usr/lib /usr/bin -type f -size +64k -print0 2>/dev/null | xargs -0 cat 2>/dev/null |
  head -c $((SIZE_MB * 1024 * 1024 * 7 / 8)) > body.bin || true
{
  i=0
  while [ "$i" -lt 8 ]; do
    dd if=body.bin bs=1M skip=$((i * SIZE_MB / 8 * 7 / 8)) count=$((SIZE_MB / 8 * 7 / 8)) status=none
    head -c $((SIZE_MB / 8 * 1024 * 1024 / 8)) /dev/zero
    i=$((i + 1))
  done
} > image.raw
truncate -s $((SIZE_MB * 1024 * 1024)) image.raw
rm -f body.bin
ls -l image.raw

echo
echo "img2sdat (raw image -> system.new.dat + list) against cp of the image:"
measure "cp image.raw out" cp image.raw out
measure "img2sdat image.raw -v 4 -p s" "$BIN/img2sdat" image.raw -v 4 -p s
ls -l s.new.dat s.transfer.list

echo
echo "sdat2img (list + data -> image) against cp of the data file:"
measure "cp s.new.dat out" cp s.new.dat out
measure "sdat2img s.transfer.list s.new.dat out" "$BIN/sdat2img" s.transfer.list s.new.dat out
cmp out image.raw && echo "sdat2img output equals the image"

echo
BROTLI_MB=${BENCH_BROTLI_MB:-0}
if [ "$BROTLI_MB" -gt 0 ]; then head -c $((BROTLI_MB * 1024 * 1024)) s.new.dat > b.dat; else ln s.new.dat b.dat; fi
echo "brotli on $(stat -c %s b.dat) bytes of the data file, ours against Debian's:"
/usr/bin/brotli -q 7 -c b.dat > deb.br
measure "Debian: brotli -q 7 -c b.dat > out" sh -c "/usr/bin/brotli -q 7 -c b.dat > out"
measure "ours:   brotli --in b.dat --out out --quality 7" "$BIN/brotli" --in b.dat --out out --force --quality 7
"$BIN/brotli" --in b.dat --out ours.br --quality 7
cmp ours.br deb.br && echo "both compress to the same bytes"
measure "Debian: brotli -d -c deb.br > out" sh -c "/usr/bin/brotli -d -c deb.br > out"
measure "ours:   brotli --decompress --in deb.br --out out" "$BIN/brotli" --decompress --in deb.br --out out --force
cmp out b.dat && echo "our decompression equals the data"
