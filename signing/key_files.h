// The keys that sign update packages (ECDSA over P-256) and the encodings around them: the
// PEM files OpenSSL writes, base64, and a signature's DER form. Everything here is strict:
// one encoding of each value is accepted, so that no two texts mean the same key or signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

namespace signing {

struct PublicKey {
  platform::P256Point point;
  // SHA-256 of the key's DER SubjectPublicKeyInfo (what `openssl pkey -pubin -outform DER`
  // writes): the name a signature gives its key.
  platform::Sha256Digest id;
};

struct PrivateKey {
  platform::P256Scalar scalar;
  PublicKey publicKey;
  PrivateKey() = default;
  ~PrivateKey();
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;
};

enum class KeyFileResult {
  kOk,
  kNotPem,          // no PEM block of the kind asked for, nor of any key
  kPublicKey,       // a public key where the private one is needed
  kPrivateKey,      // a private key where the public one is needed
  kEncrypted,       // a passphrase-protected private key
  kNotP256,         // a key of another algorithm or curve, or a compressed point
  kNoPublicPart,    // a private key file without its public key
  kDamaged,         // the PEM or DER does not decode
  kHashUnavailable  // the key's id could not be computed
};

// What the result means, in the words of the people who keep the keys.
const char* DescribeKeyFileResult(KeyFileResult result);

// A public key from its DER SubjectPublicKeyInfo: P-256 with an uncompressed point, the 91
// bytes OpenSSL writes.
KeyFileResult PublicKeyFromDer(const std::uint8_t* der, std::size_t size, PublicKey& key);

// From the text of a PEM file: a "PUBLIC KEY" block.
KeyFileResult PublicKeyFromPem(std::string_view pem, PublicKey& key);

// From the text of a PEM file: an unencrypted "PRIVATE KEY" (PKCS #8) or "EC PRIVATE KEY"
// (SEC 1) block of a P-256 key that holds its public key too, as OpenSSL writes both.
KeyFileResult PrivateKeyFromPem(std::string_view pem, PrivateKey& key);

// The 64 lower-case hex digits of a key id.
std::string HexKeyId(const platform::Sha256Digest& id);

// Base64 of RFC 4648 (standard alphabet, '=' padding, no line breaks).
std::string Base64Encode(const std::uint8_t* data, std::size_t size);
// Decodes only the form Base64Encode writes: no blanks or line breaks, padding exactly where
// it belongs, unused bits zero. False otherwise; `out` is then meaningless.
bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& out);

// A signature's DER form, SEQUENCE { INTEGER r, INTEGER s }, as OpenSSL and most hardware
// keys write it; r and s each 1 to 2^256 - 1, minimally encoded. False for anything else.
bool SignatureFromDer(const std::uint8_t* der, std::size_t size, platform::P256Signature& out);
std::vector<std::uint8_t> SignatureToDer(const platform::P256Signature& signature);

}  // namespace signing
