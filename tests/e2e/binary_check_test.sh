#!/usr/bin/env bash
# The programs as shipped, checked in the files themselves (Wine ignores manifests):
# launcher.exe is a PE32+ GUI program that imports system DLLs only (ole32, bcrypt and crypt32
# not at start: the link refresh loads ole32 when it runs, the package signature check bcrypt
# and crypt32; it links no key file reader) and embeds a manifest asking for administrator rights
# without UI access, declaring Windows 7 to 11, per-monitor DPI awareness (v2) and common
# controls 6, and no long-path awareness; launcher.exe, pkgtool.exe and the stand-in client
# each carry a version resource with the project version.
# Usage: binary_check_test.sh VERSION LAUNCHER_EXE PKGTOOL_EXE STANDIN_EXE
set -euo pipefail
# The tools' own words (objdump's field names, windres's keywords) must not be translated.
export LC_ALL=C
version="$1" launcher="$2" pkgtool="$3" standin="$4"
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres
passes=0
failures=0
check() {
  if [[ $2 == "$3" ]]; then passes=$((passes + 1)); echo "ok: $1"; else
    failures=$((failures + 1)); echo "FAIL: $1: expected '$2', got '$3'"; fi
}

# headers EXE NAME SUBSYSTEM: a 64-bit program of that subsystem importing system DLLs only.
system_dlls='^(KERNEL32|USER32|SHELL32|ADVAPI32|OLE32|msvcrt|SHLWAPI|GDI32)\.dll$'
headers() {
  local text
  text="$($objdump -p "$1")"
  check "$2: PE32+ x86-64" "pei-x86-64" "$(sed -n 's/.*file format //p' <<<"$text" | head -1)"
  check "$2: subsystem" "$3" "$(awk '/^Subsystem/ {print $2}' <<<"$text")"
  while read -r dll; do
    check "$2: import $dll is a system DLL" "yes" \
      "$(grep -qiE "$system_dlls" <<<"$dll" && echo yes || echo no)"
  done < <(sed -n 's/.*DLL Name: //p' <<<"$text")
}

# version_info EXE NAME: the version resource, as windres writes it back as resource script.
version_info() {
  local rc
  rc="$($windres -i "$1" -O rc)"
  value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"$/\1/p" <<<"$rc"; }
  IFS=. read -r major minor patch <<<"$version"
  check "$2: FILEVERSION" "$major, $minor, $patch, 0" "$(sed -n 's/^ *FILEVERSION //p' <<<"$rc")"
  check "$2: PRODUCTVERSION" "$major, $minor, $patch, 0" \
    "$(sed -n 's/^ *PRODUCTVERSION //p' <<<"$rc")"
  check "$2: FileVersion" "$version" "$(value FileVersion)"
  check "$2: ProductVersion" "$version" "$(value ProductVersion)"
  check "$2: ProductName" "Veltmora Launcher" "$(value ProductName)"
  check "$2: OriginalFilename" "$2" "$(value OriginalFilename)"
  check "$2: LegalCopyright" "yes" "$(grep -q '^Copyright (C) [0-9]\{4\} ' <<<"$(value LegalCopyright)" && echo yes || echo no)"
  check "$2: FileDescription" "yes" "$([[ -n $(value FileDescription) ]] && echo yes || echo no)"
  description="$(value FileDescription)"
}

headers "$launcher" launcher.exe 00000002
# COM is loaded by the link refresh when it runs, not by every start.
check "launcher.exe: ole32 is not imported at start" "no" \
  "$($objdump -p "$launcher" | grep -qi 'DLL Name: ole32.dll' && echo yes || echo no)"
# CNG is loaded by the signature check of an update package, not by every start, and so after
# the launcher has limited its library search: a DLL imported at start is looked for in the
# program's own folder first unless the system knows it.
# crypt32, which decodes the signature and key files, the same way.
for exe in "$launcher" "$pkgtool"; do
  for dll in bcrypt crypt32; do
    check "$(basename "$exe"): $dll is not imported at start" "no" \
      "$($objdump -p "$exe" | grep -qi "DLL Name: $dll.dll" && echo yes || echo no)"
  done
done
# The launcher checks a signature against the key built into it: no key file reader (their
# block labels) is linked into it.
check "launcher.exe: no key file reader" "0" "$(grep -c 'PRIVATE KEY' "$launcher" || true)"
check "pkgtool.exe: its key file reader" "yes" \
  "$(grep -q 'PRIVATE KEY' "$pkgtool" && echo yes || echo no)"
headers "$pkgtool" pkgtool.exe 00000003
version_info "$launcher" launcher.exe
version_info "$pkgtool" pkgtool.exe
version_info "$standin" Veltmora.exe
check "the stand-in says what it is" "yes" "$(grep -q '^Stand-in ' <<<"$description" && echo yes || echo no)"

# launcher.exe imports no ShellExecute function: the client is started by CreateProcessW, since
# the shell would look up the .exe association, which merges classes an unelevated program can
# write for its user. (Wine ignores per-user associations, so what they would start cannot be
# shown by running it.)
check "launcher.exe: no ShellExecute function imported" "0" \
  "$($objdump -p "$launcher" | grep -ciE '^\s+[0-9a-f]+\s+[0-9]+\s+ShellExecute' || true)"
check "launcher.exe: CreateProcessW imported" "1" \
  "$($objdump -p "$launcher" | grep -cE '^\s+[0-9a-f]+\s+[0-9]+\s+CreateProcessW$' || true)"

# The manifest as embedded: resource type 24, which windres writes back as quoted pieces of at
# most a line each.
manifest="$($windres -i "$launcher" -O rc | sed -n '/RT_MANIFEST/,/^END/p' |
  sed -n 's/^ *"\(.*\)"$/\1/p' | tr -d '\n' | sed 's/\\n/\n/g; s/""/"/g')"
has() { grep -cF -- "$1" <<<"$manifest" || true; }
check "manifest asks for administrator" "1" "$(has 'level="requireAdministrator"')"
check "manifest without UI access" "1" "$(has 'uiAccess="false"')"
check "manifest: Windows 7" "1" "$(has '<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>')"
check "manifest: Windows 8" "1" "$(has '<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>')"
check "manifest: Windows 8.1" "1" "$(has '<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>')"
check "manifest: Windows 10 and 11" "1" "$(has '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>')"
check "manifest: per-monitor v2 DPI awareness" "1" "$(has '>PerMonitorV2, PerMonitor</dpiAwareness>')"
check "manifest: per-monitor before Windows 10" "1" "$(has '>true/pm</dpiAware>')"
check "manifest: common controls 6" "1" \
  "$(has 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" publicKeyToken="6595b64144ccf1df"')"
check "manifest: no long-path awareness" "0" "$(has 'longPathAware')"
check "manifest: assembly version" "1" "$(has "name=\"Veltmora.Launcher\" version=\"$version.0\"")"
check "manifest is well-formed XML" "ok" \
  "$(python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parseString(sys.stdin.read()); print("ok")' <<<"$manifest" 2>&1 | tail -1)"

echo "$passes passed, $failures failed"
((failures == 0))
