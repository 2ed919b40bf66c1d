#!/usr/bin/env bash
# Cross-builds orvex-cli and our console tools that are ported to Windows for 64-bit and 32-bit
# Windows with mingw-w64 (build-win64/, build-win32/; the tools land in bin\ beside
# orvex-cli.exe) and runs the Windows tests under Wine: the platform and tool-runner tests, the
# engine unit tests, the orvex-cli smoke test and the tools on images made by the Linux tools.
# The tools' libraries are built first from Debian's source packages by scripts/windows-deps.sh
# into build-windeps/, which later runs reuse. The Qt program is not cross-built here.
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

for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix cmake ninja wine apt-get dpkg-source; do
  command -v "$tool" >/dev/null || { echo "windows-build: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

# Wine's own 32-bit loader: without it a 32-bit program "runs" without doing anything.
can_run_32bit() { [ -x /usr/lib/wine/wine ] || [ -x /usr/lib/i386-linux-gnu/wine/wine ]; }

# The libraries of our tools, from Debian's source packages; a warm cache makes this a no-op.
deps_dir=${ORVEX_WINDEPS_DIR:-$root/build-windeps}
deps_start=$SECONDS
triplets=
for t in $targets; do
  case $t in win64) triplets+=" x86_64-w64-mingw32" ;; win32) triplets+=" i686-w64-mingw32" ;; esac
done
ORVEX_DEPS_TRIPLETS=$triplets bash scripts/windows-deps.sh "$deps_dir"
echo "windows-build: libraries ready in $((SECONDS - deps_start)) s"

# The Linux tool folder, when a Linux build is there, for the tools' byte-for-byte comparisons.
linux_bin=${ORVEX_LINUX_BIN_DIR:-}
if [ -z "$linux_bin" ] && [ -x "$root/${ORVEX_BUILD_DIR:-build}/bin/makesuper/lpmake" ] &&
  [ -x "$root/${ORVEX_BUILD_DIR:-build}/bin/dtbTool" ] && [ -x "$root/${ORVEX_BUILD_DIR:-build}/orvex-cli" ]; then
  linux_bin=$root/${ORVEX_BUILD_DIR:-build}/bin
fi

build() {  # name toolchain tests
  local dir="build-$1"
  echo "== windows-build: $1"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TOOLS=ON -DORVEX_BUILD_GUI=OFF -DORVEX_BUILD_TESTS="$3" \
    -DORVEX_WINDEPS_DIR="$deps_dir" -DORVEX_LINUX_BIN_DIR="$linux_bin" >/dev/null
  if [ "$3" = ON ]; then
    # Everything: the program, the tool folder and every test program ctest runs under Wine.
    cmake --build "$dir" -j"$jobs"
  else
    cmake --build "$dir" -j"$jobs" --target orvex-cli orvex_tools
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
