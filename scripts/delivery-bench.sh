#!/usr/bin/env bash
# The end-to-end delivery benchmark: set-up where needed, then the benchmark
# program under Wine, started from C:\TernFileMon so that it loads the built
# TernFileMon.dll and regex.dll as a host does. Prints Markdown tables and a
# verdict per target; exit code 2 when a target is missed.
#   scripts/delivery-bench.sh --quick          # under 2 minutes
#   scripts/delivery-bench.sh                  # full: 1k, 10k and 50k files (long)
#   scripts/delivery-bench.sh --sizes 1000,10000
#   scripts/delivery-bench.sh --sizes 50000 --side linux   # only the Linux-side burst rows
#   scripts/delivery-bench.sh --sizes 10000 --only "D: Linux 10 dirs" --repeat 3   # chosen burst rows, repeated
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TERN_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh" >&2
status=0
"$build/x64/wine-run" 'C:\TernFileMon\delivery_bench.exe' "$@" || status=$?
WINEPREFIX=$build/x64/wineprefix wineserver -k 2>/dev/null || true
exit $status
