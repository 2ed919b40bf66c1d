#!/usr/bin/env bash
# Benchmark: extract.erofs against fsck.erofs --extract on EROFS images of a ~1 GiB tree
# (uncompressed and lz4hc), and against cp -a of the tree, with wall time and peak memory from
# /usr/bin/time -v.
#
# Usage: bench/erofs/bench_extract.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  build tree holding bin/erofs/extract.erofs (default: ./build)
#   WORK_DIR   scratch space, about 12 GiB (default: a new folder under /tmp); removed at the end
#              unless KEEP=1. SIZE_MIB sets the tree size (default 1024), RUNS the runs per
#              tool (best one shown), OUT_ROOT where the extracted trees go (e.g. /dev/shm).
set -euo pipefail

build=${1:-build}
tool=$(realpath "$build/bin/erofs/extract.erofs")
work=${2:-$(mktemp -d /tmp/orvex-bench-erofs.XXXXXX)}
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-2}
for p in mkfs.erofs fsck.erofs python3 /usr/bin/time; do
  command -v "$p" > /dev/null || { echo "missing $p (erofs-utils, python3, time)" >&2; exit 1; }
done
[ -x "$tool" ] || { echo "no extract.erofs at $tool" >&2; exit 1; }
mkdir -p "$work"
echo "work folder: $work"

# A tree like a system partition: many small files, some medium ones, a few large ones; text
# that compresses and noise that does not.
if [ ! -d "$work/tree" ]; then
  python3 - "$work/tree" "$size_mib" <<'PY'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2]) << 20
rng = random.Random(42)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(300)]
text = '\n'.join(' '.join(rng.choice(words) for _ in range(12)) for _ in range(40000)).encode()
noise = os.urandom(8 << 20)
def data(n):
    out = bytearray()
    while len(out) < n:
        pool = text if rng.random() < 0.7 else noise
        k = min(n - len(out), rng.randint(4096, 262144))
        o = rng.randint(0, len(pool) - k)
        out += pool[o:o + k]
    return bytes(out)
written = 0
plan = [(20000, 1024, 65536), (300, 1 << 20, 8 << 20), (4, 64 << 20, 128 << 20)]
budget = [total * 0.25, total * 0.35, total * 0.40]
n = 0
for (count, lo, hi), b in zip(plan, budget):
    used = 0
    for i in range(count):
        if used >= b:
            break
        size = rng.randint(lo, hi)
        d = os.path.join(root, 'dir%03d' % (n % 200), 'sub%02d' % (n % 7))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, 'file%06d.bin' % n), 'wb') as f:
            f.write(data(size))
        used += size
        n += 1
    written += used
for i in range(500):
    os.symlink('../dir000', os.path.join(root, 'dir%03d' % (i % 200), 'link%03d' % i))
print('tree: %d files, %.0f MiB' % (n, written / 1048576))
PY
fi

for kind in plain lz4hc; do
  img=$work/$kind/system.img
  if [ ! -f "$img" ]; then
    mkdir -p "$work/$kind"
    opts="-T1700000000"
    [ "$kind" = lz4hc ] && opts="-zlz4hc $opts"
    start=$(date +%s%N)
    # shellcheck disable=SC2086
    mkfs.erofs --quiet $opts "$img" "$work/tree" > /dev/null
    ms=$((($(date +%s%N) - start) / 1000000))
    printf 'mkfs.erofs %-6s %6d.%01d s, image %d MiB\n' "$kind" $((ms / 1000)) $((ms % 1000 / 100)) \
      $(($(stat -c %s "$img") >> 20))
  fi
done

# Each run writes into a fresh folder (OUT_ROOT, default the work folder; /dev/shm measures
# without the disk). Old outputs are removed only between image kinds, followed by a pause:
# ext4 skips recently deleted inodes when it allocates new ones, which would slow whichever
# tool runs right after a deletion.
out_root=${OUT_ROOT:-$work}/orvex-bench-out.$$
mkdir -p "$out_root"
trap 'rm -rf "$out_root"; [ "${KEEP:-0}" = 1 ] || rm -rf "$work"' EXIT
run_no=0
measure() {  # label, then the command with OUT standing for the output folder
  local label=$1
  shift
  local log=$work/time.log best=""
  for _ in $(seq 1 "$runs"); do
    run_no=$((run_no + 1))
    local out=$out_root/run$run_no
    local args=()
    for a in "$@"; do args+=("${a//OUT/$out}"); done
    /usr/bin/time -v "${args[@]}" > /dev/null 2> "$log" || { echo "$label failed:" >&2; cat "$log" >&2; exit 1; }
    local wall cpu rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s}' "$log")
    cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.2f", s}' "$log")
    rss=$(awk -F': ' '/Maximum resident set size/ {printf "%.1f", $2 / 1024}' "$log")
    if [ -z "$best" ] || awk "BEGIN {exit !($wall < ${best%% *})}"; then best="$wall $cpu $rss"; fi
  done
  read -r wall cpu rss <<< "$best"
  printf '%-34s %8.2f s %8.2f s %9s MiB\n' "$label" "$wall" "$cpu" "$rss"
}

echo
printf '%-34s %10s %10s %13s\n' "run (best of $runs, warm cache)" "wall" "CPU" "peak RSS"
for kind in plain lz4hc; do
  cd "$work/$kind"
  measure "extract.erofs $kind" "$tool" -i system.img -x -f -o OUT
  measure "extract.erofs -T1 $kind" "$tool" -i system.img -x -f -T1 -o OUT
  measure "fsck.erofs --extract $kind" fsck.erofs --extract=OUT system.img
  [ "$kind" = lz4hc ] && measure "cp -a of the tree" cp -a "$work/tree" OUT
  rm -rf "${out_root:?}"/run*
  sync
  sleep "${PAUSE:-40}"
done
