#!/usr/bin/env bash
# Benchmark: the Rockchip repacker's pack and unpack of an RKFW update image against cp of the
# same bytes, with wall time and peak memory from /usr/bin/time -v. The firmware holds a loader,
# the parameter, a boot image and a large system image of noise (nothing is cheaper than a copy).
#
# Usage: bench/rockchip/bench_rkfw.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  build tree holding bin/imgRePackerRK106 (default: ./build)
#   WORK_DIR   scratch space, about 4 x SIZE_MIB (default: a new folder under /tmp); removed at
#              the end unless KEEP=1. SIZE_MIB sets the image size (default 2048), RUNS the runs
#              per command (best one shown).
set -euo pipefail

build=${1:-build}
tool=$(realpath "$build/bin/imgRePackerRK106")
work=${2:-$(mktemp -d /tmp/orvex-bench-rk.XXXXXX)}
size_mib=${SIZE_MIB:-2048}
runs=${RUNS:-3}
[ -x "$tool" ] || { echo "no imgRePackerRK106 at $tool" >&2; exit 1; }
command -v /usr/bin/time > /dev/null || { echo "missing /usr/bin/time" >&2; exit 1; }
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
echo "work folder: $work, image of about $size_mib MiB"

dump=$work/update.img.dump
mkdir -p "$dump/Image"
head -c $((256 << 10)) /dev/urandom > "$dump/MiniLoaderAll.bin"
head -c $((16 << 20)) /dev/urandom > "$dump/Image/boot.img"
head -c $(((size_mib - 17) << 20)) /dev/urandom > "$dump/Image/system.img"
printf 'package-file\tpackage-file\nboot\tImage/boot.img\nsystem\tImage/system.img\n' > "$dump/package-file"
cat > "$dump/Image/parameter.txt" <<'PARAM'
FIRMWARE_VER:8.1
MACHINE_MODEL:RK3399
CMDLINE: console=ttyFIQ0 mtdparts=rk29xxnand:0x00010000@0x00008000(boot),-@0x00018000(system:grow)
PARAM
printf '[rkfw]\r\nkind = RKFW\r\nimage = update.img\r\ncode = 0x1030000\r\ndate = 2024-1-2 3:4:5\r\nchip = 0x33333043\r\nloader = MiniLoaderAll.bin\r\n\r\n[rkaf]\r\nmodel = RK3399\r\nversion = 0x8010000\r\n\r\n[entries]\r\nentry = package-file;package-file;data;0xFFFFFFFF;0x0;0x0;0x0;0x0\r\nentry = parameter;Image/parameter.txt;parm;0x0;0x2000;0x0;0x0;0x0\r\nentry = boot;Image/boot.img;data;0x0;0x0;0x0;0x0;0x0\r\nentry = system;Image/system.img;data;0x0;0x0;0x0;0x0;0x0\r\n' > "$dump/image.cfg"
sync

# best wall seconds and peak RSS (KiB) of a command over $runs runs
measure() {
  local best="" rss=0
  for _ in $(seq "$runs"); do
    /usr/bin/time -v -o "$work/time.txt" "$@" > /dev/null
    local t r
    t=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,a,":"); s=0; for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time.txt")
    r=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    [ "$r" -gt "$rss" ] && rss=$r
  done
  echo "$best $rss"
}

cd "$work"
read -r pack_t pack_rss < <(measure "$tool" update.img.dump)
size=$(stat -c %s update.img)
read -r cp_t cp_rss < <(measure cp update.img copy.img)
rm -f copy.img
mv update.img.dump packed.dump
read -r unpack_t unpack_rss < <(measure "$tool" update.img)
cmp -s packed.dump/Image/system.img update.img.dump/Image/system.img || { echo "unpacked system.img differs" >&2; exit 1; }

printf 'image %d bytes\n' "$size"
printf '%-8s %8s s  %7s MiB peak  %5s x cp\n' cp "$cp_t" $((cp_rss / 1024)) 1.00
printf '%-8s %8s s  %7s MiB peak  %5s x cp\n' pack "$pack_t" $((pack_rss / 1024)) "$(awk "BEGIN{printf \"%.2f\", $pack_t / $cp_t}")"
printf '%-8s %8s s  %7s MiB peak  %5s x cp\n' unpack "$unpack_t" $((unpack_rss / 1024)) "$(awk "BEGIN{printf \"%.2f\", $unpack_t / $cp_t}")"
