#!/usr/bin/env bash
# Installs every Debian package that building Orvex, its tool folder and its tests need.
# Idempotent: packages already present are left as they are. Run as root (or through sudo).
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build ccache pkg-config git
  # libraries our own tools and the program link against
  libext2fs-dev liblz4-dev libbrotli-dev zlib1g-dev liblzma-dev libbz2-dev libzstd-dev libssl-dev
  qt6-base-dev qt6-multimedia-dev qt6-svg-dev libgl-dev
  # tests
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang
  # system tools the jobs start and the tests use as oracles
  e2fsprogs erofs-utils android-sdk-libsparse-utils lz4 brotli busybox 7zip
  device-tree-compiler gzip tar coreutils attr libcap2-bin fakeroot time python3
  # the Debian package and its checks
  dpkg-dev man-db desktop-file-utils
  # java tools: the apktool jar, the signing launcher (built with the JDK over signapk), the
  # framework package, and the checkers of their results
  default-jdk-headless apktool aapt zipalign apksigner signapk android-framework-res openssl zip unzip
  # boot images and payloads: Debian's mkbootimg and the compressors as oracles, bsdiff for patches
  mkbootimg cpio xz-utils bzip2 zstd bsdiff
  # test input generators (the PAC firmware of the Windows tool test)
  python3
)
if [ "${ORVEX_WITH_WINDOWS:-1}" = 1 ]; then
  # the Windows tools' libraries: zlib packaged, the rest built from Debian's source packages
  PACKAGES+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 locales libz-mingw-w64-dev
    debian-archive-keyring)
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages are already installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "install-deps: done"
