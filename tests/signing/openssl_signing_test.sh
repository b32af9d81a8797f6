#!/usr/bin/env bash
# The OpenSSL signing commands of docs/update-packages.md, exactly as the page gives them, run
# by a POSIX shell on a fresh archive; pkgtool verify must then accept the package as the
# release the commands name. A second run must refuse the archive that now has a comment, and
# leave it signed. The first layout's commands, which pipelines used before releases were
# numbered, must still give a package verify accepts, unnumbered.
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
# pkgtool.exe's C runtime ends lines in CR LF.
verify() {
  "${emulator[@]}" "$pkgtool" verify --key "$(arg public.pem)" "$(arg update.zip)" | tr -d '\r'
}
cp "$keys/product.pub.pem" public.pem

failures=0
fail() { echo "FAIL: $1"; failures=$((failures + 1)); }
sh sign.sh || fail "the commands did not sign"
verify | grep -q '(product Veltmora, sequence 42)$' ||
  fail "pkgtool verify refuses what they signed, or reads another release"
if sh sign.sh 2>/dev/null; then
  fail "the commands signed an archive that already has a comment"
fi
verify >/dev/null || fail "the refused second run changed the archive"

# The first layout: the archive's own digest signed, no product and no number.
cp update.zip numbered.zip
python3 -c '
import zipfile
with zipfile.ZipFile("update.zip", "w") as z:
    z.writestr("app.dll", b"unnumbered\n")
'
keyid=$(openssl pkey -in private.pem -pubout -outform DER | openssl dgst -sha256 -r | cut -c1-64)
sig=$(openssl dgst -sha256 -sign private.pem update.zip | base64 | tr -d '\n')
comment="update-signature v1 ecdsa-p256-sha256 key=$keyid sig=$sig"
python3 -c '
import sys
c = sys.argv[1].encode()
with open("update.zip", "r+b") as f:
    f.seek(-2, 2)
    f.write(len(c).to_bytes(2, "little") + c)
' "$comment"
verify | grep -q '(unnumbered)$' || fail "pkgtool verify refuses a package of the first layout"
echo "$failures failed"
((failures == 0))
