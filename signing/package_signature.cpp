#include "signing/package_signature.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace signing {
namespace {

using platform::Sha256Digest;

// Large reads: the package may hold hundreds of megabytes, and the user waits for the check.
constexpr std::size_t kHashPiece = 1 << 20;

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// The comment's meaning, by the layout in the header.
SignatureState ParseComment(std::string_view comment, CarriedSignature& out) {
  if (comment.empty()) return SignatureState::kUnsigned;
  if (comment.substr(0, kSignatureMark.size()) != kSignatureMark) {
    return SignatureState::kNotASignature;
  }
  const std::string_view version = comment.substr(kSignatureMark.size(), 3);
  if (version != "v1 ") return SignatureState::kUnknownLayout;
  if (comment.substr(0, kSignatureLayout.size()) != kSignatureLayout) {
    return SignatureState::kDamaged;
  }
  std::string_view rest = comment.substr(kSignatureLayout.size());
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

SignatureState VerifyPackage(zip::ZipSource& source, const PublicKey& key) {
  const CarriedSignature carried = ReadSignature(source);
  if (carried.state != SignatureState::kPresent) return carried.state;
  if (carried.keyId != key.id) return SignatureState::kOtherKey;
  Sha256Digest digest;
  SignatureState failure = SignatureState::kUnchecked;
  if (!SignedDigest(source, carried.end, digest, &failure)) return failure;
  switch (platform::VerifyP256(key.point, digest, carried.signature)) {
    case platform::SignatureCheck::kValid:
      return SignatureState::kValid;
    case platform::SignatureCheck::kInvalid:
      return SignatureState::kMismatch;
    case platform::SignatureCheck::kUnavailable:
      break;
  }
  return SignatureState::kUnchecked;
}

std::string SignatureComment(const Sha256Digest& keyId, const platform::P256Signature& signature) {
  const std::vector<std::uint8_t> der = SignatureToDer(signature);
  std::string comment(kSignatureLayout);
  comment += HexKeyId(keyId);
  comment += kSignatureField;
  comment += Base64Encode(der.data(), der.size());
  return comment;
}

SignatureState CheckProductSignature(zip::ZipSource* source, const ProductKeyBytes& productKey) {
  if (productKey.size == 0) return SignatureState::kValid;
  if (!source) return SignatureState::kUnreadable;
  PublicKey key;
  // The build checked the key; one that does not read now decides nothing.
  if (PublicKeyFromDer(productKey.der, productKey.size, key) != KeyFileResult::kOk) {
    return SignatureState::kUnchecked;
  }
  return VerifyPackage(*source, key);
}

}  // namespace signing
