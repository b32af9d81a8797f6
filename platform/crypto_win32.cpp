#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <new>

#include "platform/crypto.h"
#include "platform/win32/bcrypt_resources.h"

namespace platform {
namespace {

using win32::UniqueBcryptAlgorithm;
using win32::UniqueBcryptHash;
using win32::UniqueBcryptKey;

bool Succeeded(NTSTATUS status) { return status >= 0; }

constexpr ULONG kCoordinateSize = 32;

// The key blob CNG imports: its header, then X and Y, then for a private key the scalar.
struct PublicBlob {
  BCRYPT_ECCKEY_BLOB header;
  UCHAR xy[2 * kCoordinateSize];
};
struct PrivateBlob {
  BCRYPT_ECCKEY_BLOB header;
  UCHAR xy[2 * kCoordinateSize];
  UCHAR d[kCoordinateSize];
};

UniqueBcryptAlgorithm OpenEcdsa() {
  UniqueBcryptAlgorithm alg;
  if (!Succeeded(
          BCryptOpenAlgorithmProvider(alg.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    alg.reset();
  }
  return alg;
}

}  // namespace

struct Sha256::State {
  UniqueBcryptAlgorithm alg;
  UniqueBcryptHash hash;
};

Sha256::Sha256() : state_(new (std::nothrow) State) {
  // The hash object is CNG's to allocate (no buffer of ours): Windows 7 and later do.
  failed_ = !state_ ||
            !Succeeded(BCryptOpenAlgorithmProvider(state_->alg.receive(), BCRYPT_SHA256_ALGORITHM,
                                                   nullptr, 0)) ||
            !Succeeded(BCryptCreateHash(state_->alg.get(), state_->hash.receive(), nullptr, 0,
                                        nullptr, 0, 0));
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  // CNG takes 32-bit lengths.
  while (!failed_ && length > 0) {
    const ULONG piece = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
    failed_ = !Succeeded(BCryptHashData(state_->hash.get(), const_cast<UCHAR*>(bytes), piece, 0));
    bytes += piece;
    length -= piece;
  }
}

bool Sha256::Finish(Sha256Digest& digest) {
  if (failed_) return false;
  failed_ = true;  // a hash object finishes once
  return Succeeded(
      BCryptFinishHash(state_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

SignatureCheck VerifyP256(const P256Point& key, const Sha256Digest& digest,
                          const P256Signature& signature) {
  if (key[0] != 0x04) return SignatureCheck::kInvalid;
  UniqueBcryptAlgorithm alg = OpenEcdsa();
  if (!alg) return SignatureCheck::kUnavailable;
  PublicBlob blob = {};
  blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.header.cbKey = kCoordinateSize;
  std::memcpy(blob.xy, key.data() + 1, sizeof blob.xy);
  UniqueBcryptKey handle;
  // Windows refuses a point off the curve here; either way no signature verifies under it.
  if (!Succeeded(BCryptImportKeyPair(alg.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle.receive(),
                                     reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0))) {
    return SignatureCheck::kInvalid;
  }
  const NTSTATUS status = BCryptVerifySignature(
      handle.get(), nullptr, const_cast<UCHAR*>(digest.data()), static_cast<ULONG>(digest.size()),
      const_cast<UCHAR*>(signature.data()), static_cast<ULONG>(signature.size()), 0);
  return Succeeded(status) ? SignatureCheck::kValid : SignatureCheck::kInvalid;
}

bool SignP256(const P256Scalar& scalar, const P256Point& key, const Sha256Digest& digest,
              P256Signature& signature) {
  if (key[0] != 0x04) return false;
  UniqueBcryptAlgorithm alg = OpenEcdsa();
  if (!alg) return false;
  PrivateBlob blob = {};
  blob.header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
  blob.header.cbKey = kCoordinateSize;
  std::memcpy(blob.xy, key.data() + 1, sizeof blob.xy);
  std::memcpy(blob.d, scalar.data(), sizeof blob.d);
  UniqueBcryptKey handle;
  const bool imported =
      Succeeded(BCryptImportKeyPair(alg.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, handle.receive(),
                                    reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0));
  SecureZeroMemory(blob.d, sizeof blob.d);
  if (!imported) return false;
  ULONG written = 0;
  return Succeeded(BCryptSignHash(handle.get(), nullptr, const_cast<UCHAR*>(digest.data()),
                                  static_cast<ULONG>(digest.size()), signature.data(),
                                  static_cast<ULONG>(signature.size()), &written, 0)) &&
         written == signature.size();
}

}  // namespace platform
