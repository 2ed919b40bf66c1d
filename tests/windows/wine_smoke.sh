#!/usr/bin/env bash
# Smoke test of the 64-bit orvex-cli.exe under Wine: a program folder whose bin\ holds copies of
# the fake tool under the names the partition unpack job starts, then three runs through the
# dispatcher. Checks the arguments and command lines that reached the tools, the log the program
# prints, its exit codes and what it leaves on disk. Exits non-zero on the first mismatch.
#
#   wine_smoke.sh ORVEX_CLI_EXE FAKE_TOOL_EXE ENGLISH_LNG
set -euo pipefail
. "$(dirname "$0")/wine_lib.sh"
cli=$1 fake=$2 lng=$3
# Character counts below are taken in UTF-8; the program runs on a Russian Windows (console code
# page 866, ANSI 1251), where the fake tools' Cyrillic output survives the code-page conversions.
wine_locale=ru_RU.UTF-8

expect_eq() {  # label expected actual
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /' || true
  fi
}

top=$(cd "$(mktemp -d "$(dirname "$cli")/smoke.XXXXXX")" && pwd)
trap 'rm -rf "$top"' EXIT
app="$top/my app (x64)"
work="$top/work dir"
mkdir -p "$app/bin/language" "$work"

# Wine turns the Unix arguments into UTF-16 with the Unix locale's character set, so the Russian
# locale must exist on the Linux side too; when the system has not generated it, one made here
# serves the Wine runs only.
wine_env=(LC_ALL=$wine_locale)
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf-\?8'; then
  mkdir -p "$top/locale"
  localedef -i ru_RU -f UTF-8 "$top/locale/$wine_locale" 2>/dev/null ||
    [ -d "$top/locale/$wine_locale" ] || { echo "wine smoke test: cannot make the $wine_locale locale"; exit 1; }
  wine_env+=(LOCPATH="$top/locale")
fi
cp "$cli" "$app/orvex-cli.exe"
cp "$lng" "$app/bin/language/1033.lng"
cp "$fake" "$app/bin/imgextractor.exe"
cp "$fake" "$app/bin/imgextractor_.exe"
# The information mode prints the superblock report (cmd.exe sends it into the info file).
cat > "$app/bin/imgextractor_.fake" <<'SCRIPT'
out EXT4 superblock info:
out FS compatible features: HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX
SCRIPT

# A raw ext4 image as far as the dispatcher can tell: the magic 0xEF53 at 0x438.
make_image() {
  head -c 8192 /dev/zero > "$1"
  printf '\x53\xef' | dd of="$1" bs=1 seek=$((0x438)) conv=notrunc status=none
}

# Runs the program on one image; sets out (its standard output) and code (its exit code).
unpack() {
  rm -f "$app/bin/calls.log"
  set +e
  out=$(cd "$top" && env "${wine_env[@]}" "$here/wine-run.sh" "$app/orvex-cli.exe" --set Locale_ID=1033 "$(win "$1")" 2>"$top/stderr.txt")
  code=$?
  set -e
  out=${out//$'\r'/}
}

# The fields the fake tools recorded, one "tool|field=value" line each.
calls() { sed -e '/^\[/{s/^\[\(.*\)\]$/\1/;h;d}' -e 'G;s/^\(.*\)\n\(.*\)$/\2|\1/' "$app/bin/calls.log"; }

# 1. A Cyrillic image name with a blank, in a folder with a blank.
name='систем а'
image="$work/$name.img"
make_image "$image"
cat > "$app/bin/imgextractor.fake" <<'SCRIPT'
mkdir $2\config
file $2\config\$2_fs_options.txt=Size: 1048576\r\nFolderName: $2\r\nBlock size: 4096\r\n
file $2\build.prop=ro.build.id=TEST\r\n
oem imgextractor: edition for tests\r\nExtracting $1 ...\r\nDone.\r\n
SCRIPT
unpack "$image"
W=$(win "$work") A=$(win "$app")
expect_eq "exit code of a good run" 0 "$code"
expect_eq "tool calls of a good run" "imgextractor_.exe|cwd=$W
imgextractor_.exe|line=\"$A\\bin\\imgextractor_.exe\" \"$name.img\"  -s
imgextractor_.exe|arg1=$name.img
imgextractor_.exe|arg2=-s
imgextractor.exe|cwd=$W
imgextractor.exe|line=\"$A\\bin\\imgextractor.exe\" \"$name.img\" \"$name\"
imgextractor.exe|arg1=$name.img
imgextractor.exe|arg2=$name" "$(calls)"
# What the path check counts: UTF-16 units, ASCII other than blanks, the rest, blanks.
imagewin="$W\\$name.img"
length=${#imagewin}
blanks=$(printf '%s' "$imagewin" | tr -cd ' ' | wc -c)
others=$(printf '%s' "$imagewin" | tr -d '\000-\177' | wc -m)
latin=$((length - blanks - others))
expect_eq "log of a good run" "Path: $A\\orvex-cli.exe
Invalid characters:  space  space ()

Path: $imagewin
Symbols: $length  Latin: $latin  non-Latin: $others  Spaces: $blanks
>< !!! Invalid characters: $((blanks + others))
Unpacking partition image: $name.img |Raw| Please wait...

Unpacking EXT4
Please wait...


Extracting $name.img ...
Done.

Exit code ImgExtractor: 0  (Completed successfully!)
>< !!! Free space: 1023 KB
Partition image unpacking action: $name.img completed.

>< !!! Like the project? Want it to keep growing? Please support it financially. Transfer any amount:
Orvex: ORVEX-DONATE   https://orvex.example.org/donate


No more active actions. You can close this window." "$out"
expect_eq "options file" "FileName: $name.img
Size: 1048576
Type: Raw
Journal: Yes
FolderName: $name
Block size: 4096" "$(tr -d '\r' < "$work/$name/config/${name}_fs_options.txt")"
expect_eq "information file" "EXT4 superblock info:
FS compatible features: HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX" \
  "$(tr -d '\r' < "$work/$name/config/${name}_info.txt")"
[ -f "$app/bin/config/lastAction.log" ] || fail "no lastAction.log"
grep -q "Exit code ImgExtractor: 0" "$app/bin/config/lastAction.log" || fail "lastAction.log misses the step line"

# 2. The extractor fails: its half-made folder is removed with rmdir and the run fails.
cat > "$app/bin/imgextractor.fake" <<'SCRIPT'
mkdir $2\partial
err error: bad superblock
exit 3
SCRIPT
unpack "$image"
expect_eq "exit code of a failed run" 1 "$code"
printf '%s\n' "$out" | grep -qx "error: bad superblock" || fail "the tool's error line is not in the log"
printf '%s\n' "$out" | grep -qx "Exit code ImgExtractor: 3  (Execution error!)" || fail "no failed step line"
[ ! -e "$work/$name" ] || fail "the folder of a failed unpack is still there"

# 3. A hostile name: it reaches the tool as one argument and runs nothing.
hostile='a & echo PWNED & mkdir pwned & %PATH% ^ !OS! (1)'
make_image "$work/$hostile.img"
cat > "$app/bin/imgextractor.fake" <<'SCRIPT'
mkdir $2\config
file $2\config\$2_fs_options.txt=Size: 8192\r\nFolderName: $2\r\n
SCRIPT
unpack "$work/$hostile.img"
expect_eq "exit code of the hostile run" 0 "$code"
expect_eq "arguments of the hostile run" "imgextractor_.exe|arg1=$hostile.img
imgextractor_.exe|arg2=-s
imgextractor.exe|arg1=$hostile.img
imgextractor.exe|arg2=$hostile" "$(calls | grep '|arg')"
[ -d "$work/$hostile/config" ] || fail "the hostile image was not unpacked"
found=$(find "$top" -name pwned)
[ -z "$found" ] || fail "a command hidden in the name ran: $found"
if printf '%s\n' "$out" | grep -qx "PWNED"; then fail "a command hidden in the name printed PWNED"; fi

if [ "$failures" -ne 0 ]; then
  echo "--- last output:"; printf '%s\n' "$out"; echo "--- stderr:"; cat "$top/stderr.txt"
  echo "wine smoke test: $failures failed"
  exit 1
fi
echo "wine smoke test: all checks passed"
