// Key files on Windows: crypt32 decodes the PEM text and the DER structures, CNG checks the
// point. Apart from crypto_win32.cpp so that a program that only checks signatures (the
// launcher) links none of it.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "platform/win32/bcrypt_resources.h"
#include "platform/win32/resources.h"

namespace platform {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr ULONG kCoordinateSize = 32;

// Decodes `der` as `type` into `out`, the system's structure with its pointers into `out`;
// `out` is wiped when it goes, as the structures of private keys must be.
bool Decode(LPCSTR type, const BYTE* der, std::size_t size, WipedBytes& out) {
  if (size == 0 || size > 0xFFFF) return false;
  DWORD needed = 0;
  if (!CryptDecodeObjectEx(kEncoding, type, der, static_cast<DWORD>(size), 0, nullptr, nullptr,
                           &needed)) {
    return false;
  }
  out.Reset(needed);
  return CryptDecodeObjectEx(kEncoding, type, der, static_cast<DWORD>(size), 0, nullptr, out.data(),
                             &needed) != FALSE;
}

template <typename T>
const T& As(WipedBytes& bytes) {
  return *reinterpret_cast<const T*>(bytes.data());
}

// The elements of a DER SEQUENCE, each as its whole encoding.
bool Elements(const BYTE* der, std::size_t size, WipedBytes& out,
              const CRYPT_SEQUENCE_OF_ANY** sequence) {
  if (!Decode(X509_SEQUENCE_OF_ANY, der, size, out)) return false;
  *sequence = &As<CRYPT_SEQUENCE_OF_ANY>(out);
  return true;
}

bool IsOid(const CRYPT_DER_BLOB& element, const char* oid) {
  WipedBytes decoded;
  return Decode(X509_OBJECT_IDENTIFIER, element.pbData, element.cbData, decoded) &&
         std::strcmp(As<LPSTR>(decoded), oid) == 0;
}

// The contents of an explicitly tagged element ([0], [1], ...) of a short length, as SEC 1's
// optional fields are.
bool TaggedContents(const CRYPT_DER_BLOB& element, BYTE tag, CRYPT_DER_BLOB& contents) {
  if (element.cbData < 2 || element.pbData[0] != tag || element.pbData[1] != element.cbData - 2) {
    return false;
  }
  contents = {element.cbData - 2, element.pbData + 2};
  return true;
}

// The point of a BIT STRING, when it is an uncompressed P-256 one.
KeyRead PointFromBits(const CRYPT_BIT_BLOB& bits, P256Point& point) {
  if (bits.cUnusedBits != 0 || bits.cbData != point.size() || bits.pbData[0] != 0x04) {
    return KeyRead::kOtherKind;
  }
  std::memcpy(point.data(), bits.pbData, point.size());
  return KeyRead::kOk;
}

// CNG refuses a point off the curve when it imports it (the all-zero one among them).
KeyRead CheckedPoint(const P256Point& point) {
  win32::UniqueBcryptAlgorithm alg;
  if (BCryptOpenAlgorithmProvider(alg.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
    return KeyRead::kUnavailable;
  }
  struct {
    BCRYPT_ECCKEY_BLOB header;
    UCHAR xy[2 * kCoordinateSize];
  } blob = {};
  blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.header.cbKey = kCoordinateSize;
  std::memcpy(blob.xy, point.data() + 1, sizeof blob.xy);
  win32::UniqueBcryptKey key;
  return BCryptImportKeyPair(alg.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.receive(),
                             reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) >= 0
             ? KeyRead::kOk
             : KeyRead::kOffCurve;
}

// SEC 1's ECPrivateKey: SEQUENCE { INTEGER 1, OCTET STRING scalar, [0] curve OPTIONAL,
// [1] BIT STRING point OPTIONAL }. `curveKnown`: PKCS #8 named the curve outside it.
// Through crypt32's element decoders: Wine 8 has no X509_ECC_PRIVATE_KEY decoder.
KeyRead EcPrivateKey(const BYTE* der, std::size_t size, bool curveKnown, P256Scalar& scalar,
                     P256Point& point) {
  WipedBytes sequenceBytes, version, secret;
  const CRYPT_SEQUENCE_OF_ANY* fields = nullptr;
  if (!Elements(der, size, sequenceBytes, &fields) || fields->cValue < 2 ||
      !Decode(X509_INTEGER, fields->rgValue[0].pbData, fields->rgValue[0].cbData, version) ||
      As<int>(version) != 1 ||
      !Decode(X509_OCTET_STRING, fields->rgValue[1].pbData, fields->rgValue[1].cbData, secret)) {
    return KeyRead::kDamaged;
  }
  const CRYPT_DATA_BLOB& d = As<CRYPT_DATA_BLOB>(secret);
  if (d.cbData == 0 || d.cbData > scalar.size()) return KeyRead::kDamaged;
  bool pointSeen = false;
  for (DWORD i = 2; i < fields->cValue; ++i) {
    CRYPT_DER_BLOB contents;
    if (TaggedContents(fields->rgValue[i], 0xA0, contents)) {
      if (!IsOid(contents, szOID_ECC_CURVE_P256)) return KeyRead::kOtherKind;
      curveKnown = true;
    } else if (TaggedContents(fields->rgValue[i], 0xA1, contents)) {
      WipedBytes bits;
      if (!Decode(X509_BITS, contents.pbData, contents.cbData, bits)) return KeyRead::kDamaged;
      const KeyRead read = PointFromBits(As<CRYPT_BIT_BLOB>(bits), point);
      if (read != KeyRead::kOk) return read;
      pointSeen = true;
    } else {
      return KeyRead::kDamaged;
    }
  }
  if (!curveKnown) return KeyRead::kOtherKind;
  if (!pointSeen) return KeyRead::kNoPublicPart;
  std::memcpy(scalar.data() + (scalar.size() - d.cbData), d.pbData, d.cbData);
  return KeyRead::kOk;
}

// PKCS #8's PrivateKeyInfo: SEQUENCE { INTEGER 0 or 1, SEQUENCE { OID id-ecPublicKey, OID
// curve }, OCTET STRING ECPrivateKey, ... }. Wine 8 has no PKCS_PRIVATE_KEY_INFO decoder.
KeyRead Pkcs8PrivateKey(const BYTE* der, std::size_t size, P256Scalar& scalar, P256Point& point) {
  WipedBytes sequenceBytes, algorithmBytes, version, inner;
  const CRYPT_SEQUENCE_OF_ANY* fields = nullptr;
  const CRYPT_SEQUENCE_OF_ANY* algorithm = nullptr;
  if (!Elements(der, size, sequenceBytes, &fields) || fields->cValue < 3 ||
      !Decode(X509_INTEGER, fields->rgValue[0].pbData, fields->rgValue[0].cbData, version) ||
      As<int>(version) < 0 || As<int>(version) > 1 ||
      !Elements(fields->rgValue[1].pbData, fields->rgValue[1].cbData, algorithmBytes, &algorithm) ||
      algorithm->cValue < 1) {
    return KeyRead::kDamaged;
  }
  if (algorithm->cValue != 2 || !IsOid(algorithm->rgValue[0], szOID_ECC_PUBLIC_KEY) ||
      !IsOid(algorithm->rgValue[1], szOID_ECC_CURVE_P256)) {
    return KeyRead::kOtherKind;
  }
  if (!Decode(X509_OCTET_STRING, fields->rgValue[2].pbData, fields->rgValue[2].cbData, inner)) {
    return KeyRead::kDamaged;
  }
  const CRYPT_DATA_BLOB& key = As<CRYPT_DATA_BLOB>(inner);
  return EcPrivateKey(key.pbData, key.cbData, true, scalar, point);
}

struct PemBlock {
  std::string_view label;
  std::string_view text;  // from "-----BEGIN" to the end of its "-----END ...-----" line
};

// Where each PEM block lies; crypt32 decodes them, but finds only the first one in a text.
std::vector<PemBlock> PemBlocks(std::string_view text) {
  static constexpr std::string_view kBegin = "-----BEGIN ";
  static constexpr std::string_view kDashes = "-----";
  std::vector<PemBlock> blocks;
  std::size_t at = 0;
  while ((at = text.find(kBegin, at)) != std::string_view::npos) {
    const std::size_t labelStart = at + kBegin.size();
    const std::size_t labelEnd = text.find(kDashes, labelStart);
    if (labelEnd == std::string_view::npos) break;
    const std::string end =
        "-----END " + std::string(text.substr(labelStart, labelEnd - labelStart));
    const std::size_t endAt = text.find(end, labelEnd);
    if (endAt == std::string_view::npos) break;
    const std::size_t after = endAt + end.size() + kDashes.size();
    blocks.push_back({text.substr(labelStart, labelEnd - labelStart), text.substr(at, after - at)});
    at = after;
  }
  return blocks;
}

// The one block whose label `matches`, decoded.
template <typename Matches>
KeyRead PemBytes(std::string_view pem, Matches matches, PemBlock& found, WipedBytes& der) {
  int count = 0;
  for (const PemBlock& block : PemBlocks(pem)) {
    if (!matches(block.label)) continue;
    ++count;
    found = block;
  }
  if (count != 1) return count == 0 ? KeyRead::kNoKey : KeyRead::kSeveral;
  if (found.text.size() > 0xFFFF) return KeyRead::kDamaged;
  DWORD size = 0;
  const auto length = static_cast<DWORD>(found.text.size());
  if (!CryptStringToBinaryA(found.text.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr)) {
    return KeyRead::kDamaged;
  }
  der.Reset(size);
  if (!CryptStringToBinaryA(found.text.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                            nullptr, nullptr)) {
    return KeyRead::kDamaged;
  }
  der.Shrink(size);
  return KeyRead::kOk;
}

}  // namespace

// crypt32 reads key files but decrypts none.
const bool kDecryptsKeyFiles = false;

KeyRead P256PublicKeyFromDer(const std::uint8_t* der, std::size_t size, P256Point& point) {
  WipedBytes decoded, curve;
  if (!Decode(X509_PUBLIC_KEY_INFO, der, size, decoded)) return KeyRead::kDamaged;
  const CERT_PUBLIC_KEY_INFO& info = As<CERT_PUBLIC_KEY_INFO>(decoded);
  if (std::strcmp(info.Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
      !IsOid(info.Algorithm.Parameters, szOID_ECC_CURVE_P256)) {
    return KeyRead::kOtherKind;
  }
  // The decoder ignores bytes after the structure and takes some BER: one text per key.
  std::vector<std::uint8_t> written(size);
  DWORD writtenSize = static_cast<DWORD>(size);
  if (!CryptEncodeObjectEx(kEncoding, X509_PUBLIC_KEY_INFO, &info, 0, nullptr, written.data(),
                           &writtenSize) ||
      writtenSize != size || std::memcmp(written.data(), der, size) != 0) {
    return KeyRead::kDamaged;
  }
  const KeyRead read = PointFromBits(info.PublicKey, point);
  return read == KeyRead::kOk ? CheckedPoint(point) : read;
}

KeyRead P256PublicKeyFromPem(std::string_view pem, P256Point& point) {
  PemBlock block;
  WipedBytes der;
  const KeyRead read = PemBytes(
      pem, [](std::string_view label) { return label == "PUBLIC KEY"; }, block, der);
  return read == KeyRead::kOk ? P256PublicKeyFromDer(der.data(), der.size(), point) : read;
}

KeyRead P256PrivateKeyFromPem(std::string_view pem, const char*, P256Scalar& scalar,
                              P256Point& point) {
  scalar.fill(0);
  constexpr std::string_view kSuffix = "PRIVATE KEY";
  PemBlock block;
  WipedBytes der;
  const auto isPrivate = [kSuffix](std::string_view label) {
    return label.size() >= kSuffix.size() && label.substr(label.size() - kSuffix.size()) == kSuffix;
  };
  // crypt32 decrypts no key file: the header lines of an encrypted one do not even decode.
  for (const PemBlock& each : PemBlocks(pem)) {
    if (isPrivate(each.label) && (each.label == "ENCRYPTED PRIVATE KEY" ||
                                  each.text.find("ENCRYPTED") != std::string_view::npos)) {
      return KeyRead::kEncrypted;
    }
  }
  KeyRead read = PemBytes(pem, isPrivate, block, der);
  if (read != KeyRead::kOk) return read;
  if (block.label == "PRIVATE KEY") {
    read = Pkcs8PrivateKey(der.data(), der.size(), scalar, point);
  } else if (block.label == "EC PRIVATE KEY") {
    read = EcPrivateKey(der.data(), der.size(), false, scalar, point);
  } else {
    read = KeyRead::kOtherKind;
  }
  if (read != KeyRead::kOk) scalar.fill(0);
  return read;
}

}  // namespace platform
