#include "signing/package_signature.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace signing {
namespace {

using platform::Sha256Digest;

// Large reads: the package may hold hundreds of megabytes, and the user waits for the check.
constexpr std::size_t kHashPiece = 1 << 20;

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

bool IsProductChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// Takes `field` and the value behind it up to the next blank from the front of `rest`.
bool TakeField(std::string_view& rest, std::string_view field, std::string_view& value) {
  if (rest.substr(0, field.size()) != field) return false;
  rest.remove_prefix(field.size());
  value = rest.substr(0, rest.find(' '));
  rest.remove_prefix(value.size());
  return true;
}

// The key id and signature that end both layouts: "<KEY ID> sig=<SIGNATURE>".
SignatureState ParseKeyAndSignature(std::string_view rest, CarriedSignature& out) {
  constexpr std::size_t kHexDigits = 2 * std::tuple_size_v<Sha256Digest>;
  if (rest.size() < kHexDigits ||
      !std::all_of(rest.begin(), rest.begin() + kHexDigits, IsLowerHex)) {
    return SignatureState::kDamaged;
  }
  for (std::size_t i = 0; i < out.keyId.size(); ++i) {
    out.keyId[i] =
        static_cast<std::uint8_t>(HexValue(rest[2 * i]) * 16 + HexValue(rest[2 * i + 1]));
  }
  rest.remove_prefix(kHexDigits);
  if (rest.substr(0, kSignatureField.size()) != kSignatureField) return SignatureState::kDamaged;
  rest.remove_prefix(kSignatureField.size());
  std::vector<std::uint8_t> der;
  if (!Base64Decode(rest, der) || !SignatureFromDer(der.data(), der.size(), out.signature)) {
    return SignatureState::kDamaged;
  }
  return SignatureState::kPresent;
}

// "<PRODUCT> sequence=<N> key=" of a v2 comment, behind its layout's words.
bool ParseRelease(std::string_view& rest, PackageRelease& release) {
  const std::string_view product = rest.substr(0, rest.find(' '));
  rest.remove_prefix(product.size());
  std::string_view sequence;
  constexpr std::string_view kKeyField = " key=";
  if (!IsProductName(product) || !TakeField(rest, " sequence=", sequence) ||
      !ParseSequence(sequence, release.sequence) || rest.substr(0, kKeyField.size()) != kKeyField) {
    return false;
  }
  rest.remove_prefix(kKeyField.size());
  release.product.assign(product);
  return true;
}

// The comment's meaning, by the layouts in the header.
SignatureState ParseComment(std::string_view comment, CarriedSignature& out) {
  if (comment.empty()) return SignatureState::kUnsigned;
  if (comment.substr(0, kSignatureMark.size()) != kSignatureMark) {
    return SignatureState::kNotASignature;
  }
  const std::string_view version = comment.substr(kSignatureMark.size(), 3);
  if (version == "v1 ") {
    if (comment.substr(0, kSignatureLayout.size()) != kSignatureLayout) {
      return SignatureState::kDamaged;
    }
    return ParseKeyAndSignature(comment.substr(kSignatureLayout.size()), out);
  }
  if (version != "v2 ") return SignatureState::kUnknownLayout;
  if (comment.substr(0, kReleaseLayout.size()) != kReleaseLayout) return SignatureState::kDamaged;
  std::string_view rest = comment.substr(kReleaseLayout.size());
  if (!ParseRelease(rest, out.release)) {
    out.release = PackageRelease{};
    return SignatureState::kDamaged;
  }
  return ParseKeyAndSignature(rest, out);
}

}  // namespace

const char* DescribeSignatureState(SignatureState state) {
  switch (state) {
    case SignatureState::kValid:
      return "signed by this key";
    case SignatureState::kPresent:
      return "signed";
    case SignatureState::kUnsigned:
      return "not signed (the archive has no comment)";
    case SignatureState::kNotASignature:
      return "not signed (the archive's comment is not a signature)";
    case SignatureState::kUnknownLayout:
      return "signed in a layout this pkgtool does not read";
    case SignatureState::kDamaged:
      return "damaged signature (the comment does not follow the signature layout)";
    case SignatureState::kCommentMisfit:
      return "damaged signature (the archive's comment does not end where the file does)";
    case SignatureState::kOtherKey:
      return "signed by another key";
    case SignatureState::kOtherProduct:
      return "signed by this key for another product";
    case SignatureState::kMismatch:
      return "the signature does not match (the package was changed after signing)";
    case SignatureState::kNotAnArchive:
      return "not a zip archive";
    case SignatureState::kUnreadable:
      return "cannot be read";
    case SignatureState::kUnchecked:
      return "the signature could not be checked (SHA-256 or ECDSA failed)";
  }
  return "unknown";
}

bool IsProductName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxProductName &&
         std::all_of(name.begin(), name.end(), IsProductChar);
}

bool ParseSequence(std::string_view text, std::uint64_t& sequence) {
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  if (text.empty() || text[0] == '0') return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  sequence = value;
  return true;
}

std::string ReleaseLine(const PackageRelease& release, const Sha256Digest& archive) {
  return "update-package v2 product=" + release.product +
         " sequence=" + std::to_string(release.sequence) + " sha256=" + HexKeyId(archive);
}

bool ReleaseDigest(const PackageRelease& release, const Sha256Digest& archive,
                   Sha256Digest& digest) {
  if (!release.numbered()) {
    digest = archive;
    return true;
  }
  const std::string line = ReleaseLine(release, archive);
  platform::Sha256 hash;
  hash.Update(line.data(), line.size());
  return hash.Finish(digest);
}

CarriedSignature ReadSignature(zip::ZipSource& source) {
  CarriedSignature out;
  const int found = zip::FindEndRecord(source, out.end);
  if (found != zip::ZipOk) {
    out.state = source.readError() ? SignatureState::kUnreadable : SignatureState::kNotAnArchive;
    return out;
  }
  // The comment must end exactly at the end of the file: bytes behind it are not signed,
  // and a reader might take them for something else.
  const std::uint64_t commentStart = out.end.position + zip::kEndRecordSize;
  if (commentStart > source.size() || source.size() - commentStart != out.end.commentLength) {
    out.state = SignatureState::kCommentMisfit;
    return out;
  }
  std::string comment(out.end.commentLength, '\0');
  if (!source.ReadAt(commentStart, comment.data(), comment.size(), zip::ZipSource::kDataWindow)) {
    out.state = SignatureState::kUnreadable;
    return out;
  }
  out.state = ParseComment(comment, out);
  return out;
}

bool SignedDigest(zip::ZipSource& source, const zip::EndRecordPlace& end, Sha256Digest& digest,
                  SignatureState* failure) {
  auto fail = [failure](SignatureState why) {
    if (failure) *failure = why;
    return false;
  };
  const std::uint64_t lengthField = end.position + zip::kEndRecordSize - 2;
  if (lengthField > source.size()) return fail(SignatureState::kUnreadable);
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kHashPiece]);
  if (!buffer) return fail(SignatureState::kUnchecked);
  platform::Sha256 hash;
  for (std::uint64_t offset = 0; offset < lengthField;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(kHashPiece, lengthField - offset));
    if (!source.ReadAt(offset, buffer.get(), piece, zip::ZipSource::kDataWindow)) {
      return fail(SignatureState::kUnreadable);
    }
    hash.Update(buffer.get(), piece);
    offset += piece;
  }
  const std::uint8_t zeroLength[2] = {0, 0};
  hash.Update(zeroLength, sizeof zeroLength);
  if (!hash.Finish(digest)) return fail(SignatureState::kUnchecked);
  return true;
}

SignatureState VerifyPackage(zip::ZipSource& source, const PublicKey& key,
                             PackageRelease* release) {
  const CarriedSignature carried = ReadSignature(source);
  if (carried.state != SignatureState::kPresent) return carried.state;
  if (carried.keyId != key.id) return SignatureState::kOtherKey;
  Sha256Digest archive;
  SignatureState failure = SignatureState::kUnchecked;
  if (!SignedDigest(source, carried.end, archive, &failure)) return failure;
  Sha256Digest digest;
  if (!ReleaseDigest(carried.release, archive, digest)) return SignatureState::kUnchecked;
  switch (platform::VerifyP256(key.point, digest, carried.signature)) {
    case platform::SignatureCheck::kValid:
      if (release) *release = carried.release;
      return SignatureState::kValid;
    case platform::SignatureCheck::kInvalid:
      return SignatureState::kMismatch;
    case platform::SignatureCheck::kUnavailable:
      break;
  }
  return SignatureState::kUnchecked;
}

std::string SignatureComment(const Sha256Digest& keyId, const platform::P256Signature& signature,
                             const PackageRelease& release) {
  const std::vector<std::uint8_t> der = SignatureToDer(signature);
  std::string comment;
  if (release.numbered()) {
    comment = std::string(kReleaseLayout) + release.product +
              " sequence=" + std::to_string(release.sequence) + " key=";
  } else {
    comment = kSignatureLayout;
  }
  comment += HexKeyId(keyId);
  comment += kSignatureField;
  comment += Base64Encode(der.data(), der.size());
  return comment;
}

SignatureState CheckProductSignature(zip::ZipSource* source, const PublicKey& key,
                                     std::string_view product, PackageRelease& release) {
  release = PackageRelease{};
  if (!source) return SignatureState::kUnreadable;
  const SignatureState state = VerifyPackage(*source, key, &release);
  // Unnumbered packages name no product: they were made before products were named, and the
  // release order keeps them behind every numbered one.
  if (state == SignatureState::kValid && release.numbered() && release.product != product) {
    return SignatureState::kOtherProduct;
  }
  return state;
}

SignatureState CheckProductSignature(zip::ZipSource* source, const ProductKeyBytes& productKey,
                                     PackageRelease* release) {
  if (productKey.size == 0) return SignatureState::kValid;
  if (!source) return SignatureState::kUnreadable;
  PublicKey key;
  // The build checked the key; one that does not read now decides nothing.
  if (PublicKeyFromDer(productKey.der, productKey.size, key) != KeyFileResult::kOk) {
    return SignatureState::kUnchecked;
  }
  PackageRelease said;
  const SignatureState state = CheckProductSignature(source, key, productKey.product, said);
  if (release) *release = std::move(said);
  return state;
}

}  // namespace signing
