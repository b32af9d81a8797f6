#!/usr/bin/env bash
# Makes throwaway package-signing keys for the tests in the folder given (never committed):
#   product.pem        the product's P-256 key, PKCS #8 as `openssl genpkey` writes it
#   product.pub.pem    its public key, as LAUNCHER_UPDATE_PUBLIC_KEY takes it
#   product.keyid      its key id by the documented command: SHA-256 of the DER public key
#   product-sec1.pem   the same private key in SEC 1 form, after its curve parameters block,
#                      as `openssl ecparam -genkey` writes keys
#   other.pem, other.pub.pem       a second P-256 key: "another key"
#   encrypted.pem      the product key under a passphrase ("secret"), PKCS #8
#   encrypted-sec1.pem the same in SEC 1 form with its encryption in PEM header lines
#   ed25519.pem, ed25519.pub.pem   a key of another algorithm
#   p384.pem, p384.pub.pem, rsa.pem, rsa.pub.pem   keys of another curve and algorithm
#   compressed.pub.pem the product's public key with its point compressed
#   off-curve.pub.pem  its point with Y changed: no point of the curve
#   zero.pub.pem       the point (0, 0)
#   junk.pub.pem       the product's public key with a byte after its DER
# Usage: make_test_keys.sh OPENSSL FOLDER
set -euo pipefail
openssl="$1" dir="$2"
mkdir -p "$dir"
cd "$dir"
for name in product other; do
  "$openssl" genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$name.pem"
  "$openssl" pkey -in "$name.pem" -pubout -out "$name.pub.pem"
done
"$openssl" pkey -pubin -in product.pub.pem -outform DER | "$openssl" dgst -sha256 -r |
  cut -c1-64 >product.keyid
{
  "$openssl" ecparam -name prime256v1
  "$openssl" ec -in product.pem 2>/dev/null
} >product-sec1.pem
"$openssl" pkcs8 -topk8 -in product.pem -v2 aes-256-cbc -passout pass:secret -out encrypted.pem
"$openssl" ec -in product.pem -aes256 -passout pass:secret -out encrypted-sec1.pem 2>/dev/null
"$openssl" genpkey -algorithm ed25519 -out ed25519.pem
"$openssl" genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.pem
"$openssl" genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.pem 2>/dev/null
for name in ed25519 p384 rsa; do
  "$openssl" pkey -in "$name.pem" -pubout -out "$name.pub.pem"
done
"$openssl" ec -pubin -in product.pub.pem -pubout -conv_form compressed -out compressed.pub.pem \
  2>/dev/null
# pem LABEL: standard input's bytes as a PEM block.
pem() {
  echo "-----BEGIN $1-----"
  "$openssl" base64
  echo "-----END $1-----"
}
der="$("$openssl" pkey -pubin -in product.pub.pem -outform DER | od -An -v -tx1 | tr -d ' \n')"
# 26 bytes of structure, 04, X (32 bytes), Y (32 bytes): the last byte of Y flipped.
last=$(printf '%02x' $((0x${der:180:2} ^ 1)))
printf '%s' "${der:0:180}$last" | xxd -r -p | pem "PUBLIC KEY" >off-curve.pub.pem
printf '%s%s' "${der:0:54}" "$(printf '0%.0s' {1..128})" | xxd -r -p | pem "PUBLIC KEY" >zero.pub.pem
printf '%s00' "$der" | xxd -r -p | pem "PUBLIC KEY" >junk.pub.pem
