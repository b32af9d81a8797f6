// SHA-256 and ECDSA over the NIST P-256 curve, from the system's own cryptography, loaded at
// the first call: CNG (bcrypt.dll) on Windows, OpenSSL's libcrypto (libcrypto.so.3) elsewhere;
// when it cannot be loaded, every call fails. Every value crosses this seam as fixed-size
// big-endian bytes, the forms both libraries take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;
// A public key: the uncompressed point, 0x04 then X and Y of 32 bytes each.
using P256Point = std::array<std::uint8_t, 65>;
// A private key's secret scalar.
using P256Scalar = std::array<std::uint8_t, 32>;
// A signature: r then s, 32 bytes each.
using P256Signature = std::array<std::uint8_t, 64>;

// SHA-256 fed in pieces of any size.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t length);
  // The digest of everything fed. False when the system's hash could not be made or fed at
  // some point; `digest` is then meaningless. Call once.
  bool Finish(Sha256Digest& digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool failed_ = false;
};

enum class SignatureCheck {
  kValid,
  kInvalid,      // not a signature by this key over this digest (or the key is no curve point)
  kUnavailable,  // the system's cryptography could not be used: nothing was decided
};

// Checks an ECDSA signature over a SHA-256 digest (the digest itself is what was signed).
SignatureCheck VerifyP256(const P256Point& key, const Sha256Digest& digest,
                          const P256Signature& signature);

// Signs a SHA-256 digest with the private key `scalar`, whose public key is `key` (the
// system wants both); a new random nonce each time. False when the system refused.
bool SignP256(const P256Scalar& scalar, const P256Point& key, const Sha256Digest& digest,
              P256Signature& signature);

// What the system's key readers make of a P-256 key in PEM text or DER bytes.
enum class KeyRead {
  kOk,
  kNoKey,            // no block of the kind asked for
  kSeveral,          // more than one block of that kind: which one is meant cannot be told
  kEncrypted,        // passphrase-protected, and no passphrase given or none can be used here
  kWrongPassphrase,  // the passphrase does not open it (or its encrypted bytes are damaged)
  kOtherKind,        // a key of another algorithm or curve, or a point not in uncompressed form
  kOffCurve,         // a public point that is no point of the curve (the all-zero one among them)
  kNoPublicPart,     // a private key that does not carry its public point
  kDamaged,          // the PEM or DER does not decode, or bytes follow the key's DER
  kUnavailable,      // the system's cryptography could not be used
};

// A public key from DER SubjectPublicKeyInfo, checked to be a point of the curve.
KeyRead P256PublicKeyFromDer(const std::uint8_t* der, std::size_t size, P256Point& point);

// A public key from the one "PUBLIC KEY" block in PEM text; text around the block is ignored.
KeyRead P256PublicKeyFromPem(std::string_view pem, P256Point& point);

// Whether P256PrivateKeyFromPem opens passphrase-protected keys on this system.
extern const bool kDecryptsKeyFiles;

// A private key and its public point from the one private key block in PEM text: PKCS #8
// ("PRIVATE KEY") or SEC 1 ("EC PRIVATE KEY"), and where the system can decrypt them (not
// Windows) passphrase-protected ones. `passphrase` null: none given. On failure `scalar` is
// zero.
KeyRead P256PrivateKeyFromPem(std::string_view pem, const char* passphrase, P256Scalar& scalar,
                              P256Point& point);

// An ECDSA signature's DER form, SEQUENCE { INTEGER r, INTEGER s }, read by the system's DER
// decoder and accepted only when the system writes the same bytes back: r and s each 1 to
// 2^256 - 1, minimally encoded, nothing after them.
bool EcdsaSignatureFromDer(const std::uint8_t* der, std::size_t size, P256Signature& out);
// The DER form of `signature`; empty when the system could not write it.
std::vector<std::uint8_t> EcdsaSignatureToDer(const P256Signature& signature);

// Base64 (standard alphabet, '=' padding, no line breaks) by the system's codec.
std::string Base64Encode(const std::uint8_t* data, std::size_t size);
// Decodes only what Base64Encode writes, so that one value has one text: false for blanks,
// line breaks, missing or misplaced padding and unused bits that are set.
bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& out);

// Overwrites `size` bytes so that the compiler cannot leave the stores out.
void WipeBytes(void* data, std::size_t size);

// Bytes that are wiped when they go: decoded private keys and their files' text.
class WipedBytes {
 public:
  WipedBytes() = default;
  explicit WipedBytes(std::size_t size) : bytes_(size) {}
  ~WipedBytes() { WipeBytes(bytes_.data(), bytes_.size()); }
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;

  std::uint8_t* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  // `size` zero bytes in place of the old ones, which are wiped first.
  void Reset(std::size_t size) {
    WipeBytes(bytes_.data(), bytes_.size());
    std::vector<std::uint8_t>(size).swap(bytes_);
  }
  // Keeps the first `size` bytes, as a decoder wrote them; the rest are wiped.
  void Shrink(std::size_t size) {
    if (size >= bytes_.size()) return;
    WipeBytes(bytes_.data() + size, bytes_.size() - size);
    bytes_.resize(size);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace platform
