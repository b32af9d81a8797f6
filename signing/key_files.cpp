#include "signing/key_files.h"

#include <algorithm>
#include <cstring>

namespace signing {
namespace {

using platform::P256Point;
using platform::P256Signature;

// The DER SubjectPublicKeyInfo of a P-256 key, up to its point: SEQUENCE { SEQUENCE { OID
// id-ecPublicKey, OID prime256v1 }, BIT STRING (no unused bits) }.
constexpr std::uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr std::size_t kSpkiSize = sizeof kSpkiPrefix + std::tuple_size_v<P256Point>;
// Where the algorithm identifier's contents lie in it; PKCS #8 names the key's kind with them.
constexpr std::size_t kAlgorithmOffset = 4;
constexpr std::size_t kAlgorithmSize = 19;
// OID prime256v1 as an element (SEC 1's parameters).
constexpr std::uint8_t kCurveOid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

constexpr std::size_t kCoordinateSize = 32;

// One DER element after another, each checked against what is left before it is used.
struct DerReader {
  const std::uint8_t* p = nullptr;
  std::size_t left = 0;

  bool empty() const { return left == 0; }
  bool Peek(std::uint8_t tag) const { return left > 0 && p[0] == tag; }

  // The next element, when it has tag `tag` and a definite length in its shortest form.
  bool Next(std::uint8_t tag, DerReader& content) {
    if (left < 2 || p[0] != tag) return false;
    std::size_t header = 2;
    std::size_t length = p[1];
    if (length & 0x80) {
      const std::size_t bytes = length & 0x7F;
      if (bytes == 0 || bytes > 2 || left - 2 < bytes) return false;
      length = 0;
      for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | p[2 + i];
      if (length < 0x80 || (bytes == 2 && length < 0x100)) return false;
      header += bytes;
    }
    if (length > left - header) return false;
    content.p = p + header;
    content.left = length;
    p += header + length;
    left -= header + length;
    return true;
  }

  bool Equals(const std::uint8_t* bytes, std::size_t size) const {
    return left == size && std::memcmp(p, bytes, size) == 0;
  }
};

// A positive INTEGER's value into `out`, right-aligned. Minimal encoding only, never 0.
bool UnsignedFromDer(const DerReader& integer, std::uint8_t* out, std::size_t size) {
  const std::uint8_t* p = integer.p;
  std::size_t length = integer.left;
  if (length == 0 || (p[0] & 0x80)) return false;
  if (p[0] == 0 && length > 1) {
    if (!(p[1] & 0x80)) return false;  // a zero byte that the value does not need
    ++p;
    --length;
  }
  if (length > size || std::all_of(p, p + length, [](std::uint8_t b) { return b == 0; })) {
    return false;
  }
  std::memset(out, 0, size - length);
  std::memcpy(out + (size - length), p, length);
  return true;
}

std::vector<std::uint8_t> UnsignedToDer(const std::uint8_t* value, std::size_t size) {
  std::size_t skip = 0;
  while (skip + 1 < size && value[skip] == 0) ++skip;
  std::vector<std::uint8_t> out = {0x02, 0};
  if (value[skip] & 0x80) out.push_back(0);
  out.insert(out.end(), value + skip, value + size);
  out[1] = static_cast<std::uint8_t>(out.size() - 2);
  return out;
}

struct PemBlock {
  std::string label;
  std::string_view body;
};

// Every "-----BEGIN X-----" ... "-----END X-----" block, in order; text around them ignored.
std::vector<PemBlock> PemBlocks(std::string_view text) {
  static constexpr std::string_view kBegin = "-----BEGIN ";
  static constexpr std::string_view kDashes = "-----";
  std::vector<PemBlock> blocks;
  std::size_t at = 0;
  while ((at = text.find(kBegin, at)) != std::string_view::npos) {
    const std::size_t labelStart = at + kBegin.size();
    const std::size_t labelEnd = text.find(kDashes, labelStart);
    if (labelEnd == std::string_view::npos) break;
    const std::string label(text.substr(labelStart, labelEnd - labelStart));
    const std::string end = "-----END " + label + "-----";
    const std::size_t bodyStart = labelEnd + kDashes.size();
    const std::size_t bodyEnd = text.find(end, bodyStart);
    if (bodyEnd == std::string_view::npos) break;
    blocks.push_back({label, text.substr(bodyStart, bodyEnd - bodyStart)});
    at = bodyEnd + end.size();
  }
  return blocks;
}

// A PEM body's bytes: the base64 lines without their line breaks. Header lines ("Proc-Type:")
// belong to encrypted keys only and make it fail.
bool PemBody(std::string_view body, std::vector<std::uint8_t>& der) {
  std::string text;
  for (char c : body) {
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') text += c;
  }
  return Base64Decode(text, der);
}

KeyFileResult IdFromPoint(PublicKey& key) {
  platform::Sha256 hash;
  hash.Update(kSpkiPrefix, sizeof kSpkiPrefix);
  hash.Update(key.point.data(), key.point.size());
  return hash.Finish(key.id) ? KeyFileResult::kOk : KeyFileResult::kHashUnavailable;
}

// SEC 1's ECPrivateKey: SEQUENCE { INTEGER 1, OCTET STRING scalar, [0] curve OPTIONAL,
// [1] BIT STRING point OPTIONAL }. `curveKnown`: PKCS #8 named the curve outside it.
KeyFileResult EcPrivateKey(const std::uint8_t* der, std::size_t size, bool curveKnown,
                           PrivateKey& key) {
  DerReader all{der, size};
  DerReader seq, version, scalar;
  if (!all.Next(0x30, seq) || !all.empty() || !seq.Next(0x02, version) || version.left != 1 ||
      version.p[0] != 1 || !seq.Next(0x04, scalar)) {
    return KeyFileResult::kDamaged;
  }
  // The scalar's big-endian bytes, 32 of them as OpenSSL writes it (fewer, right-aligned).
  if (scalar.left == 0 || scalar.left > key.scalar.size() ||
      std::all_of(scalar.p, scalar.p + scalar.left, [](std::uint8_t b) { return b == 0; })) {
    return KeyFileResult::kDamaged;
  }
  key.scalar.fill(0);
  std::memcpy(key.scalar.data() + (key.scalar.size() - scalar.left), scalar.p, scalar.left);
  if (seq.Peek(0xA0)) {
    DerReader curve;
    if (!seq.Next(0xA0, curve)) return KeyFileResult::kDamaged;
    if (!curve.Equals(kCurveOid, sizeof kCurveOid)) return KeyFileResult::kNotP256;
    curveKnown = true;
  }
  if (!curveKnown) return KeyFileResult::kNotP256;
  if (!seq.Peek(0xA1)) return KeyFileResult::kNoPublicPart;
  DerReader tagged, bits;
  if (!seq.Next(0xA1, tagged) || !tagged.Next(0x03, bits)) return KeyFileResult::kDamaged;
  // No unused bits, then the uncompressed point.
  if (bits.left != 1 + key.publicKey.point.size() || bits.p[0] != 0 || bits.p[1] != 0x04) {
    return KeyFileResult::kNotP256;
  }
  std::memcpy(key.publicKey.point.data(), bits.p + 1, key.publicKey.point.size());
  return IdFromPoint(key.publicKey);
}

// PKCS #8's PrivateKeyInfo: SEQUENCE { INTEGER 0 or 1, SEQUENCE { OID id-ecPublicKey,
// OID prime256v1 }, OCTET STRING ECPrivateKey, ... }.
KeyFileResult Pkcs8PrivateKey(const std::vector<std::uint8_t>& der, PrivateKey& key) {
  DerReader all{der.data(), der.size()};
  DerReader seq, version, algorithm, inner;
  if (!all.Next(0x30, seq) || !all.empty() || !seq.Next(0x02, version) || version.left != 1 ||
      version.p[0] > 1 || !seq.Next(0x30, algorithm) || !seq.Next(0x04, inner)) {
    return KeyFileResult::kDamaged;
  }
  if (!algorithm.Equals(kSpkiPrefix + kAlgorithmOffset, kAlgorithmSize)) {
    return KeyFileResult::kNotP256;
  }
  return EcPrivateKey(inner.p, inner.left, true, key);
}

}  // namespace

PrivateKey::~PrivateKey() {
  // Not left in freed memory.
  volatile std::uint8_t* p = scalar.data();
  for (std::size_t i = 0; i < scalar.size(); ++i) p[i] = 0;
}

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
      return "an encrypted private key (pkgtool reads unencrypted keys only; sign with "
             "openssl instead, see docs/update-packages.md)";
    case KeyFileResult::kNotP256:
      return "not an ECDSA key on the P-256 curve (prime256v1) with an uncompressed point";
    case KeyFileResult::kNoPublicPart:
      return "a private key without its public key (openssl pkey -in KEY -out NEW writes both)";
    case KeyFileResult::kDamaged:
      return "damaged (its PEM or DER does not decode)";
    case KeyFileResult::kHashUnavailable:
      return "its key id could not be computed (SHA-256 failed)";
  }
  return "unreadable";
}

KeyFileResult PublicKeyFromDer(const std::uint8_t* der, std::size_t size, PublicKey& key) {
  if (size != kSpkiSize || std::memcmp(der, kSpkiPrefix, sizeof kSpkiPrefix) != 0) {
    // The algorithm's own bytes tell a key of another kind from a damaged one.
    DerReader all{der, size};
    DerReader seq, algorithm;
    if (all.Next(0x30, seq) && all.empty() && seq.Next(0x30, algorithm)) {
      return KeyFileResult::kNotP256;
    }
    return KeyFileResult::kDamaged;
  }
  std::memcpy(key.point.data(), der + sizeof kSpkiPrefix, key.point.size());
  if (key.point[0] != 0x04) return KeyFileResult::kNotP256;
  return IdFromPoint(key);
}

KeyFileResult PublicKeyFromPem(std::string_view pem, PublicKey& key) {
  bool privateSeen = false;
  for (const PemBlock& block : PemBlocks(pem)) {
    if (block.label == "PUBLIC KEY") {
      std::vector<std::uint8_t> der;
      if (!PemBody(block.body, der)) return KeyFileResult::kDamaged;
      return PublicKeyFromDer(der.data(), der.size(), key);
    }
    privateSeen = privateSeen || block.label.find("PRIVATE KEY") != std::string::npos;
  }
  return privateSeen ? KeyFileResult::kPrivateKey : KeyFileResult::kNotPem;
}

KeyFileResult PrivateKeyFromPem(std::string_view pem, PrivateKey& key) {
  bool publicSeen = false;
  for (const PemBlock& block : PemBlocks(pem)) {
    const bool pkcs8 = block.label == "PRIVATE KEY";
    if (block.label == "ENCRYPTED PRIVATE KEY" ||
        ((pkcs8 || block.label == "EC PRIVATE KEY") &&
         block.body.find("ENCRYPTED") != std::string_view::npos)) {
      return KeyFileResult::kEncrypted;
    }
    if (pkcs8 || block.label == "EC PRIVATE KEY") {
      std::vector<std::uint8_t> der;
      if (!PemBody(block.body, der)) return KeyFileResult::kDamaged;
      return pkcs8 ? Pkcs8PrivateKey(der, key) : EcPrivateKey(der.data(), der.size(), false, key);
    }
    if (block.label.find("PRIVATE KEY") != std::string::npos) return KeyFileResult::kNotP256;
    publicSeen = publicSeen || block.label == "PUBLIC KEY";
  }
  return publicSeen ? KeyFileResult::kPublicKey : KeyFileResult::kNotPem;
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

namespace {
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t n = std::min<std::size_t>(3, size - i);
    std::uint32_t v = static_cast<std::uint32_t>(data[i]) << 16;
    if (n > 1) v |= static_cast<std::uint32_t>(data[i + 1]) << 8;
    if (n > 2) v |= data[i + 2];
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += n > 1 ? kBase64[(v >> 6) & 63] : '=';
    out += n > 2 ? kBase64[v & 63] : '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t padding = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4 - padding; ++j) {
      const int digit = Base64Value(text[i + j]);
      if (digit < 0) return false;
      v |= static_cast<std::uint32_t>(digit) << (18 - 6 * j);
    }
    // The bits the padding leaves unused must be zero, or two texts would mean one value.
    if ((padding == 1 && (v & 0xFF)) || (padding == 2 && (v & 0xFFFF))) return false;
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return true;
}

bool SignatureFromDer(const std::uint8_t* der, std::size_t size, P256Signature& out) {
  DerReader all{der, size};
  DerReader seq, r, s;
  return all.Next(0x30, seq) && all.empty() && seq.Next(0x02, r) && seq.Next(0x02, s) &&
         seq.empty() && UnsignedFromDer(r, out.data(), kCoordinateSize) &&
         UnsignedFromDer(s, out.data() + kCoordinateSize, kCoordinateSize);
}

std::vector<std::uint8_t> SignatureToDer(const P256Signature& signature) {
  const std::vector<std::uint8_t> r = UnsignedToDer(signature.data(), kCoordinateSize);
  const std::vector<std::uint8_t> s =
      UnsignedToDer(signature.data() + kCoordinateSize, kCoordinateSize);
  std::vector<std::uint8_t> out = {0x30, static_cast<std::uint8_t>(r.size() + s.size())};
  out.insert(out.end(), r.begin(), r.end());
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

}  // namespace signing
