#!/usr/bin/env bash
# Seed corpus of the transfer-list fuzz target: the published ROM's list, hand-written lists of
# every version, and lists our img2sdat writes for a few images.
# Usage: make_corpus.sh OUTDIR [BIN_DIR] [SAMPLES_DIR]
set -euo pipefail
out=${1:?usage: make_corpus.sh OUTDIR [BIN_DIR] [SAMPLES_DIR]}
bin=${2:-}
samples=${3:-$(dirname "$0")/../../../shared/samples/newdat}
mkdir -p "$out"
[ -f "$samples/pe_odm.transfer.list" ] && cp "$samples/pe_odm.transfer.list" "$out/sample.list"
printf '1\n12\nnew 2,0,10\nzero 2,10,12\nerase 2,12,20\n' > "$out/v1.list"
for v in 2 3 4; do
  printf '%s\n9\n0\n0\nerase 2,0,14\nnew 2,7,9\nzero 2,0,2\nnew 4,2,5,12,13\nzero 2,13,14\n' "$v" > "$out/v$v.list"
done
printf '3\n3\n0\n0\nnew 2,0,1\nmove 2,0,1 1 2,3,4\n' > "$out/incremental.list"
if [ -n "$bin" ] && [ -x "$bin/img2sdat" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  for n in 1 300 3000; do
    head -c $((n * 4096)) /dev/urandom > "$tmp/r.img"
    dd if=/dev/zero of="$tmp/r.img" bs=4096 seek=$((n / 2)) count=$((n / 4 + 1)) conv=notrunc 2> /dev/null
    (cd "$tmp" && "$bin/img2sdat" r.img -v $(( (n % 4) + 1 )) -p r > /dev/null)
    cp "$tmp/r.transfer.list" "$out/img2sdat-$n.list"
  done
fi
