#!/usr/bin/env bash
# Makes the bundled sample firmware with real tools: a sparse ext4 system.img and an EROFS
# vendor.img, built from a small tree with owners, modes, a capability and SELinux labels
# (owners, capabilities and labels need root to be set on the staging tree; without root the
# images carry the tree's own owner and no labels).
set -euo pipefail
OUT=${1:?usage: make-sample-firmware.sh OUTPUT_FOLDER}
rm -rf "$OUT"
mkdir -p "$OUT"
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT

sys="$STAGE/system"
mkdir -p "$sys/bin" "$sys/etc/init" "$sys/app/Demo" "$sys/lib64"
printf '#!/system/bin/sh\necho hello from orvex sample\n' > "$sys/bin/hello"
printf 'ro.build.version.release=14\nro.product.model=Orvex Sample\n' > "$sys/build.prop"
printf 'service hello /system/bin/hello\n    class main\n' > "$sys/etc/init/hello.rc"
head -c 300000 /dev/urandom > "$sys/app/Demo/Demo.apk"
head -c 65536 /dev/zero > "$sys/lib64/libzero.so"
ln -s /system/bin/hello "$sys/bin/hello_link"
ln "$sys/build.prop" "$sys/etc/build.prop.link"
chmod 0755 "$sys/bin/hello"; chmod 0644 "$sys/build.prop" "$sys/etc/init/hello.rc"

ven="$STAGE/vendor"
mkdir -p "$ven/etc" "$ven/firmware" "$ven/bin/hw"
printf 'vendor.demo=1\n' > "$ven/build.prop"
head -c 200000 /dev/urandom > "$ven/firmware/blob.bin"
printf '#!/vendor/bin/sh\nexit 0\n' > "$ven/bin/hw/demo-service"
chmod 0755 "$ven/bin/hw/demo-service"

if [ "$(id -u)" -eq 0 ]; then
  chown -R 0:0 "$sys" "$ven"
  chown 0:2000 "$sys/bin/hello" "$ven/bin/hw/demo-service"
  chmod 0750 "$sys/bin/hello"
  if command -v setfattr >/dev/null; then
    label() { setfattr -h -n security.selinux -v "$2" "$1" 2>/dev/null || true; }
    find "$sys" -exec sh -c 'setfattr -h -n security.selinux -v u:object_r:system_file:s0 "$1" 2>/dev/null || true' _ {} \;
    label "$sys/bin/hello" u:object_r:hello_exec:s0
    find "$ven" -exec sh -c 'setfattr -h -n security.selinux -v u:object_r:vendor_file:s0 "$1" 2>/dev/null || true' _ {} \;
  fi
  command -v setcap >/dev/null && setcap cap_net_raw+ep "$sys/bin/hello" 2>/dev/null || true
fi

mke2fs -q -t ext4 -b 4096 -L system -M /system -d "$sys" "$STAGE/system_raw.img" 16M
img2simg "$STAGE/system_raw.img" "$OUT/system.img"
mkfs.erofs -zlz4hc -T1700000000 "$OUT/vendor.img" "$ven" >/dev/null
echo "sample firmware: $OUT/system.img (sparse ext4), $OUT/vendor.img (EROFS, lz4hc)"
