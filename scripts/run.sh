#!/usr/bin/env bash
# The main job: set-up where needed, then the console host under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TERN_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh" >&2
status=0
"$build/x64/wine-run" 'C:\TernFileMon\ternwatch.exe' "$@" || status=$?
WINEPREFIX=$build/x64/wineprefix wineserver -k 2>/dev/null || true
exit $status
