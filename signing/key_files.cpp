#include "signing/key_files.h"

namespace signing {
namespace {

using platform::KeyRead;

KeyFileResult FromKeyRead(KeyRead read) {
  switch (read) {
    case KeyRead::kOk:
      return KeyFileResult::kOk;
    case KeyRead::kNoKey:
      return KeyFileResult::kNotPem;
    case KeyRead::kSeveral:
      return KeyFileResult::kSeveralKeys;
    case KeyRead::kEncrypted:
      return KeyFileResult::kEncrypted;
    case KeyRead::kWrongPassphrase:
      return KeyFileResult::kWrongPassphrase;
    case KeyRead::kOtherKind:
      return KeyFileResult::kNotP256;
    case KeyRead::kOffCurve:
      return KeyFileResult::kOffCurve;
    case KeyRead::kNoPublicPart:
      return KeyFileResult::kNoPublicPart;
    case KeyRead::kDamaged:
      return KeyFileResult::kDamaged;
    case KeyRead::kUnavailable:
      break;
  }
  return KeyFileResult::kHashUnavailable;
}

// A key of the other kind says more than "no key": the file was mixed up.
bool HasBlock(std::string_view pem, std::string_view labelEnd) {
  for (std::size_t at = 0; (at = pem.find("-----BEGIN ", at)) != std::string_view::npos; ++at) {
    const std::size_t end = pem.find("-----", at + 11);
    if (end == std::string_view::npos) return false;
    const std::string_view label = pem.substr(at + 11, end - at - 11);
    if (label.size() >= labelEnd.size() &&
        label.substr(label.size() - labelEnd.size()) == labelEnd) {
      return true;
    }
  }
  return false;
}

}  // namespace

PrivateKey::~PrivateKey() { platform::WipeBytes(scalar.data(), scalar.size()); }

const char* DescribeKeyFileResult(KeyFileResult result) {
  switch (result) {
    case KeyFileResult::kOk:
      return "a P-256 key";
    case KeyFileResult::kNotPem:
      return "not a PEM key file";
    case KeyFileResult::kPublicKey:
      return "a public key (signing needs the private key)";
    case KeyFileResult::kPrivateKey:
      return "a private key (give the public key: openssl pkey -in KEY -pubout)";
    case KeyFileResult::kEncrypted:
      return platform::kDecryptsKeyFiles
                 ? "an encrypted private key (give its passphrase in an environment variable: "
                   "--passphrase-env NAME)"
                 : "an encrypted private key (pkgtool on Windows reads unencrypted keys only; "
                   "sign with pkgtool on Linux or with openssl, see docs/update-packages.md)";
    case KeyFileResult::kNotP256:
      return "not an ECDSA key on the P-256 curve (prime256v1) with an uncompressed point";
    case KeyFileResult::kNoPublicPart:
      return "a private key without its public key (openssl pkey -in KEY -out NEW writes both)";
    case KeyFileResult::kDamaged:
      return "damaged (its PEM or DER does not decode)";
    case KeyFileResult::kHashUnavailable:
      return "its key id could not be computed (SHA-256 failed)";
    case KeyFileResult::kSeveralKeys:
      return "holds more than one key of that kind (keep one key per file)";
    case KeyFileResult::kWrongPassphrase:
      return "the passphrase does not open this key (or the key is damaged)";
    case KeyFileResult::kOffCurve:
      return "its public key is not a point of the P-256 curve";
  }
  return "unreadable";
}

KeyFileResult PublicKeyFromPem(std::string_view pem, PublicKey& key) {
  if (!HasBlock(pem, "PUBLIC KEY")) {
    return HasBlock(pem, "PRIVATE KEY") ? KeyFileResult::kPrivateKey : KeyFileResult::kNotPem;
  }
  const KeyFileResult read = FromKeyRead(platform::P256PublicKeyFromPem(pem, key.point));
  return read == KeyFileResult::kOk ? IdFromPoint(key) : read;
}

KeyFileResult PrivateKeyFromPem(std::string_view pem, PrivateKey& key, const char* passphrase) {
  key.scalar.fill(0);
  if (!HasBlock(pem, "PRIVATE KEY")) {
    return HasBlock(pem, "PUBLIC KEY") ? KeyFileResult::kPublicKey : KeyFileResult::kNotPem;
  }
  const KeyFileResult read = FromKeyRead(
      platform::P256PrivateKeyFromPem(pem, passphrase, key.scalar, key.publicKey.point));
  return read == KeyFileResult::kOk ? IdFromPoint(key.publicKey) : read;
}

}  // namespace signing
