#!/usr/bin/env bash
# Makes the seed corpus of the LP fuzz target: metadata-only images and the metadata areas of
# full images built by our lpmake in several layouts, plus the vendor's metadata-only sample.
# Usage: make_corpus.sh OUTDIR LPMAKE [SAMPLES_DIR]
set -euo pipefail
out=${1:?usage: make_corpus.sh OUTDIR LPMAKE [SAMPLES_DIR]}
lpmake=${2:?usage: make_corpus.sh OUTDIR LPMAKE [SAMPLES_DIR]}
samples=${3:-$(dirname "$0")/../../../shared/samples/super_lp}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c 20000 /dev/urandom > "$tmp/part.img"

n=0
while read -r opts; do
  n=$((n + 1))
  # shellcheck disable=SC2086
  "$lpmake" $opts --output="$tmp/full_$n.img" > /dev/null
  # The metadata area is all a reader looks at: keep the first 64 KiB.
  head -c 65536 "$tmp/full_$n.img" > "$out/full_$n.img"
  # The same layout without images: the metadata-only form.
  # shellcheck disable=SC2086
  "$lpmake" $(echo "$opts" | sed 's/ --image=[^ ]*//g') --output="$out/empty_$n.img" > /dev/null
done <<LIST
--metadata-size=4096 --metadata-slots=1 --device-size=4194304 --partition=a:readonly:20000 --image=a=$tmp/part.img
--metadata-size=4096 --metadata-slots=2 --device-size=8388608 --group=g:0 --partition=a:none:0:g --partition=b:readonly:0:g --virtual-ab -x --image=a=$tmp/part.img
--metadata-size=8192 --metadata-slots=3 --device=super:16777216:4096 --group=m_a:8000000 --group=m_b:8000000 --partition=s_a:readonly:20000:m_a --partition=s_b:readonly:0:m_b --virtual-ab --image=s_a=$tmp/part.img
LIST
cp "$samples"/*.img "$out/" 2>/dev/null || true
ls "$out" | wc -l
