// The signature an update package carries in its zip archive comment, so that the package is
// still one file and readers that ignore comments are unaffected.
//
// The archive digest: SHA-256 over the archive's bytes up to its end record's comment-length
// field, then that field as two zero bytes; the comment itself is left out. Signing therefore
// never changes the archive's bytes, and an archive written without a comment is signed as it
// is.
//
// The comment, printable ASCII only and nothing after it, in one of two layouts:
//
//   update-signature v1 ecdsa-p256-sha256 key=<KEY ID> sig=<SIGNATURE>
//   update-signature v2 ecdsa-p256-sha256 product=<PRODUCT> sequence=<N> key=<KEY ID> ...
//       ... sig=<SIGNATURE>  (one line, one blank before "sig=")
//
// v1 signs the archive digest itself (ECDSA over P-256 on it). v2 signs the release line
//
//   update-package v2 product=<PRODUCT> sequence=<N> sha256=<DIGEST>
//
// (no line break; DIGEST the archive digest as 64 lower-case hex digits): the signature is over
// SHA-256 of that line. The product and the release's number are thus bound to the archive's
// hash, so no one can replay an older signed package as if it were newer, or one product's
// package into another product. They live in the signed line rather than in a reserved item of
// the archive: an item would change what the zip tool wrote, every reader would see an extra
// item that the install must skip, and reading the number would need the archive scanned. A
// pipeline still signs with OpenSSL alone (docs/update-packages.md).
//
// PRODUCT: 1 to 64 characters of A-Z a-z 0-9 . _ -; N: decimal, 1 to 18446744073709551615, no
// leading zero and no sign, one text per number; KEY ID: the 64 lower-case hex digits of the
// SHA-256 of the signing key's DER SubjectPublicKeyInfo; SIGNATURE: base64 (with padding) of
// the signature's DER form. A comment that begins "update-signature " is one of ours; its next
// word is the layout version. A v1 package is unnumbered: it counts as release 0, older than
// every numbered one. Text-only comments cannot hold an end-record signature, so the archive's
// end record is the same with the comment as without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/crypto.h"
#include "signing/key_files.h"
#include "zip/zip_reader.h"

namespace signing {

inline constexpr std::string_view kSignatureMark = "update-signature ";
inline constexpr std::string_view kSignatureLayout = "update-signature v1 ecdsa-p256-sha256 key=";
inline constexpr std::string_view kReleaseLayout = "update-signature v2 ecdsa-p256-sha256 product=";
inline constexpr std::string_view kSignatureField = " sig=";
// The longest product name a v2 signature carries.
inline constexpr std::size_t kMaxProductName = 64;

enum class SignatureState {
  kValid,          // by the key asked about, over exactly these bytes
  kPresent,        // a signature in this layout, not checked against any key (ReadSignature)
  kUnsigned,       // no archive comment
  kNotASignature,  // an archive comment of another kind
  kUnknownLayout,  // marked as a signature, in a layout version this program does not read
  kDamaged,        // marked as a signature, but it does not follow the layout
  kCommentMisfit,  // the comment does not end where the file does: bytes after it, or cut short
  kOtherKey,       // a signature by another key
  kOtherProduct,   // a valid signature by the key asked about, for another product
  kMismatch,       // names the key, but is no signature by it over these bytes
  kNotAnArchive,   // no end record
  kUnreadable,     // the package could not be opened or read
  kUnchecked,      // the system's cryptography failed: nothing was decided
};

// What the state means, for pkgtool's reports.
const char* DescribeSignatureState(SignatureState state);

// What a v2 signature says of the package beside its key: the product it is for and its
// place in that product's order of releases. A v1 signature says neither: unnumbered.
struct PackageRelease {
  std::string product;         // empty: unnumbered
  std::uint64_t sequence = 0;  // 0: unnumbered; 1 and up for a v2 signature
  bool numbered() const { return sequence != 0; }
};

// Whether `name` may be a product's name in a v2 signature.
bool IsProductName(std::string_view name);
// A release number as a v2 signature, pkgtool and the install's record write it: decimal, 1 to
// 2^64 - 1, no leading zero, no sign, nothing else. False for any other text.
bool ParseSequence(std::string_view text, std::uint64_t& sequence);

struct CarriedSignature {
  SignatureState state = SignatureState::kUnreadable;
  zip::EndRecordPlace end;  // where the end record lies; unset for kNotAnArchive, kUnreadable
  platform::Sha256Digest keyId{};       // kPresent only
  platform::P256Signature signature{};  // kPresent only
  PackageRelease release;               // kPresent only; unnumbered for v1
};

// What the archive in `source` carries: kPresent, or why it carries no signature to check
// (kUnsigned, kNotASignature, kUnknownLayout, kDamaged, kCommentMisfit, kNotAnArchive,
// kUnreadable).
CarriedSignature ReadSignature(zip::ZipSource& source);

// The digest a signature covers, for the end record at `end`, read in large pieces. False
// with `*failure` kUnreadable when a read failed, kUnchecked when the hash did.
bool SignedDigest(zip::ZipSource& source, const zip::EndRecordPlace& end,
                  platform::Sha256Digest& digest, SignatureState* failure);

// The digest a signature for `release` covers, given the archive digest `archive`: the
// archive digest itself for an unnumbered release (v1), else SHA-256 of the release line (v2).
// False when the hash failed.
bool ReleaseDigest(const PackageRelease& release, const platform::Sha256Digest& archive,
                   platform::Sha256Digest& digest);
// The release line a v2 signature signs (no line break).
std::string ReleaseLine(const PackageRelease& release, const platform::Sha256Digest& archive);

// Checks what the archive in `source` carries against `key`: kValid, or why not. `release`
// (may be null) receives what the signature says of the release when it is valid.
SignatureState VerifyPackage(zip::ZipSource& source, const PublicKey& key,
                             PackageRelease* release = nullptr);

// The archive comment that carries `signature` by the key `keyId` for `release`: v1 when the
// release is unnumbered, v2 otherwise.
std::string SignatureComment(const platform::Sha256Digest& keyId,
                             const platform::P256Signature& signature,
                             const PackageRelease& release = {});

// The product's key and name as a program carries them (signing/product_key.h).
struct ProductKeyBytes {
  const std::uint8_t* der = nullptr;  // DER SubjectPublicKeyInfo
  std::size_t size = 0;               // 0: the program has no key
  std::string_view product;           // the product numbered packages must be for
};

// The launcher's signature gate before an install, by `key` for `product`: kValid when the
// package in `source` is signed by the key and is unnumbered or for that product (a numbered
// package for another is kOtherProduct); `source` null (the package did not open) is
// kUnreadable. `release` receives what the signature says (also for kOtherProduct).
SignatureState CheckProductSignature(zip::ZipSource* source, const PublicKey& key,
                                     std::string_view product, PackageRelease& release);
// The same with the key as the program carries it: kValid, and nothing in `release`, when the
// program has none (every package installs, as before keys existed).
SignatureState CheckProductSignature(zip::ZipSource* source, const ProductKeyBytes& productKey,
                                     PackageRelease* release = nullptr);

// Whether the launcher keeps a package it refused for the next launch: only when nothing was
// decided about it.
inline bool KeepsRefusedPackage(SignatureState state) {
  // A package that could not be read now (in use, a read that failed) is the machine's fault,
  // as is a check the system could not make: worth another try.
  return state == SignatureState::kUnchecked || state == SignatureState::kUnreadable;
}

// The log line for a package the gate refused; `release` as CheckProductSignature gave it.
template <typename Out>
void WriteRefusal(Out&& out, SignatureState state, const PackageRelease& release = {}) {
  out << "update not installed: ";
  switch (state) {
    case SignatureState::kOtherProduct:
      out << "the package is for another product (" << release.product.c_str() << ")";
      return;
    case SignatureState::kNotAnArchive:
      out << "the package is not an archive";
      return;
    case SignatureState::kUnreadable:
      out << "the package cannot be read";
      return;
    case SignatureState::kUnchecked:
      out << "its signature could not be checked; the package stays for the next launch";
      return;
    case SignatureState::kDamaged:
    case SignatureState::kCommentMisfit:
    case SignatureState::kMismatch:
      out << "its signature does not match";
      return;
    default:
      out << "the package is not signed by this product's key";
      return;
  }
}

}  // namespace signing
