#include <cstring>

#include "signing/key_files.h"

namespace signing {
namespace {

// The DER SubjectPublicKeyInfo of a P-256 key, up to its point: SEQUENCE { SEQUENCE { OID
// id-ecPublicKey, OID prime256v1 }, BIT STRING (no unused bits) }. A key's id is the SHA-256 of
// these bytes and its point, so that every file of one key gives it one id.
constexpr std::uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

}  // namespace

KeyFileResult IdFromPoint(PublicKey& key) {
  platform::Sha256 hash;
  hash.Update(kSpkiPrefix, sizeof kSpkiPrefix);
  hash.Update(key.point.data(), key.point.size());
  return hash.Finish(key.id) ? KeyFileResult::kOk : KeyFileResult::kHashUnavailable;
}

KeyFileResult PublicKeyFromDer(const std::uint8_t* der, std::size_t size, PublicKey& key) {
  if (size != sizeof kSpkiPrefix + key.point.size() ||
      std::memcmp(der, kSpkiPrefix, sizeof kSpkiPrefix) != 0 || der[sizeof kSpkiPrefix] != 0x04) {
    return KeyFileResult::kNotP256;
  }
  std::memcpy(key.point.data(), der + sizeof kSpkiPrefix, key.point.size());
  return IdFromPoint(key);
}

std::string HexKeyId(const platform::Sha256Digest& id) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t b : id) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

}  // namespace signing
