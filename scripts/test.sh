#!/usr/bin/env bash
# The whole test suite: set-up where needed, then every test program under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TERN_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
cd "$build/x64"
ctest --output-on-failure "$@"
