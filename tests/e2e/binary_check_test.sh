#!/usr/bin/env bash
# launcher.exe as shipped: a PE32+ GUI program that imports system DLLs only and embeds a
# manifest asking for administrator rights without UI access. Wine ignores the manifest, so it
# is checked in the file itself.
# Usage: binary_check_test.sh LAUNCHER_EXE
set -euo pipefail
exe="$1"
objdump=x86_64-w64-mingw32-objdump
passes=0
failures=0
check() {
  if [[ $2 == "$3" ]]; then passes=$((passes + 1)); echo "ok: $1"; else
    failures=$((failures + 1)); echo "FAIL: $1: expected '$2', got '$3'"; fi
}

headers="$($objdump -p "$exe")"
check "PE32+ x86-64" "pei-x86-64" "$(sed -n 's/.*file format //p' <<<"$headers" | head -1)"
check "GUI subsystem" "00000002" "$(awk '/^Subsystem/ {print $2}' <<<"$headers")"

system_dlls='^(KERNEL32|USER32|SHELL32|ADVAPI32|OLE32|msvcrt|SHLWAPI|GDI32)\.dll$'
while read -r dll; do
  check "import $dll is a system DLL" "yes" "$(grep -qiE "$system_dlls" <<<"$dll" && echo yes || echo no)"
done < <(sed -n 's/.*DLL Name: //p' <<<"$headers")

manifest="$($objdump -s -j .rsrc "$exe" | sed -n 's/^ [0-9a-f]* \(\([0-9a-f]\{2,8\} \)\{1,4\}\).*/\1/p' | tr -d ' \n' | xxd -r -p | tr -d '\0')"
check "manifest asks for administrator" "1" "$(grep -c 'level="requireAdministrator"' <<<"$manifest")"
check "manifest without UI access" "1" "$(grep -c 'uiAccess="false"' <<<"$manifest")"

echo "$passes passed, $failures failed"
((failures == 0))
