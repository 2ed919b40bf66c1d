#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine, builds Orvex and runs its main job on the
# bundled sample firmware: unpack system.img (sparse ext4) and vendor.img (EROFS), then pack
# both folders back.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${ORVEX_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja
cmake --build "$BUILD" -j"$(nproc)" --target orvex-cli orvex_tools
SAMPLE="$BUILD/sample-firmware"
bash scripts/make-sample-firmware.sh "$SAMPLE"
status=0
echo "== unpacking the sample firmware"
"$BUILD/orvex-cli" "$SAMPLE/system.img" "$SAMPLE/vendor.img" || status=$?
if [ "$status" -eq 0 ]; then
  echo "== packing the unpacked folders back"
  "$BUILD/orvex-cli" "$SAMPLE/system" "$SAMPLE/vendor" || status=$?
fi
if [ "$status" -eq 0 ]; then
  echo "== checking the rebuilt images"
  simg2img "$SAMPLE/system.img" "$SAMPLE/system.check.raw"
  e2fsck -fn "$SAMPLE/system.check.raw" || status=$?
  rm -f "$SAMPLE/system.check.raw"
  fsck.erofs "$SAMPLE/vendor.img" || status=$?
fi
echo "== results in $SAMPLE:"
ls -la "$SAMPLE"
exit "$status"
