# What the Wine test scripts share; sourced right after `set -euo pipefail`.
here=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)
export LC_ALL=C.UTF-8
# A Windows program under Wine with the build's private prefix.
run() { "$here/wine-run.sh" "$@"; }
# The Windows spelling of a Unix path (Wine shows / as drive Z:).
win() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); printf 'Z:%s' "${p//\//\\}"; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
same() {  # label file1 file2
  cmp -s "$2" "$3" || fail "$1: $(basename "$2") and $(basename "$3") differ"
}
