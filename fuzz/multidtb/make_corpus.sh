#!/usr/bin/env bash
# Makes the seed corpus of the multi-DTB fuzz target: containers of versions 1 and 2 with one to
# three trees compiled by the installed dtc and packed by dtbTool, their gzip forms, a bare tree
# and the vendor sample. Usage: make_corpus.sh OUTDIR BIN_DIR [SAMPLES_DIR]
set -euo pipefail
out=${1:?usage: make_corpus.sh OUTDIR BIN_DIR [SAMPLES_DIR]}
bin=${2:?usage: make_corpus.sh OUTDIR BIN_DIR [SAMPLES_DIR]}
samples=${3:-$(dirname "$0")/../../../shared/samples}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

tree() {  # tree ID FILE
  printf '/dts-v1/;\n/ {\n\tamlogic-dt-id = "%s";\n\tmodel = "fuzz %s";\n\tsoc { reg = <1 2>; };\n};\n' "$1" "$1" |
    dtc -q -I dts -O dtb -o "$2" -
}
for v in 1 2; do
  for n in 1 2 3; do
    d=$tmp/v${v}_$n
    mkdir -p "$d"
    printf 'Version: %s\r\nPageSize: 512\r\n' "$v" > "$d/multidtb.cfg"
    for i in $(seq 1 $n); do tree "gxl_p21${i}_${i}g" "$d/t$i.dtb"; done
    "$bin/dtbTool" -o "$out/v${v}_$n.img" "$d" > /dev/null
    gzip -nc "$out/v${v}_$n.img" > "$out/v${v}_$n.img.gz"
  done
done
tree "g12a_u200_2g" "$out/bare.dtb"
cp "$samples/amlogic_multidtb/jethome_j100_aml_dtb.PARTITION" "$out/" 2>/dev/null || true
