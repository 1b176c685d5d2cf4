#!/usr/bin/env bash
# The main job: set-up where needed, then ternwatch under Wine watching the
# test drives (D: fixed, E: removable) while ternwatch-scenario performs a
# short scripted set of real file operations; ternwatch prints the reports and
# everything ends by itself after about fifteen seconds.
#
#   scripts/run.sh              the main job
#   scripts/run.sh ARGS...      ternwatch with ARGS instead (e.g. --help, --json,
#                               check ...); Ctrl+C stops a watch
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TERN_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh" >&2
run=$build/x64/wine-run
export WINEPREFIX=$build/x64/wineprefix

status=0
if [ $# -gt 0 ]; then
  "$run" 'C:\TernFileMon\ternwatch.exe' "$@" || status=$?
else
  echo "== ternwatch watches D: and E: while ternwatch-scenario works on them" >&2
  # The duration is only a safety net: ternwatch is stopped with Ctrl+C (SIGINT,
  # which Wine turns into the console's Ctrl+C) once the scenario is done.
  "$run" 'C:\TernFileMon\ternwatch.exe' --duration 45 &
  host=$!
  "$run" 'C:\TernFileMon\ternwatch-scenario.exe' || status=$?
  sleep 2  # the last reports are delivered on the component's own thread
  kill -INT "$host" 2>/dev/null || true
  wait "$host" || status=$?
fi
wineserver -k 2>/dev/null || true
exit $status
