#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then configures, builds and
# runs a host project of its own that finds the component with
# find_package(TernFileMon), cross-compiled with the same toolchain file.
#   install-and-consume.sh <build dir> <consumer source> <toolchain file> <generator> <wine-run>
set -euo pipefail
build=$1 source=$2 toolchain=$3 generator=$4 wine_run=$5
work=$build/install-test
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/TernFileMon.dll bin/ternwatch.exe bin/ternwatch-rules.ini include/TernFileMon.h \
         lib/libTernFileMon.dll.a lib/cmake/TernFileMon/TernFileMonConfig.cmake \
         lib/cmake/TernFileMon/TernFileMonConfigVersion.cmake; do
  [ -f "$work/prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
if [ -f "$build/bin/regex.dll" ] && [ ! -f "$work/prefix/bin/regex.dll" ]; then
  echo "not installed: bin/regex.dll" >&2; exit 1
fi
cmake -S "$source" -B "$work/consumer" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer"
[ -f "$work/consumer/TernFileMon.dll" ] || { echo "the DLL was not copied beside the host" >&2; exit 1; }
out=$("$wine_run" "$work/consumer/minimal-host.exe" 1 | tr -d '\r')
echo "$out"
[ "$(echo "$out" | tail -n 1)" = "released, 0 references left" ] || {
  echo "the consumer did not run to its last Release" >&2; exit 1; }
