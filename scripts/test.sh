#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${ORVEX_BUILD_DIR:-build}
# Cache hits across clones in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake -S . -B "$BUILD" -G Ninja
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)" --timeout 600
# The Debian package: built, unpacked into a throw-away root and run as an ordinary user.
bash scripts/package-test.sh "$BUILD"
