// SHA-256 and ECDSA over the NIST P-256 curve, from the system's own cryptography, loaded at
// the first call: CNG (bcrypt.dll) on Windows, OpenSSL's libcrypto (libcrypto.so.3) elsewhere;
// when it cannot be loaded, every call fails. Every value crosses this seam as fixed-size
// big-endian bytes, the forms both libraries take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

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

}  // namespace platform
