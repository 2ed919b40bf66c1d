#!/usr/bin/env bash
# Benchmark: AmlImagePack pack (-r) and unpack (-d) of a burn image against cp of the same bytes,
# with wall time and peak memory from /usr/bin/time -v. The image holds the usual small items and
# a large system partition, most of its bytes (noise, so nothing is cheaper than a copy).
#
# Usage: bench/amlogic/bench_burn.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  build tree holding bin/AmlImagePack (default: ./build)
#   WORK_DIR   scratch space, about 4 x SIZE_MIB (default: a new folder under /tmp); removed at
#              the end unless KEEP=1. SIZE_MIB sets the image size (default 2048), RUNS the runs
#              per command (best one shown).
set -euo pipefail

build=${1:-build}
tool=$(realpath "$build/bin/AmlImagePack")
work=${2:-$(mktemp -d /tmp/orvex-bench-aml.XXXXXX)}
size_mib=${SIZE_MIB:-2048}
runs=${RUNS:-3}
[ -x "$tool" ] || { echo "no AmlImagePack at $tool" >&2; exit 1; }
command -v /usr/bin/time > /dev/null || { echo "missing /usr/bin/time" >&2; exit 1; }
mkdir -p "$work/src"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
echo "work folder: $work, image of about $size_mib MiB"

src=$work/src
head -c $((64 << 10)) /dev/urandom > "$src/DDR.USB"
cp "$src/DDR.USB" "$src/UBOOT.USB"
printf 'Platform:0x0811\n' > "$src/platform.conf"
printf '[common]\n' > "$src/aml_sdc_burn.ini"
head -c $((8 << 20)) /dev/urandom > "$src/boot.PARTITION"
head -c $((2 << 20)) /dev/urandom > "$src/logo.PARTITION"
head -c $(((size_mib - 12) << 20)) /dev/urandom > "$src/system.PARTITION"
cat > "$src/image.cfg" <<CFG
[LIST_NORMAL]
file="DDR.USB"		main_type="USB"		sub_type="DDR"
file="UBOOT.USB"		main_type="USB"		sub_type="UBOOT"
file="aml_sdc_burn.ini"		main_type="ini"		sub_type="aml_sdc_burn"
file="platform.conf"		main_type="conf"		sub_type="platform"

[LIST_VERIFY]
file="boot.PARTITION"	main_type="PARTITION"		sub_type="boot"
file="logo.PARTITION"	main_type="PARTITION"		sub_type="logo"
file="system.PARTITION"	main_type="PARTITION"		sub_type="system"
CFG
sync

# best wall seconds and peak RSS (KiB) of a command over $runs runs. Every run writes new files:
# the outputs named in $FRESH are removed before it (not timed) and the disk is synced, since
# replacing a large file of the run before times the freeing of its blocks, not the tool.
FRESH=""
measure() {
  local best="" rss=0
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    [ -z "$FRESH" ] || rm -rf $FRESH
    sync
    /usr/bin/time -v -o "$work/time.txt" "$@" > /dev/null
    local t r
    t=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,a,":"); s=0; for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time.txt")
    r=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    [ "$r" -gt "$rss" ] && rss=$r
  done
  echo "$best $rss"
}

copy_items() { mkdir -p "$work/copy" && cp "$src"/*.USB "$src"/*.PARTITION "$src"/*.conf "$src"/*.ini "$work/copy/"; }
export -f copy_items; export src work

FRESH="$work/fw.img"
read -r pack_t pack_rss < <(measure "$tool" -r "$src/image.cfg" "$src" "$work/fw.img")
FRESH="$work/copy"
read -r cpin_t _ < <(measure bash -c copy_items)
FRESH="$work/out"
read -r unpack_t unpack_rss < <(measure "$tool" -d "$work/fw.img" "$work/out")
FRESH="$work/fw-copy.img"
read -r cpout_t _ < <(measure cp "$work/fw.img" "$work/fw-copy.img")
cmp -s "$work/out/system.PARTITION" "$src/system.PARTITION" || { echo "unpacked system differs" >&2; exit 1; }

printf '%-28s %8s %8s %10s\n' step seconds ratio "peak MiB"
printf '%-28s %8.2f %8s %10s\n' "cp of the items" "$cpin_t" "" ""
printf '%-28s %8.2f %8.2f %10.1f\n' "AmlImagePack -r (pack)" "$pack_t" "$(awk "BEGIN{print $pack_t/$cpin_t}")" "$(awk "BEGIN{print $pack_rss/1024}")"
printf '%-28s %8.2f %8s %10s\n' "cp of the image" "$cpout_t" "" ""
printf '%-28s %8.2f %8.2f %10.1f\n' "AmlImagePack -d (unpack)" "$unpack_t" "$(awk "BEGIN{print $unpack_t/$cpout_t}")" "$(awk "BEGIN{print $unpack_rss/1024}")"
