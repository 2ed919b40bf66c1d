#!/usr/bin/env bash
# Builds the EROFS fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in its own build folder, makes the seed corpus and fuzzes for a while.
# Usage: fuzz/erofs/run_fuzz.sh [SECONDS] [WORK_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-600}
work=${2:-$(mktemp -d /tmp/orvex-erofs-fuzz.XXXXXX)}
build=${ORVEX_FUZZ_BUILD:-$src/build-fuzz}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target erofs_fuzzer -j2
mkdir -p "$work/corpus" "$work/seeds"
bash "$src/fuzz/erofs/make_corpus.sh" "$work/seeds" > /dev/null
echo "fuzzing for $secs s in $work (findings: $work/crash-*)"
cd "$work"
# Images of a current mkfs.erofs are a few hundred KiB: MAX_LEN keeps them whole.
"$build/fuzz/erofs_fuzzer" corpus seeds -max_len="${MAX_LEN:-1048576}" -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/crash-"
