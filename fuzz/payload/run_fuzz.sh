#!/usr/bin/env bash
# Builds a payload fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in its own build folder, makes the seed corpus and fuzzes for a while.
# Usage: fuzz/payload/run_fuzz.sh [SECONDS] [WORK_DIR] [payload_fuzzer|bspatch_fuzzer]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-300}
work=${2:-$(mktemp -d /tmp/orvex-payload-fuzz.XXXXXX)}
target=${3:-payload_fuzzer}
build=${ORVEX_FUZZ_BUILD:-$src/build-fuzz}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target "$target" -j2
mkdir -p "$work/corpus" "$work/seeds"
if [ "$target" = bspatch_fuzzer ]; then
  bash "$src/fuzz/payload/make_patch_corpus.sh" "$work/seeds" > /dev/null
else
  bash "$src/fuzz/payload/make_corpus.sh" "$work/seeds" > /dev/null
fi
echo "fuzzing for $secs s in $work (findings: $work/crash-*)"
cd "$work"
"$build/fuzz/$target" corpus seeds -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/crash-"
