#!/bin/sh
# Runs a Windows program under Wine with a private prefix: the one named by WINEPREFIX, else
# wineprefix/ in the build tree that holds the program (the folder with CMakeCache.txt).
# Used as the cross build's CMAKE_CROSSCOMPILING_EMULATOR, so ctest runs the tests through it.
set -e
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=${TMPDIR:-/tmp}
  WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX
# Wine keeps its menus, file associations and the recycle bin in the XDG folders: keep those in
# the prefix too, so that a test run leaves nothing in the home folder.
export XDG_DATA_HOME="$WINEPREFIX/xdg-data" XDG_CONFIG_HOME="$WINEPREFIX/xdg-config"
export WINEDEBUG="${WINEDEBUG:--all}"
export DISPLAY=
# Quiet first start: no Mono or Gecko installer prompts for a prefix made here.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -x /usr/lib/wine/wine64 ] && [ ! -x /usr/lib/wine/wine ]; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
