#!/usr/bin/env bash
# Our MD5, SHA-1 and SHA-256 against OpenSSL's on the same bytes (1 GiB by default).
#   bash bench/digest/run.sh [BUILD_DIR] [MiB]
set -euo pipefail
build=${1:-build}
size=${2:-${BENCH_SIZE_MB:-1024}}
[ -x "$build/bench/digest_bench" ] || cmake --build "$build" --target digest_bench
echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
echo "SHA instructions: $(grep -qw sha_ni /proc/cpuinfo && echo yes || echo no); load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/digest_bench" "$size"
