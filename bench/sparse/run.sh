#!/usr/bin/env bash
# Sparse tools benchmark: our simg2img and img2simg (the Windows tool folder's, built on Linux under
# build/tests/sparse_tools) against the packaged ones on one image (default 512 MiB: a quarter
# random data, a quarter repeated words, a quarter zeros, a quarter hole); wall time, processor
# time and peak memory of each run.
#
#   bash bench/sparse/run.sh [BUILD_DIR]          (default build dir: build)
#
# Environment: BENCH_SIZE_MB (image size, default 512), BENCH_RUNS (runs of each, best wall time
# taken; default 3), BENCH_DIR (scratch folder, default a new folder under /tmp, removed at the end).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
OURS=$BUILD/tests/sparse_tools
SIZE_MB=${BENCH_SIZE_MB:-512}
RUNS=${BENCH_RUNS:-3}
WORK=${BENCH_DIR:-$(mktemp -d /tmp/orvex-sparse-bench-XXXXXX)}
for t in "$OURS/simg2img" "$OURS/img2simg" /usr/bin/simg2img /usr/bin/img2simg /usr/bin/time; do
  [ -x "$t" ] || { echo "missing $t (build orvex_simg2img orvex_img2simg; Debian packages android-sdk-libsparse-utils, time)" >&2; exit 1; }
done
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

q=$((SIZE_MB / 4))
head -c $((q << 20)) /dev/urandom > image.raw
head -c $((q << 20)) /dev/zero | tr '\0' '\132' >> image.raw
head -c $((q << 20)) /dev/zero >> image.raw
truncate -s $((SIZE_MB << 20)) image.raw
img2simg image.raw image.simg

best() {  # label command...: best wall time of RUNS runs, with its processor time and memory
  local label=$1 best_wall="" line
  shift
  for _ in $(seq "$RUNS"); do
    rm -f out.*
    sync
    line=$(/usr/bin/time -f "%e %U %S %M" "$@" 2>&1 >/dev/null | tail -1)
    read -r wall user sys mem <<< "$line"
    if [ -z "$best_wall" ] || awk "BEGIN{exit !($wall < $best_wall)}"; then
      best_wall=$wall
      best_line=$(printf '%-28s %6.2f s wall  %6.2f s cpu  %7d KiB peak' "$label" "$wall" "$(echo "$user + $sys" | bc)" "$mem")
    fi
  done
  echo "$best_line"
}

echo "image: $SIZE_MB MiB, best of $RUNS"
best "simg2img (packaged)" /usr/bin/simg2img image.simg out.raw
best "simg2img (ours)" "$OURS/simg2img" image.simg out.raw
best "img2simg (packaged)" /usr/bin/img2simg image.raw out.simg
best "img2simg (ours)" "$OURS/img2simg" image.raw out.simg
