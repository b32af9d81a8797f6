#!/usr/bin/env bash
# Makes throwaway package-signing keys for the tests in the folder given (never committed):
#   product.pem        the product's P-256 key, PKCS #8 as `openssl genpkey` writes it
#   product.pub.pem    its public key, as LAUNCHER_UPDATE_PUBLIC_KEY takes it
#   product.keyid      its key id by the documented command: SHA-256 of the DER public key
#   product-sec1.pem   the same private key in SEC 1 form, after its curve parameters block,
#                      as `openssl ecparam -genkey` writes keys
#   other.pem, other.pub.pem       a second P-256 key: "another key"
#   encrypted.pem      the product key under a passphrase
#   ed25519.pem, ed25519.pub.pem   a key of another algorithm
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
"$openssl" genpkey -algorithm ed25519 -out ed25519.pem
"$openssl" pkey -in ed25519.pem -pubout -out ed25519.pub.pem
