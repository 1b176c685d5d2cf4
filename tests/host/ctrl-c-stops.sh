#!/usr/bin/env bash
# ternwatch stopped with Ctrl+C (Wine turns SIGINT into the console's Ctrl+C):
# it stops the started types, releases the component, prints the summary and
# exits 0, long before its --duration.
#   ctrl-c-stops.sh <wine-run> <scratch dir>
set -euo pipefail
wine_run=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
start=$(date +%s)
"$wine_run" 'C:\TernFileMon\ternwatch.exe' --duration 120 >"$work/out" 2>"$work/err" &
host=$!
for _ in $(seq 1 300); do
  grep -q '^ternwatch: watching ' "$work/err" 2>/dev/null && break
  sleep 0.1
done
grep -q '^ternwatch: watching ' "$work/err" || { cat "$work/err" >&2; kill "$host"; echo "never watching" >&2; exit 1; }
kill -INT "$host"
status=0
wait "$host" || status=$?
elapsed=$(( $(date +%s) - start ))
cat "$work/out" "$work/err"
tr -d '\r' <"$work/err" | grep -qx 'ternwatch: stopping (Ctrl+C)' || { echo "no Ctrl+C stop" >&2; exit 1; }
tr -d '\r' <"$work/out" | tail -n 1 \
  | grep -Eq '^[0-9]+ reports: Add [0-9]+, Copy [0-9]+, Delete [0-9]+, Modify [0-9]+, Rename [0-9]+; lost [0-9]+(: .*)?$' \
  || { echo "no summary line" >&2; exit 1; }
[ "$status" = 0 ] || { echo "exit code $status" >&2; exit 1; }
[ "$elapsed" -lt 60 ] || { echo "took $elapsed s: the duration ran out instead" >&2; exit 1; }
