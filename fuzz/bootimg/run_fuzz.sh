#!/usr/bin/env bash
# Builds the boot image fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in their own build folder, makes the seed corpora and fuzzes each
# target for a while. Usage: fuzz/bootimg/run_fuzz.sh [SECONDS_PER_TARGET] [WORK_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-300}
work=${2:-$(mktemp -d /tmp/orvex-bootimg-fuzz.XXXXXX)}
build=${ORVEX_FUZZ_BUILD:-$src/build-fuzz}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target bootimg_header_fuzzer bootimg_cpio_fuzzer -j2
bash "$src/fuzz/bootimg/make_corpus.sh" "$work/seeds" > /dev/null
cd "$work"
for t in header cpio; do
  mkdir -p "corpus-$t"
  echo "fuzzing bootimg_${t}_fuzzer for $secs s in $work (findings: $work/crash-$t-*)"
  "$build/fuzz/bootimg_${t}_fuzzer" "corpus-$t" "seeds/$t" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/crash-$t-"
done
