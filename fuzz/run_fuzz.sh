#!/usr/bin/env bash
# Builds the ext4, sparse and config-file fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in their own build folder, makes seed corpora with the installed
# mke2fs and img2simg, and fuzzes each target for a while. Findings are kept as WORK_DIR/<target>/crash-*.
# Usage: fuzz/run_fuzz.sh [SECONDS_PER_TARGET] [WORK_DIR] [TARGET...]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-300}
work=${2:-$(mktemp -d /tmp/orvex-fuzz.XXXXXX)}
shift $(( $# > 2 ? 2 : $# )) || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(ext4_fuzzer sparse_fuzzer config_fuzzer)
build=${ORVEX_FUZZ_BUILD:-$src/build-fuzz}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target "${targets[@]}" -j2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/tree/etc/deep" "$tmp/tree/bin"
printf 'hosts\n' > "$tmp/tree/etc/hosts"
printf 'deep\n' > "$tmp/tree/etc/deep/file"
ln -s /system/bin/sh "$tmp/tree/bin/link"
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/seeds"
  seeds="$work/$t/seeds"
  case $t in
    ext4_fuzzer|sparse_fuzzer)
      for opts in "-O ^has_journal -b 1024" "-O ^has_journal,^metadata_csum -b 1024 -I 128" "-O inline_data,^has_journal -b 1024"; do
        n=$(echo "$opts" | tr -c 'a-z0-9' _)
        mke2fs -q -t ext4 $opts -N 32 -d "$tmp/tree" "$tmp/$n.img" 256K 2>/dev/null || continue
        if [ "$t" = ext4_fuzzer ]; then cp "$tmp/$n.img" "$seeds/$n.img"; fi
        img2simg "$tmp/$n.img" "$seeds/${n}_sparse.img" 2>/dev/null || true
      done ;;
    config_fuzzer)
      printf 'Size: 67108864\r\nFolderName: system\r\nType: Raw\r\nJournal: Yes\r\n' > "$seeds/ext4_options"
      printf 'Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc,9 -Eztailpacking -T1700000000 --file-contexts="system/config/system_file_contexts.txt" "system.img" "system/system"\r\n' > "$seeds/erofs_options"
      printf 'system 0 0 0755\r\nsystem/bin/sh 0 2000 0755 capabilities=0x1000\r\n' > "$seeds/fs_config"
      printf '/system(/.*)? u:object_r:system_file:s0\n/system/bin/sh -- u:object_r:shell_exec:s0\n' > "$seeds/file_contexts" ;;
  esac
  echo "== $t: fuzzing for $secs s in $work/$t"
  (cd "$work/$t" && nice -n 10 "$build/fuzz/$t" corpus seeds -max_len=262144 -timeout=10 -rss_limit_mb=2048 \
     -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/$t/crash-" 2>&1 | tail -12)
done
