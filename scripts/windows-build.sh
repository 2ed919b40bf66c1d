#!/usr/bin/env bash
# Cross-builds orvex-cli for 64-bit and 32-bit Windows with mingw-w64 (build-win64/, build-win32/)
# and runs the Windows tests under Wine: the platform and tool-runner tests, the engine unit
# tests and the orvex-cli smoke test. Our console tools (libext2fs, liblz4, libbrotli) and the Qt
# program are not cross-built here.
#
#   scripts/windows-build.sh            build both, test the 64-bit build
#   ORVEX_WIN_TARGETS=win64 scripts/windows-build.sh   only one of them
#
# The 32-bit build is tested too when Wine can run 32-bit programs (wine32 installed).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${ORVEX_JOBS:-2}
targets=${ORVEX_WIN_TARGETS:-win64 win32}
start=$SECONDS
# Cache hits across clones in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix cmake ninja wine; do
  command -v "$tool" >/dev/null || { echo "windows-build: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

# Wine's own 32-bit loader: without it a 32-bit program "runs" without doing anything.
can_run_32bit() { [ -x /usr/lib/wine/wine ] || [ -x /usr/lib/i386-linux-gnu/wine/wine ]; }

build() {  # name toolchain tests
  local dir="build-$1"
  echo "== windows-build: $1"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TOOLS=OFF -DORVEX_BUILD_GUI=OFF -DORVEX_BUILD_TESTS="$3" >/dev/null
  if [ "$3" = ON ]; then
    cmake --build "$dir" -j"$jobs" --target orvex-cli orvex_language_files orvex_fake_tool orvex_platform_tests \
      orvex_unit_tests
  else
    cmake --build "$dir" -j"$jobs" --target orvex-cli orvex_language_files
  fi
}

run_tests() {  # name
  local dir="$root/build-$1"
  export WINEPREFIX="$dir/wineprefix"
  # The prefix is made once; later runs reuse it.
  [ -f "$WINEPREFIX/system.reg" ] || tests/windows/wine-run.sh wineboot -i >/dev/null 2>&1 || true
  local rc=0
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 || rc=$?
  wineserver -k 2>/dev/null || true
  unset WINEPREFIX
  return $rc
}

for t in $targets; do
  case $t in
    win64)
      build win64 mingw64 ON
      run_tests win64
      ;;
    win32)
      if can_run_32bit; then
        build win32 mingw32 ON
        run_tests win32
      else
        echo "windows-build: this Wine cannot run 32-bit programs; the 32-bit build is built, not run"
        build win32 mingw32 OFF
      fi
      ;;
    *) echo "windows-build: unknown target $t"; exit 2 ;;
  esac
done
echo "windows-build: done in $((SECONDS - start)) s"
