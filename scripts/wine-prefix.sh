#!/usr/bin/env bash
# Lays out a private, headless Wine prefix with the test drives:
#   C: the prefix's own drive_c (fixed)
#   D: <drives>/fixed      fixed
#   E: <drives>/removable  removable
#   F: <drives>/cdrom      CD-ROM
# and no Z: (by default Z: is the whole Linux root as a fixed drive).
# C:\TernFileMon is the build tree's bin folder, so that programs started from
# there see a Windows path of their own (GetModuleFileName, the DLL beside them).
# Quick when the prefix is already laid out.
set -euo pipefail
prefix=$1
drives=$2
bin=$(dirname "$prefix")/bin
stamp=$prefix/.ternfilemon-layout-v2
[ -f "$stamp" ] && exit 0

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "== preparing Wine prefix $prefix"
mkdir -p "$prefix" "$drives/fixed" "$drives/removable" "$drives/cdrom"
wine wineboot -i >/dev/null 2>&1 || true
wineserver -w
rm -f "$prefix/dosdevices/z:" "$prefix/dosdevices/d:" "$prefix/dosdevices/e:" "$prefix/dosdevices/f:"
ln -s "$drives/fixed" "$prefix/dosdevices/d:"
ln -s "$drives/removable" "$prefix/dosdevices/e:"
ln -s "$drives/cdrom" "$prefix/dosdevices/f:"
rm -rf "$prefix/drive_c/TernFileMon"
ln -s "$bin" "$prefix/drive_c/TernFileMon"
wine reg add 'HKLM\Software\Wine\Drives' /v e: /d floppy /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Drives' /v f: /d cdrom /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k || true
wineserver -w
touch "$stamp"
