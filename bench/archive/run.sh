#!/usr/bin/env bash
# Unpack of an update package through orvex-cli against `7zz x` alone on the same file.
# The package holds stored and deflated entries (half random data stored, half compressible data
# deflated); nothing in it is a partition image, so no follow-up job runs.
#   bench/archive/run.sh [SIZE_MIB] [BUILD_DIR]      (default 2048 MiB, build/)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
size=${1:-2048}
build=$(cd "${2:-$src/build}" && pwd)
work=$(mktemp -d /tmp/orvex-archive-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
half=$((size / 2))
mkdir -p "$work/src/META-INF/com/google/android" "$work/src/firmware"
echo 'ui_print("bench");' > "$work/src/META-INF/com/google/android/updater-script"
head -c $((half * 1048576)) /dev/urandom > "$work/src/firmware/random.bin"
# Compressible: repeated text with some variety.
head -c $((half * 1048576)) < <(yes "ro.build.fingerprint=orvex/bench/$RANDOM:14/UP1A/$RANDOM:user/release-keys") > "$work/src/text.img"
(cd "$work/src" && 7zz a -tzip -mx0 "$work/update.zip" firmware META-INF > /dev/null && 7zz a -tzip -mx5 "$work/update.zip" text.img > /dev/null)
rm -rf "$work/src"
ls -l "$work/update.zip"
# Warm the cache, then time each twice and keep the better run.
cat "$work/update.zip" > /dev/null
best() { local b=""; for i in 1 2; do rm -rf "$work/update" "$work/out"; s=$(date +%s.%N); "$@" > /dev/null; e=$(date +%s.%N);
         t=$(echo "$e - $s" | bc); if [ -z "$b" ] || [ "$(echo "$t < $b" | bc)" = 1 ]; then b=$t; fi; done; echo "$b"; }
t7z=$(best 7zz x "$work/update.zip" -o"$work/out" -y)
tcli=$(best "$build/orvex-cli" --set Open_Folder=0 "$work/update.zip")
echo "7zz x alone:       ${t7z} s"
echo "orvex-cli unpack:  ${tcli} s  (ratio $(echo "scale=3; $tcli / $t7z" | bc))"
