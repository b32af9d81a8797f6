#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "platform/win32/bcrypt_resources.h"
#include "platform/win32/resources.h"

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

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// CNG's integers are little-endian, the signature's bytes big-endian.
void Reversed(const UCHAR* from, ULONG size, UCHAR* to) {
  for (ULONG i = 0; i < size; ++i) to[i] = from[size - 1 - i];
}

// `type`'s DER form of `value` by the system's encoder.
bool Encode(LPCSTR type, const void* value, std::vector<std::uint8_t>& der) {
  DWORD size = 0;
  if (!CryptEncodeObjectEx(kEncoding, type, value, 0, nullptr, nullptr, &size)) return false;
  der.resize(size);
  if (!CryptEncodeObjectEx(kEncoding, type, value, 0, nullptr, der.data(), &size)) return false;
  der.resize(size);
  return true;
}

}  // namespace

bool EcdsaSignatureFromDer(const std::uint8_t* der, std::size_t size, P256Signature& out) {
  if (size == 0 || size > 0xFFFF) return false;
  win32::UniqueLocalMem decoded;
  DWORD decodedSize = 0;
  if (!CryptDecodeObjectEx(kEncoding, X509_ECC_SIGNATURE, der, static_cast<DWORD>(size),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, decoded.receive(), &decodedSize)) {
    return false;
  }
  const auto* sig = static_cast<const CERT_ECC_SIGNATURE*>(decoded.get());
  P256Signature value{};
  const CRYPT_UINT_BLOB* parts[] = {&sig->r, &sig->s};
  for (int i = 0; i < 2; ++i) {
    // The decoder keeps the zero byte in front of a value whose top bit is set.
    DWORD length = parts[i]->cbData;
    while (length > 0 && parts[i]->pbData[length - 1] == 0) --length;
    if (length == 0 || length > kCoordinateSize) return false;
    for (DWORD b = 0; b < length; ++b) {
      value[(i + 1) * kCoordinateSize - 1 - b] = parts[i]->pbData[b];
    }
  }
  // The decoder takes some BER; only the DER form written back is one text per value.
  const std::vector<std::uint8_t> written = EcdsaSignatureToDer(value);
  if (written.size() != size || std::memcmp(written.data(), der, size) != 0) return false;
  out = value;
  return true;
}

std::vector<std::uint8_t> EcdsaSignatureToDer(const P256Signature& signature) {
  // X509_ECC_SIGNATURE as SEQUENCE OF two unsigned integers: the same bytes, and an encoder
  // that every system of ours has (Wine 8 decodes X509_ECC_SIGNATURE but does not encode it).
  std::vector<std::uint8_t> integers[2];
  CRYPT_DER_BLOB elements[2];
  for (int i = 0; i < 2; ++i) {
    UCHAR little[kCoordinateSize];
    Reversed(signature.data() + i * kCoordinateSize, kCoordinateSize, little);
    CRYPT_UINT_BLOB value = {kCoordinateSize, little};
    if (!Encode(X509_MULTI_BYTE_UINT, &value, integers[i])) return {};
    elements[i] = {static_cast<DWORD>(integers[i].size()), integers[i].data()};
  }
  CRYPT_SEQUENCE_OF_ANY sequence = {2, elements};
  std::vector<std::uint8_t> der;
  if (!Encode(X509_SEQUENCE_OF_ANY, &sequence, der)) return {};
  return der;
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 0x3FFFFFFF) return {};
  DWORD length = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(size), flags, nullptr, &length)) return {};
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(size), flags, text.data(), &length)) {
    return {};
  }
  text.resize(length);
  return text;
}

bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() % 4 != 0 || text.size() > 0x7FFFFFFF) return false;
  DWORD size = static_cast<DWORD>(text.size() / 4 * 3);
  out.resize(size);
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            out.data(), &size, nullptr, nullptr)) {
    out.clear();
    return false;
  }
  out.resize(size);
  // The decoder skips blanks and line breaks, and may take padding loosely.
  return Base64Encode(out.data(), out.size()) == text;
}

void WipeBytes(void* data, std::size_t size) { SecureZeroMemory(data, size); }

}  // namespace platform
