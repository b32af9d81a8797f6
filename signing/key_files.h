// The keys that sign update packages (ECDSA over P-256) and the encodings around them: the
// PEM files OpenSSL writes, base64, and a signature's DER form, all read by the system's own
// decoders (platform/crypto.h). Everything here is strict: one encoding of each value is
// accepted, so that no two texts mean the same key or signature.
//
// key_files.cpp reads key files (pkgtool); key_encoding.cpp holds what the launcher's own
// check needs (the embedded key, the signature's encodings), so that it links no PEM reader.
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
  ~PrivateKey();  // wipes the scalar
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;
};

enum class KeyFileResult {
  kOk,
  kNotPem,           // no PEM block of the kind asked for, nor of any key
  kPublicKey,        // a public key where the private one is needed
  kPrivateKey,       // a private key where the public one is needed
  kEncrypted,        // a passphrase-protected private key, and no passphrase (or none is read here)
  kNotP256,          // a key of another algorithm or curve, or a compressed point
  kNoPublicPart,     // a private key file without its public key
  kDamaged,          // the PEM or DER does not decode
  kHashUnavailable,  // the key's id could not be computed, or the system's cryptography failed
  kSeveralKeys,      // more than one key of the kind asked for
  kWrongPassphrase,  // the passphrase does not open the key
  kOffCurve,         // a public key that is no point of the curve (the all-zero one among them)
};

// What the result means, in the words of the people who keep the keys.
const char* DescribeKeyFileResult(KeyFileResult result);

// The product's key as a program carries it: the 91 bytes of DER SubjectPublicKeyInfo that
// OpenSSL writes for P-256 with an uncompressed point, which the build checked to be a point
// of the curve. Only that exact form; no DER decoder is involved.
KeyFileResult PublicKeyFromDer(const std::uint8_t* der, std::size_t size, PublicKey& key);

// Fills in `key.id` from `key.point`: kOk, or kHashUnavailable.
KeyFileResult IdFromPoint(PublicKey& key);

// From the text of a PEM file: its one "PUBLIC KEY" block, a point of the curve.
KeyFileResult PublicKeyFromPem(std::string_view pem, PublicKey& key);

// From the text of a PEM file: its one "PRIVATE KEY" (PKCS #8), "EC PRIVATE KEY" (SEC 1) or,
// with `passphrase` and where the system decrypts key files, "ENCRYPTED PRIVATE KEY" block of
// a P-256 key, as OpenSSL writes them.
KeyFileResult PrivateKeyFromPem(std::string_view pem, PrivateKey& key,
                                const char* passphrase = nullptr);

// The 64 lower-case hex digits of a key id.
std::string HexKeyId(const platform::Sha256Digest& id);

// Base64 of RFC 4648 (standard alphabet, '=' padding, no line breaks).
inline std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  return platform::Base64Encode(data, size);
}
// Decodes only the form Base64Encode writes: no blanks or line breaks, padding exactly where
// it belongs, unused bits zero. False otherwise; `out` is then meaningless.
inline bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& out) {
  return platform::Base64Decode(text, out);
}

// A signature's DER form, SEQUENCE { INTEGER r, INTEGER s }, as OpenSSL and most hardware
// keys write it; r and s each 1 to 2^256 - 1, minimally encoded. False for anything else.
inline bool SignatureFromDer(const std::uint8_t* der, std::size_t size,
                             platform::P256Signature& out) {
  return platform::EcdsaSignatureFromDer(der, size, out);
}
inline std::vector<std::uint8_t> SignatureToDer(const platform::P256Signature& signature) {
  return platform::EcdsaSignatureToDer(signature);
}

}  // namespace signing
