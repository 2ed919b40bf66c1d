#!/usr/bin/env bash
# The Windows payload_dumper, AmlImagePack and imgpack under Wine, compared byte for byte with
# the Linux build of the same tools:
# - payload_dumper.exe on the real sample payload (bzip2 and xz), on a full payload of an ext4
#   and an EROFS image made by mke2fs and mkfs.erofs (every full operation type, zstd among
#   them), and on an incremental one (SOURCE_COPY, SOURCE_BSDIFF, BROTLI_BSDIFF) applied to a
#   source folder and then in its place; the list (-l) prints the same; a damaged payload fails.
# - AmlImagePack.exe packs a vendor item list into the same burn image as the Linux tool,
#   unpacks it into the same files, checks it (-c) and refuses it once damaged.
# - imgpack.exe unpacks the real logo sample into the same files and packs them back to the
#   sample's bytes.
# Folder names hold blanks and Cyrillic letters (arguments reach the tools as UTF-8).
#
#   wine_payload_aml.sh WINDOWS_BIN_DIR LINUX_BIN_DIR SAMPLES_DIR
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
winbin=$(cd "$1" && pwd)
linbin=$(cd "$2" && pwd)
samples=$(cd "$3" && pwd)
# A Linux path as Wine's Z: drive names it (the folder need not exist yet).
win() { local p=$1; [[ $p == /* ]] || p=$PWD/$p; printf 'Z:%s' "${p//\//\\}"; }

same() { cmp -s "$2" "$3" || fail "$1: $2 and $3 differ"; }
# Console text without the CR that the Windows C runtime puts before each line end, and with the
# Windows spelling of the test folder turned back into the Linux one.
text() { tr -d '\r' < "$1" | sed "s|$(win "$top" | sed 's/\\/\\\\/g')|$top|g; s|\\\\|/|g"; }
for t in mke2fs mkfs.erofs bsdiff; do
  command -v "$t" >/dev/null || { echo "FAIL: $t is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
writer=$(dirname "$linbin")/tests/payload_sample_writer
[ -x "$writer" ] || { echo "FAIL: $writer is missing (build the Linux target payload_sample_writer)"; exit 1; }

top=$(mktemp -d "${TMPDIR:-/tmp}/wine-payload.XXXXXX")
trap 'rm -rf "$top"' EXIT
cd "$top"

# ---- payload_dumper ---------------------------------------------------------------------------
in="$top/прошивка in"
mkdir -p "$in"
cp "$samples/payload/ue_full_payload.bin" "$in/sample.bin"
mktree() {  # a small tree of text, noise and zeros; $2 changes some of it
  mkdir -p "$1/app" "$1/lib"
  seq 1 $((4000 + $2 * 300)) | sed 's/^/line of a text file /' > "$1/app/big.txt"
  head -c 300000 /dev/zero | tr '\0' 'z' > "$1/lib/zeta.so"
  awk -v s="$2" 'BEGIN { srand(7); for (i = 0; i < 60000; i++) printf "%c", 65 + int(rand() * 26) + (i % 977 == 0 ? s : 0) }' > "$1/lib/noise.so"
  [ "$2" = 0 ] || printf 'added in the new version\n' > "$1/app/added.txt"
}
mke4() {
  mke2fs -q -t ext4 -b 4096 -O ^has_journal -U 11111111-2222-3333-4444-555555555555 \
    -E hash_seed=11111111-2222-3333-4444-555555555555 -d "$1" "$2" 6M >/dev/null
}
mktree tree0 0
mktree tree1 1
mke4 tree0 old.img
mke4 tree1 new.img
mkfs.erofs --quiet -zlz4hc -T1700000000 -U 11111111-2222-3333-4444-555555555555 vendor.img tree1 >/dev/null
"$writer" full "$in/full.bin" system=new.img vendor=vendor.img:1
mkdir -p work "$top/старые old"
"$writer" delta "$in/delta.bin" system old.img new.img work
cp old.img "$top/старые old/system_a.img"

dump() {  # dump NAME ARGS...: the Windows and the Linux tool, each into its own folder
  local name=$1
  shift
  local wargs=() largs=() a
  for a in "$@"; do
    case $a in
      @*) wargs+=("$(win "${a#@}")"); largs+=("${a#@}") ;;
      %*) wargs+=("$(win "${a#%}.win")"); largs+=("${a#%}.lin") ;;
      *) wargs+=("$a"); largs+=("$a") ;;
    esac
  done
  set +e
  run "$winbin/payload_dumper.exe" "${wargs[@]}" > "$name.win.out" 2> "$name.win.err"
  echo $? > "$name.win.rc"
  "$linbin/payload_dumper" "${largs[@]}" > "$name.lin.out" 2> "$name.lin.err"
  echo $? > "$name.lin.rc"
  set -e
}
printed() { sed 's/\r$//' "$1" | tr '\r' '\n' > "$1.lines"; text "$1.lines" | grep -Ev ': [0-9]{1,2}%$' | sort; }
compare_dump() {  # compare_dump NAME FOLDER: exit codes, the images and what was printed
  same "$1: exit code" "$1.win.rc" "$1.lin.rc"
  [ "$(cat "$1.win.rc")" = 0 ] || fail "$1: payload_dumper.exe failed: $(cat "$1.win.err")"
  (cd "$2.lin" && find . -type f | sort) > "$1.lin.files"
  (cd "$2.win" && find . -type f | sort) > "$1.win.files"
  same "$1: the images written" "$1.win.files" "$1.lin.files"
  [ -s "$1.lin.files" ] || fail "$1: no image written"
  while read -r f; do same "$1: $f" "$2.win/$f" "$2.lin/$f"; done < "$1.lin.files"
  # Progress lines of images written by several threads interleave as the threads run: what was
  # printed is compared as the set of lines without the progress below 100%.
  printed "$1.win.out" | sed 's/\.win/.X/g' > "$1.win.txt"
  printed "$1.lin.out" | sed 's/\.lin/.X/g' > "$1.lin.txt"
  same "$1: what was printed" "$1.win.txt" "$1.lin.txt"
}

dump sample --out "%$top/sample out" "@$in/sample.bin"
compare_dump sample "$top/sample out"
dump full --threads 2 --out "%$top/full out" "@$in/full.bin"
compare_dump full "$top/full out"
same "full: system_a.img is the ext4 image" "$top/full out.win/system_a.img" new.img
same "full: vendor_a.img is the EROFS image" "$top/full out.win/vendor_a.img" vendor.img
dump only -p vendor --out "%$top/вложенная/only out" "@$in/full.bin"  # folders made on the way
compare_dump only "$top/вложенная/only out"
[ ! -e "$top/вложенная/only out.win/system_a.img" ] || fail "only: -p vendor wrote system_a.img"
dump delta --old "@$top/старые old" --out "%$top/delta out" "@$in/delta.bin"
compare_dump delta "$top/delta out"
same "delta: the updated image" "$top/delta out.win/system_a.img" new.img
# In the source folder itself: the source image is read, then replaced by the new one.
run "$winbin/payload_dumper.exe" --old "$(win "$top/старые old")" --out "$(win "$top/старые old")" \
  "$(win "$in/delta.bin")" > inplace.out 2>&1 || fail "in place: $(cat inplace.out)"
same "in place: the updated image" "$top/старые old/system_a.img" new.img
[ -z "$(find "$top/старые old" -name '*.part')" ] || fail "in place: a .part file was left"

run "$winbin/payload_dumper.exe" -l "$(win "$in/full.bin")" > list.win 2>&1 || fail "-l: $(cat list.win)"
"$linbin/payload_dumper" -l "$in/full.bin" > list.lin 2>&1
text list.win > list.win.txt
same "-l: the partition list" list.win.txt list.lin

# A damaged blob: the hash check names it, and the image it belongs to is not left.
cp "$in/full.bin" "$in/bad.bin"
printf 'XXXX' | dd of="$in/bad.bin" bs=1 seek=$(($(stat -c %s "$in/bad.bin") - 5000)) conv=notrunc status=none
dump bad --out "%$top/bad out" "@$in/bad.bin"
same "damaged: exit code" bad.win.rc bad.lin.rc
[ "$(cat bad.win.rc)" = 1 ] || fail "damaged: payload_dumper.exe gave $(cat bad.win.rc), not 1"
grep -q "hash mismatch" bad.win.err || fail "damaged: no hash mismatch reported: $(cat bad.win.err)"
# The blob lies in the last partition: the images before it are complete, that one is not left.
[ ! -e "$top/bad out.win/vendor_a.img" ] || fail "damaged: vendor_a.img was left"
[ -z "$(find "$top/bad out.win" -name '*.part' 2>/dev/null)" ] || fail "damaged: a .part file was left"
same "damaged: system_a.img before it" "$top/bad out.win/system_a.img" new.img

# ---- AmlImagePack -----------------------------------------------------------------------------
src="$top/прошивка amlogic"
mkdir -p "$src"
cp "$samples/amlogic_burn_cfg/jethome_j100_image.cfg" "$src/image.cfg"
cp "$samples/amlogic_burn_cfg/jethome_j100_platform.conf" "$src/platform.conf"
cp "$samples/amlogic_multidtb/jethome_j100_aml_dtb.PARTITION" "$src/_aml_dtb.PARTITION"
head -c 4000 tree1/lib/noise.so > "$src/DDR.USB"
head -c 5000 tree0/lib/noise.so > "$src/UBOOT.USB"
n=1
for f in bootloader.PARTITION PART.1.boot PART.2.kernela PART.3.systema PART.4.kernelb PART.5.systemb \
         PART.6.bootinfo PART.7.overlay PART.8.data; do
  head -c $((3000 + n * 4111)) tree1/app/big.txt | tail -c $((1000 + n * 37)) > "$src/$f"
  n=$((n + 1))
done
cp new.img "$src/PART.3.systema"  # a partition of some size
run "$winbin/AmlImagePack.exe" -r "$(win "$src/image.cfg")" "$(win "$src")" "$(win "$top/j100 образ.img")" \
  > aml-pack.win 2>&1 || fail "AmlImagePack.exe -r: $(cat aml-pack.win)"
"$linbin/AmlImagePack" -r "$src/image.cfg" "$src" "$top/j100.lin.img" > aml-pack.lin 2>&1 ||
  fail "AmlImagePack -r (Linux): $(cat aml-pack.lin)"
same "AmlImagePack -r: the burn image" "$top/j100 образ.img" "$top/j100.lin.img"
text aml-pack.win > aml-pack.win.txt
sed "s|$top/j100.lin.img|$top/j100 образ.img|" aml-pack.lin > aml-pack.lin.txt
same "AmlImagePack -r: what was printed" aml-pack.win.txt aml-pack.lin.txt
run "$winbin/AmlImagePack.exe" -d "$(win "$top/j100 образ.img")" "$(win "$top/aml out.win")" > aml-unpack.win 2>&1 ||
  fail "AmlImagePack.exe -d: $(cat aml-unpack.win)"
"$linbin/AmlImagePack" -d "$top/j100.lin.img" "$top/aml out.lin" > /dev/null 2>&1 || fail "AmlImagePack -d (Linux)"
diff -r "$top/aml out.win" "$top/aml out.lin" > /dev/null || fail "AmlImagePack -d: the unpacked folders differ"
same "AmlImagePack -d: the system partition" "$top/aml out.win/systema.PARTITION" new.img
run "$winbin/AmlImagePack.exe" -c "$(win "$top/j100 образ.img")" > aml-check.win 2>&1 ||
  fail "AmlImagePack.exe -c: $(cat aml-check.win)"
grep -q ": OK" aml-check.win || fail "AmlImagePack.exe -c printed no OK: $(cat aml-check.win)"
cp "$top/j100 образ.img" "$top/broken.img"
printf 'X' | dd of="$top/broken.img" bs=1 seek=$(($(stat -c %s "$top/broken.img") - 100)) conv=notrunc status=none
set +e
run "$winbin/AmlImagePack.exe" -c "$(win "$top/broken.img")" > aml-broken.win 2>&1
rc=$?
set -e
[ "$rc" = 1 ] || fail "AmlImagePack.exe -c on a damaged image gave $rc, not 1: $(cat aml-broken.win)"

# ---- imgpack ----------------------------------------------------------------------------------
logo="$samples/amlogic_logo/khadas_vim_logo.img"
run "$winbin/imgpack.exe" -d "$(win "$logo")" "$(win "$top/логотип.win")" > res-unpack.win 2>&1 ||
  fail "imgpack.exe -d: $(cat res-unpack.win)"
"$linbin/imgpack" -d "$logo" "$top/логотип.lin" > res-unpack.lin 2>&1 || fail "imgpack -d (Linux)"
diff -r "$top/логотип.win" "$top/логотип.lin" > /dev/null || fail "imgpack -d: the unpacked folders differ"
text res-unpack.win > res-unpack.win.txt
same "imgpack -d: what was printed" res-unpack.win.txt res-unpack.lin
run "$winbin/imgpack.exe" -r "$(win "$top/логотип.win")" "$(win "$top/logo again.img")" > res-pack.win 2>&1 ||
  fail "imgpack.exe -r: $(cat res-pack.win)"
same "imgpack -r: packed back to the sample" "$top/logo again.img" "$logo"

if [ "$failures" -ne 0 ]; then
  echo "wine payload and Amlogic tools test: $failures failed"
  exit 1
fi
echo "wine payload and Amlogic tools test: all checks passed"
