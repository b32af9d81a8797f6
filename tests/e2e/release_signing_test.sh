#!/usr/bin/env bash
# What a release engineer runs: scripts/release with a throwaway self-signed code-signing
# certificate made here, allowed by --allow-untrusted, signs launcher.exe and pkgtool.exe so
# that `osslsigncode verify` accepts both as signed by that certificate; without one the release
# says it is unsigned and the programs carry no signature; a key that does not belong to the
# certificate, or an untrusted chain that was not allowed, leaves no release behind.
# Usage: release_signing_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source="$1" work="$2"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
passes=0
failures=0
check() {
  if [[ $2 == "$3" ]]; then passes=$((passes + 1)); echo "ok: $1"; else
    failures=$((failures + 1)); echo "FAIL: $1: expected '$2', got '$3'"; fi
}

# throwaway NAME: a self-signed code-signing certificate and its key, valid for a day.
throwaway() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=$1" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null
}
throwaway "Throwaway signer"
throwaway "Another signer"
# A private authority and a signer it certified: the chain file holds the signer, then it.
throwaway "Private root"
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Privately certified" \
  -keyout "$work/Privately certified.key" -out "$work/private.csr" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\n' >"$work/private.ext"
openssl x509 -req -in "$work/private.csr" -CA "$work/Private root.pem" \
  -CAkey "$work/Private root.key" -CAcreateserial -days 1 -extfile "$work/private.ext" \
  -out "$work/private-leaf.pem" 2>/dev/null
cat "$work/private-leaf.pem" "$work/Private root.pem" >"$work/Privately certified.pem"
leaf="sha256:$(openssl x509 -in "$work/Throwaway signer.pem" -outform DER | sha256sum | cut -d' ' -f1)"

# release NAME ARGS...: runs scripts/release into $work/NAME; its exit code and output kept.
release() {
  local name="$1"
  shift
  set +e
  "$source/scripts/release" "$work/$name" "$@" >"$work/$name.out" 2>&1
  echo $? >"$work/$name.code"
  set -e
}
said() { grep -qF -- "$2" "$work/$1.out" && echo yes || echo no; }
verifies() {  # verifies FILE: whether it carries an intact signature by the throwaway signer
  osslsigncode verify -CAfile "$work/Throwaway signer.pem" -require-leaf-hash "$leaf" -in "$1" \
    >/dev/null 2>&1 && echo yes || echo no
}

release signed --sign-cert "$work/Throwaway signer.pem" --sign-key "$work/Throwaway signer.key" \
  --allow-untrusted
check "signed: exit code" "0" "$(cat "$work/signed.code")"
for program in launcher.exe pkgtool.exe; do
  check "signed: $program verifies as signed by the throwaway certificate" "yes" \
    "$(verifies "$work/signed/$program")"
done
check "signed: says by whom" "yes" "$(said signed "are signed by CN = Throwaway signer")"
check "signed: says Windows will not trust a self-signed certificate" "yes" \
  "$(said signed "does not chain to a root this machine trusts (allowed by --allow-untrusted)")"
# Without a time stamp nobody should be surprised when the programs stop verifying.
check "signed: says the signature ends with the certificate" "yes" \
  "$(said signed "the signatures end with the certificate")"

# An untrusted chain that was not allowed must not ship: a self-signed certificate, and one
# from an authority of one's own.
for chain in "Throwaway signer" "Privately certified"; do
  name="untrusted-${chain%% *}"
  release "$name" --sign-cert "$work/$chain.pem" --sign-key "$work/$chain.key"
  check "$chain, not allowed: exit code" "1" "$(cat "$work/$name.code")"
  check "$chain, not allowed: nothing left to ship" "" "$(ls -A "$work/$name")"
  check "$chain, not allowed: says why" "yes" \
    "$(said "$name" "does not chain to a root this machine trusts (self-signed or a private")"
done

release unsigned
check "unsigned: exit code" "0" "$(cat "$work/unsigned.code")"
check "unsigned: says so" "yes" "$(said unsigned "the release is UNSIGNED")"
for program in launcher.exe pkgtool.exe; do
  check "unsigned: $program carries no signature" "no" "$(verifies "$work/unsigned/$program")"
done
files() { (cd "$work/$1" && find . -type f | LC_ALL=C sort | tr '\n' ' '); }
check "signed: the same files as unsigned, nothing left from signing" "$(files unsigned)" \
  "$(files signed)"

# osslsigncode refuses a key of another certificate; had it signed, the check would refuse it.
release mismatched --sign-cert "$work/Throwaway signer.pem" --sign-key "$work/Another signer.key"
check "mismatched key: exit code" "1" "$(cat "$work/mismatched.code")"
check "mismatched key: nothing left to ship" "" "$(ls -A "$work/mismatched")"

release half --sign-cert "$work/Throwaway signer.pem"
check "certificate without key: usage error" "2" "$(cat "$work/half.code")"
release allowed-alone --allow-untrusted
check "--allow-untrusted without a certificate: usage error" "2" \
  "$(cat "$work/allowed-alone.code")"
check "certificate without key: no release" "no" "$([[ -e $work/half ]] && echo yes || echo no)"

echo "$passes passed, $failures failed"
((failures == 0))
