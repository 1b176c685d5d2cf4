#!/usr/bin/env bash
# The engine benchmark: set-up where needed, then the benchmark program under
# Wine on the fixed test drive D:. Prints its figures as Markdown tables.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TERN_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh" >&2
status=0
"$build/x64/wine-run" "$build/x64/bin/engine_bench.exe" 'D:\' "$@" || status=$?
WINEPREFIX=$build/x64/wineprefix wineserver -k 2>/dev/null || true
exit $status
