#!/usr/bin/env bash
# payload_dumper benchmark: a full payload of REPLACE_XZ and REPLACE_BZ operations extracted with
# one thread and with every core, against the single-threaded decompression of the same blobs.
# Usage: bash bench/payload/run.sh [BUILD_DIR]
#   BENCH_SIZE_MB  MiB of partition images (default 2048)
#   BENCH_DIR      scratch folder (default a new folder under /tmp, removed at the end)
#   BENCH_KEEP=1   keep the scratch folder
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
tool=$build/bin/payload_dumper
size=${BENCH_SIZE_MB:-2048}
dir=${BENCH_DIR:-$(mktemp -d /tmp/orvex-payload-bench.XXXXXX)}
[ "${BENCH_KEEP:-0}" = 1 ] || trap 'rm -rf "$dir"' EXIT
[ -x "$tool" ] || { echo "build payload_dumper first ($tool)"; exit 1; }
cores=$(nproc)

echo "== writing a payload of $size MiB of images in $dir (not timed)"
python3 "$here/make_bench_payload.py" "$dir/payload.bin" "$size" 4

measure() {  # label, command...: wall seconds, CPU seconds and peak memory
  local label=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$dir/time.txt" "$@" > "$dir/out.txt" 2>&1 || { cat "$dir/out.txt"; exit 1; }
  read -r wall user sys peak < "$dir/time.txt"
  printf '%-44s %8.2f s wall %8.2f s CPU %8d KiB peak\n' "$label" "$wall" "$(echo "$user + $sys" | bc)" "$peak"
  echo "$wall" > "$dir/last_wall"
}

cat "$dir/payload.bin" > /dev/null  # a warm page cache for every run
echo "== $cores cores; load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
measure "baseline: decompress every blob, 1 thread" python3 "$here/decompress_baseline.py" "$dir/payload.bin"
base=$(cat "$dir/last_wall")
rm -rf "$dir/out"
measure "payload_dumper --threads 1" "$tool" --threads 1 --out "$dir/out" "$dir/payload.bin"
one=$(cat "$dir/last_wall")
rm -rf "$dir/out"
measure "payload_dumper (one thread per core: $cores)" "$tool" --out "$dir/out" "$dir/payload.bin"
all=$(cat "$dir/last_wall")
echo "== speed-up against the baseline: $(echo "scale=2; $base / $all" | bc)x; against --threads 1: $(echo "scale=2; $one / $all" | bc)x"
echo "== images: $(du -sh --apparent-size "$dir/out" | cut -f1) apparent, $(du -sh "$dir/out" | cut -f1) on disk; load after: $(cut -d' ' -f1-3 /proc/loadavg)"
