#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks that its dependencies resolve, unpacks it
# into a throw-away root and runs the installed orvex-cli from there as an ordinary user on the
# sample firmware (unpack, then pack back). The user's settings must land in the XDG folder and
# nothing may be written into the installed tool folder.
#   scripts/package-test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-${ORVEX_BUILD_DIR:-build}}" && pwd)
fail() { echo "package-test: FAILED: $*"; exit 1; }

(cd "$build" && rm -f orvex_*.deb && cpack -G DEB > "$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; fail "cpack"; }
deb=$(ls "$build"/orvex_*.deb)
echo "package-test: built $(basename "$deb")"
dpkg-deb -I "$deb" | sed -n 's/^ \(Depends\|Recommends\):/package-test:   \1:/p'

work=$(mktemp -d /tmp/orvex-package-test.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
if [ "$(id -u)" -eq 0 ]; then
  # Every dependency must be installable from the archive (a dry run changes nothing).
  apt-get install -s "$deb" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "the package's dependencies do not resolve"; }
fi
root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/orvex-cli usr/lib/orvex/imgextractor usr/lib/orvex/erofs/extract.erofs usr/lib/orvex/language/1033.lng \
         usr/share/man/man1/orvex-cli.1 usr/share/man/man1/orvex-imgextractor.1; do
  [ -e "$root/$f" ] || fail "the package has no $f"
done
man -l "$root/usr/share/man/man1/orvex-cli.1" 2>&1 | grep -q "orvex-cli - unpack and repack" || fail "man orvex-cli"
if [ -f "$root/usr/share/applications/orvex.desktop" ] && command -v desktop-file-validate > /dev/null; then
  desktop-file-validate "$root/usr/share/applications/orvex.desktop" || fail "the launcher does not validate"
fi

# The ordinary user (made once; a user who is not root runs it as themselves).
home="$work/home"
mkdir -p "$home"
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  id orvex-pkgtest > /dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin orvex-pkgtest
  chown orvex-pkgtest "$home"
  run_as=(setpriv --reuid=orvex-pkgtest --regid="$(id -g orvex-pkgtest)" --clear-groups)
fi
sample="$home/firmware"
bash "$src/scripts/make-sample-firmware.sh" "$sample" > /dev/null
[ "$(id -u)" -eq 0 ] && chown -R orvex-pkgtest "$sample"
cli() { "${run_as[@]}" env -i HOME="$home" PATH=/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 "$root/usr/bin/orvex-cli" "$@"; }

cli --help | grep -q "$home/.config/orvex/settings.ini" || fail "--help does not name the XDG settings file"
echo "package-test: unpacking the sample firmware with the installed orvex-cli"
cli "$sample/system.img" "$sample/vendor.img" > "$work/unpack.log" 2>&1 || { cat "$work/unpack.log"; fail "unpack"; }
[ -d "$sample/system/config" ] && [ -d "$sample/vendor/config" ] || fail "no unpacked folders"
echo "package-test: packing them back"
cli "$sample/system" "$sample/vendor" > "$work/pack.log" 2>&1 || { cat "$work/pack.log"; fail "pack"; }
simg2img "$sample/system.img" "$work/system.raw"
e2fsck -fn "$work/system.raw" > "$work/e2fsck.log" 2>&1 || { cat "$work/e2fsck.log"; fail "e2fsck of the rebuilt system.img"; }
fsck.erofs "$sample/vendor.img" > "$work/fsck.log" 2>&1 || { cat "$work/fsck.log"; fail "fsck.erofs of the rebuilt vendor.img"; }

[ -s "$home/.config/orvex/settings.ini" ] || fail "no settings in ~/.config/orvex"
grep -q "Действие по сборке\|completed\|завершено" "$home/.config/orvex/lastAction.log" || fail "no log mirror in ~/.config/orvex"
[ -d "$home/.local/share/orvex/framework" ] || fail "no framework folder in ~/.local/share/orvex"
[ ! -e "$root/usr/lib/orvex/config" ] && [ ! -e "$root/usr/lib/orvex/1.apk" ] || fail "the run wrote into the installed tool folder"
echo "package-test: passed (the installed orvex-cli unpacked and packed the sample firmware; state in ~/.config/orvex)"
