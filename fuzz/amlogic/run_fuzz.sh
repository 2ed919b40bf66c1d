#!/usr/bin/env bash
# Builds the Amlogic fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in their own build folder, makes the seed corpus with the tools of the normal build and fuzzes
# each target for a while.
# Usage: fuzz/amlogic/run_fuzz.sh [SECONDS_PER_TARGET] [WORK_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-300}
work=${2:-$(mktemp -d /tmp/orvex-aml-fuzz.XXXXXX)}
build=${ORVEX_FUZZ_BUILD:-$src/build-fuzz}
bin=${ORVEX_BIN:-$src/build/bin}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target aml_burn_fuzzer aml_res_fuzzer -j2
bash "$src/fuzz/amlogic/make_corpus.sh" "$bin" "$work/seeds"
cd "$work"
for t in burn res; do
  mkdir -p "corpus_$t"
  echo "fuzzing aml_${t}_fuzzer for $secs s in $work (findings: $work/crash-$t-*)"
  "$build/fuzz/aml_${t}_fuzzer" "corpus_$t" "seeds/$t" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/crash-$t-"
done
