#!/usr/bin/env bash
# Checks a TernFileMon.dll: the six exports undecorated at ordinals 1-6, and
# no import of a mingw runtime DLL (the runtime is linked statically).
set -euo pipefail
objdump=$1
dll=$2
[ -f "$dll" ] || { echo "FAIL: $dll does not exist"; exit 1; }
dump=$("$objdump" -p "$dll")
status=0
# objdump lists "Ordinal Base N", then under "[Ordinal/Name Pointer] Table" one
# line "[  k] Name" per name, where k + N is the export's ordinal.
base=$(sed -n 's/.*Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump" | head -n 1)
names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s*\[ *[0-9]+\]')
for pair in 1:CreateObject 2:GetInterfaceList 3:QuerySupportedCommand 4:GetHealthCounters 5:SetPolicyRecorder 6:ReplayPolicyNotes; do
  ordinal=${pair%%:*} name=${pair#*:}
  index=$((ordinal - ${base:-1}))
  if ! grep -Eq "^\s*\[ *$index\] $name\$" <<<"$names"; then
    echo "FAIL: $name is not exported undecorated at ordinal $ordinal"; status=1
  fi
done
count=$(grep -c . <<<"$names" || true)
[ "$count" = 6 ] || { echo "FAIL: $count exported names instead of 6"; status=1; }
if grep -Eiq 'DLL Name: (libgcc|libstdc|libwinpthread)' <<<"$dump"; then
  echo "FAIL: imports a mingw runtime DLL:"; grep -Ei 'DLL Name: lib' <<<"$dump"; status=1
fi
[ $status = 0 ] && echo "OK: $dll exports CreateObject@1 GetInterfaceList@2 QuerySupportedCommand@3 GetHealthCounters@4 SetPolicyRecorder@5 ReplayPolicyNotes@6"
exit $status
