#!/usr/bin/env bash
# The OpenSSL signing commands of docs/update-packages.md, exactly as the page gives them, run
# by a POSIX shell on a fresh archive; pkgtool verify must then accept the package. A second
# run must refuse the archive that now has a comment, and leave it signed.
# Usage: openssl_signing_test.sh DOC PKGTOOL KEYS WORKDIR [EMULATOR]
set -euo pipefail
doc="$1" pkgtool="$2" keys="$3" work="$4"
shift 4
emulator=("$@")
rm -rf "$work"
mkdir -p "$work"
# The first shell block after the page's marker line.
awk '/openssl_signing_test.sh runs the commands below/ {on = 1; next}
     on && /^```sh$/ {inside = 1; next}
     inside && /^```$/ {exit}
     inside {print}' "$doc" >"$work/sign.sh"
test -s "$work/sign.sh" || { echo "FAIL: no signing commands found in $doc"; exit 1; }

cd "$work"
cp "$keys/product.pem" private.pem
python3 -c '
import zipfile
with zipfile.ZipFile("update.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("app.dll", b"new app.dll\n" * 100)
    z.writestr("data/a.txt", b"a\n")
'
arg() { if ((${#emulator[@]})); then echo "Z:$(pwd -P)/$1" | tr / '\\'; else echo "$1"; fi; }
verify() { "${emulator[@]}" "$pkgtool" verify --key "$(arg public.pem)" "$(arg update.zip)"; }
cp "$keys/product.pub.pem" public.pem

failures=0
sh sign.sh || { echo "FAIL: the commands did not sign"; failures=$((failures + 1)); }
verify || { echo "FAIL: pkgtool verify refuses what they signed"; failures=$((failures + 1)); }
if sh sign.sh 2>/dev/null; then
  echo "FAIL: the commands signed an archive that already has a comment"
  failures=$((failures + 1))
fi
verify >/dev/null || { echo "FAIL: the refused second run changed the archive"; failures=$((failures + 1)); }
echo "$failures failed"
((failures == 0))
