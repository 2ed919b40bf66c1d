#!/usr/bin/env bash
# Builds the transfer-list fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in its own build folder, makes the seed corpus and fuzzes a while.
# Usage: fuzz/transfer_list/run_fuzz.sh [SECONDS] [WORK_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-300}
work=${2:-$(mktemp -d /tmp/orvex-transfer-list-fuzz.XXXXXX)}
build=${ORVEX_FUZZ_BUILD:-$src/build-fuzz}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target transfer_list_fuzzer img2sdat -j2
mkdir -p "$work/corpus" "$work/seeds"
bash "$src/fuzz/transfer_list/make_corpus.sh" "$work/seeds" "$build/bin" > /dev/null
echo "fuzzing for $secs s in $work (findings: $work/crash-*)"
cd "$work"
"$build/fuzz/transfer_list_fuzzer" corpus seeds -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/crash-"
