#!/usr/bin/env bash
# Builds the libraries our console tools need for Windows from Debian's own source packages,
# statically, for x86_64-w64-mingw32 and i686-w64-mingw32.
#
#   scripts/windows-deps.sh <cache folder>        (windows-build.sh passes build-windeps/)
#
# <cache folder>/
#   apt/            a private apt state: its own source list, lists and archive folder, so the
#                   machine's apt setup is never read for sources nor written
#   src/            the fetched and unpacked source packages (kept: later runs skip the fetch)
#   <triplet>/      include/, lib/ and lib/pkgconfig/ of one target, and bin/ with the programs
#                   built for the tool folder; <triplet>/.done-<package> marks a finished
#                   library or program, so a later run only builds what is missing
#
# Besides the libraries, programs Debian has no Windows build of are built for the tool folder:
# the LZ4 command line (lz4.exe, from the lz4 source package), erofs-utils' mkfs.erofs, dump.erofs
# and fsck.erofs (see build_erofs_utils) and 7-Zip's console program (7z.exe).
#
# What is fetched is checked twice: apt verifies the release file's signature with Debian's
# archive keyring and every file of the source package against the SHA-256 sums of the signed
# Sources index; then the .dsc must have the SHA-256 sum pinned below, so a changed upload under
# the same version is refused too. Of each package only what is named above is built: no
# documentation, translations or tests.
set -euo pipefail

cache=${1:?usage: windows-deps.sh <cache folder>}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
jobs=${ORVEX_JOBS:-2}
targets=${ORVEX_DEPS_TRIPLETS:-x86_64-w64-mingw32 i686-w64-mingw32}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
mirror=${ORVEX_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# The source packages, pinned: package version sha256-of-the-dsc.
pins=(
  "lz4 1.9.4-1 e16302bca544d08d106efc216541f4a0403c8f8a5fad5eaac7588223a55af263"
  "libzstd 1.5.4+dfsg2-5 8f602f92b575aa8b5e979196fb6ee82d78f233521dc9636526d3ecba1f63c1b1"
  "xz-utils 5.4.1-1+deb12u1 38f98e356f7e7e89b0920d39c55dd5f3d1a9f2684bff83c8b4890561e1832e94"
  "bzip2 1.0.8-5 ed9c40f4de3f9e064535e15eac1c61a0f606763db98f4579dbc04067b94a8944"
  "brotli 1.0.9-2 8c4c86748ec9770e08b60233d658593650444b04a452dc5b607ed5b5537b683e"
  "e2fsprogs 1.47.0-2 35b4de254e021f721362b767994598e249fea02e38ac446197cd9c22be1130fd"
  "erofs-utils 1.5-1 0b97e872a2aedd67b724665645641f97520360c7ae2ac3b88fd75b7bced7d7f1"
  "7zip 22.01+really26.01+dfsg-0+deb12u1 5203945ac68a3c4fbbb3e9d86dfaf1ed9e474ad80e6ab946fb0643a4a910b02b"
)
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { echo "windows-deps: $*"; }

# ---- the private apt state ----
apt_dir=$cache/apt
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::Etc::Preferences=$apt_dir/preferences"
  -o "Dir::Etc::PreferencesParts=$apt_dir/preferences.d"
  -o "Dir::State=$apt_dir/state"
  -o "Dir::State::Lists=$apt_dir/state/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=$(id -un)"
  -o "Acquire::Languages=none"
  -o "Debug::NoLocking=1"
)

apt_setup() {
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/preferences.d" "$apt_dir/state/lists/partial" \
    "$apt_dir/cache/archives/partial"
  local list="deb-src [signed-by=$keyring] $mirror bookworm main
deb-src [signed-by=$keyring] $mirror bookworm-updates main
"
  if [ ! -f "$apt_dir/sources.list" ] || [ "$(cat "$apt_dir/sources.list")" != "${list%$'\n'}" ]; then
    printf '%s' "$list" > "$apt_dir/sources.list"
    rm -f "$apt_dir/state/lists/"*_Sources* 2>/dev/null || true
  fi
  if ! ls "$apt_dir/state/lists/"*_Sources* >/dev/null 2>&1; then
    log "reading Debian's source index"
    apt-get "${apt_opts[@]}" -q update >/dev/null
  fi
}

# fetch <package> <version> <dsc sha256>: into src/<package>_<version>/ (the unpacked tree).
fetch() {
  local pkg=$1 ver=$2 sum=$3 dir=$cache/src/${1}_${2}
  [ -f "$dir/.fetched" ] && return 0
  apt_setup
  rm -rf "$dir" && mkdir -p "$dir"
  log "fetching $pkg $ver"
  (cd "$dir" && apt-get "${apt_opts[@]}" -q --only-source source --download-only "$pkg=$ver" >/dev/null)
  local dsc
  dsc=$(ls "$dir"/*.dsc)
  local got
  got=$(sha256sum "$dsc" | cut -d' ' -f1)
  if [ "$sum" != "$got" ]; then
    log "$pkg $ver: the .dsc has SHA-256 $got, the pinned sum is $sum; refusing it"
    exit 1
  fi
  # dpkg-source checks every file against the sums of the .dsc; the uploader's own signature it
  # cannot check without Debian's developer keyring, which the archive signature stands in for.
  if ! (cd "$dir" && dpkg-source -x "$(basename "$dsc")" tree > unpack.log 2>&1); then
    cat "$dir/unpack.log"
    log "$pkg $ver: cannot unpack the source package"
    exit 1
  fi
  touch "$dir/.fetched"
}
src_of() { echo "$cache/src/${1}_${2}/tree"; }

# ---- one library or program per function; $1 triplet, $2 source tree (copied: builds are out of tree) ----
prefix_of() { echo "$cache/$1"; }

build_lz4() {
  local t=$1 src=$2 p
  p=$(prefix_of "$t")
  make -C "$src/lib" -j"$jobs" CC="$t-gcc" AR="$t-ar" TARGET_OS=MINGW CFLAGS="-O2" liblz4.a
  install -d "$p/lib" "$p/include"
  install -m644 "$src/lib/liblz4.a" "$p/lib/"
  install -m644 "$src/lib/lz4.h" "$src/lib/lz4hc.h" "$src/lib/lz4frame.h" "$p/include/"
  pc "$p" liblz4 "LZ4" 1.9.4 -llz4
}

# The LZ4 command line as lz4.exe, linked statically (it needs no DLL beyond the system's), with
# its version resource.
build_lz4_program() {
  local t=$1 src=$2 p
  p=$(prefix_of "$t")
  make -C "$src/lib" -j"$jobs" CC="$t-gcc" AR="$t-ar" TARGET_OS=MINGW CFLAGS="-O2" liblz4.a
  make -C "$src/programs" -j"$jobs" CC="$t-gcc" WINDRES="$t-windres" TARGET_OS=MINGW CFLAGS="-O2" \
    LDFLAGS="-static" lz4
  "$t-strip" "$src/programs/lz4.exe"
  install -d "$p/bin"
  install -m755 "$src/programs/lz4.exe" "$p/bin/"
}

build_zstd() {
  local t=$1 src=$2 p
  p=$(prefix_of "$t")
  # Only the library core: compression and decompression, no legacy formats, single-threaded.
  make -C "$src/lib" -j"$jobs" CC="$t-gcc" AR="$t-ar" ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_ASM=1 CFLAGS="-O2" \
    libzstd.a-nomt
  install -d "$p/lib" "$p/include"
  install -m644 "$src/lib/libzstd.a" "$p/lib/"
  install -m644 "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$src/lib/zdict.h" "$p/include/"
  pc "$p" libzstd "Zstandard" 1.5.4 -lzstd
}

build_xz() {
  local t=$1 src=$2 p b
  p=$(prefix_of "$t")
  b=$cache/build/$t/xz && rm -rf "$b" && mkdir -p "$b"
  # mingw-w64 defines _M_X64, which makes liblzma's 64-bit match finder use _BitScanForward64:
  # its header is included there (not for the 32-bit target, whose assembler files it would break).
  local cflags="-O2"
  [ "$t" = x86_64-w64-mingw32 ] && cflags="-O2 -include intrin.h"
  (cd "$b" && "$src/configure" --host="$t" --prefix="$p" --enable-static --disable-shared \
     CC="$t-gcc" AR="$t-ar" RANLIB="$t-ranlib" \
     --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-scripts \
     --disable-doc --disable-nls --disable-threads --disable-lzma-links CFLAGS="$cflags" &&
   make -j"$jobs" -C src/liblzma && make -C src/liblzma install)
}

build_bzip2() {
  local t=$1 src=$2 p o
  p=$(prefix_of "$t")
  o=$cache/build/$t/bzip2 && rm -rf "$o" && mkdir -p "$o"
  local f
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    "$t-gcc" -O2 -D_FILE_OFFSET_BITS=64 -c "$src/$f.c" -o "$o/$f.o"
  done
  install -d "$p/lib" "$p/include"
  rm -f "$p/lib/libbz2.a" && "$t-ar" rcs "$p/lib/libbz2.a" "$o"/*.o
  install -m644 "$src/bzlib.h" "$p/include/"
  pc "$p" bzip2 "bzip2" 1.0.8 -lbz2
}

build_brotli() {
  local t=$1 src=$2 p o
  p=$(prefix_of "$t")
  o=$cache/build/$t/brotli && rm -rf "$o" && mkdir -p "$o"
  local lib f obj
  for lib in common dec enc; do
    for f in "$src"/c/$lib/*.c; do
      obj="$o/${lib}_$(basename "${f%.c}").o"
      "$t-gcc" -O2 -I"$src/c/include" -c "$f" -o "$obj"
    done
    rm -f "$p/lib/libbrotli$lib.a"
    install -d "$p/lib"
    "$t-ar" rcs "$p/lib/libbrotli$lib.a" "$o/${lib}_"*.o
  done
  install -d "$p/include/brotli"
  install -m644 "$src"/c/include/brotli/*.h "$p/include/brotli/"
  pc "$p" libbrotlicommon "Brotli common" 1.0.9 -lbrotlicommon
  pc "$p" libbrotlidec "Brotli decoder" 1.0.9 "-lbrotlidec -lbrotlicommon"
  pc "$p" libbrotlienc "Brotli encoder" 1.0.9 "-lbrotlienc -lbrotlicommon"
}

build_e2fsprogs() {
  local t=$1 src=$2 p b
  p=$(prefix_of "$t")
  b=$cache/build/$t/e2fsprogs && rm -rf "$b" && mkdir -p "$b" && cd "$b"
  # Only libcom_err, libuuid (which libext2fs calls) and libext2fs: no programs, no shared
  # libraries, no translations. The library has a Windows I/O manager of its own.
  "$src/configure" --host="$t" --prefix="$p" CC="$t-gcc" AR="$t-ar" RANLIB="$t-ranlib" CFLAGS="-O2" \
    --disable-nls --disable-elf-shlibs --disable-bsd-shlibs --disable-fsck --disable-uuidd \
    --disable-e2initrd-helper --disable-defrag --disable-imager --disable-debugfs --disable-resizer \
    --disable-tdb --disable-fuse2fs --without-pthread --disable-backtrace --disable-mmp
  make -C util  # helpers the library build runs on this machine
  local d
  make -j"$jobs" -C lib/et
  # The generated headers next (with lib/et's compile_et): the library's makefile does not order
  # them before the objects of a parallel build.
  make -C lib/ext2fs ext2_err.h crc32c_table.h
  for d in lib/uuid lib/ext2fs; do make -j"$jobs" -C "$d"; done
  for d in lib/et lib/uuid lib/ext2fs; do make -C "$d" install; done
  rm -rf "$p/bin/compile_et" "$p/share"  # compile_et and its documentation
}

# mkfs.erofs, dump.erofs and fsck.erofs (the only programs built here) into <triplet>/bin/: their
# sources as they are, compiled by our own small CMake project with the compatibility layer of
# src/platform/erofs_compat, our platform layer, entries list reader and attribute and context
# file readers, against the liblz4,
# liblzma and libuuid built above.
build_erofs_utils() {
  local t=$1 src=$2 p b toolchain
  p=$(prefix_of "$t")
  b=$cache/build/$t/erofs-utils && rm -rf "$b"
  case $t in
    x86_64-w64-mingw32) toolchain=$repo/cmake/toolchain-mingw64.cmake ;;
    i686-w64-mingw32) toolchain=$repo/cmake/toolchain-mingw32.cmake ;;
  esac
  cmake -S "$repo/src/platform/erofs_compat" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$p" -DEROFS_SOURCE_DIR="$src" -DDEPS_PREFIX="$p" \
    -DORVEX_SOURCE_DIR="$repo/src"
  cmake --build "$b" -j"$jobs"
  cmake --install "$b" --strip
}

# The mark of a finished package; erofs-utils also carries a sum of our sources built into it,
# so that a change to them rebuilds the programs.
mark_of() {
  local t=$1 pkg=$2 ver=$3 extra=
  if [ "$pkg" = erofs-utils ]; then
    extra=-$(cd "$repo/src" && cat platform/erofs_compat/CMakeLists.txt platform/erofs_compat/*.c* \
      platform/erofs_compat/*.h platform/erofs_compat/include/*.h platform/erofs_compat/include/*/*.h \
      formats/ext4/*.h formats/ext4/fs_config.cpp formats/ext4/file_contexts.cpp formats/ext4/text_file.cpp \
      formats/android/context_path.h formats/treelist/* platform/CMakeLists.txt platform/*.h \
      platform/*.cpp | sha256sum | cut -c1-16)
  fi
  echo "$(prefix_of "$t")/.done-${pkg}_$ver$extra"
}

# pc <prefix> <name> <description> <version> <libs>: a pkg-config file for the library.
pc() {
  install -d "$1/lib/pkgconfig"
  cat > "$1/lib/pkgconfig/$2.pc" <<EOF
prefix=$1
libdir=\${prefix}/lib
includedir=\${prefix}/include
Name: $2
Description: $3
Version: $4
Libs: -L\${libdir} $5
Cflags: -I\${includedir}
EOF
}

for pin in "${pins[@]}"; do
  read -r pkg ver sum <<< "$pin"
  fetch "$pkg" "$ver" "$sum"
done

# What is built from each source package: its library, and for lz4 also the program (a step of
# its own, so that a cache made before it existed only adds the program).
# 7-Zip's console program with every format in one file (7zz) as 7z.exe: 7-Zip's own makefiles
# build it for Windows with mingw. Debian's source has no RAR code, so, as in Debian's build, RAR
# is left out. Static, stripped.
build_7zip() {
  local t=$1 src=$2 p d
  p=$(prefix_of "$t")
  d=$src/CPP/7zip/Bundles/Alone2
  # MSYSTEM makes the makefile use rm and mkdir -p instead of cmd.exe's del and mkdir.
  make -C "$d" -f makefile.gcc -j"$jobs" IS_MINGW=1 MSYSTEM=1 DISABLE_RAR=1 \
    CC="$t-gcc" CXX="$t-g++" RC="$t-windres"
  "$t-strip" "$d/_o/7zz.exe"
  install -d "$p/bin"
  install -m755 "$d/_o/7zz.exe" "$p/bin/7z.exe"
}

steps_of() {
  case $1 in
    lz4) echo "lz4 lz4-program" ;;
    *) echo "$1" ;;
  esac
}

for t in $targets; do
  command -v "$t-gcc" >/dev/null || { log "$t-gcc is missing"; exit 1; }
  mkdir -p "$(prefix_of "$t")"
  for pin in "${pins[@]}"; do
    read -r src_pkg ver _ <<< "$pin"
    for pkg in $(steps_of "$src_pkg"); do
      mark=$(mark_of "$t" "$pkg" "$ver")
      [ -f "$mark" ] && continue
      log "building $pkg $ver for $t"
      started=$(date +%s)
      # Each build works on a fresh copy of the tree, so that the two targets never mix objects.
      work=$cache/build/$t/src-$pkg && rm -rf "$work" && mkdir -p "$cache/build/$t" &&
        cp -a "$(src_of "$src_pkg" "$ver")" "$work"
      blog=$cache/build/$t/$pkg.log
      # A subshell outside any condition, so that the first failing command ends the build.
      set +e
      (
        set -e
        case $pkg in
          lz4) build_lz4 "$t" "$work" ;;
          lz4-program) build_lz4_program "$t" "$work" ;;
          libzstd) build_zstd "$t" "$work" ;;
          xz-utils) build_xz "$t" "$work" ;;
          bzip2) build_bzip2 "$t" "$work" ;;
          brotli) build_brotli "$t" "$work" ;;
          e2fsprogs) build_e2fsprogs "$t" "$work" ;;
          erofs-utils) build_erofs_utils "$t" "$work" ;;
          7zip) build_7zip "$t" "$work" ;;
        esac
      ) > "$blog" 2>&1
      rc=$?
      set -e
      if [ "$rc" -ne 0 ]; then
        tail -n 30 "$blog"
        log "building $pkg $ver for $t failed (the whole log: $blog)"
        exit 1
      fi
      rm -rf "$work"
      # An older build of our layer's sources is replaced, not kept beside the new one.
      if [ "$pkg" = erofs-utils ]; then rm -f "$(prefix_of "$t")"/.done-erofs-utils_*; fi
      touch "$mark"
      log "$pkg $ver for $t built in $(( $(date +%s) - started )) s"
    done
  done
done
log "libraries and programs ready in $cache"
