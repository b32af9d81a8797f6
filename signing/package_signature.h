// The signature an update package carries in its zip archive comment, so that the package is
// still one file and readers that ignore comments are unaffected.
//
// What is signed: SHA-256 over the archive's bytes up to its end record's comment-length
// field, then that field as two zero bytes; the comment itself is left out. Signing therefore
// never changes the signed bytes, and an archive written without a comment is signed as it
// is. The signature is ECDSA over P-256 on that digest.
//
// The comment, printable ASCII only and nothing after it (version 1):
//
//   update-signature v1 ecdsa-p256-sha256 key=<KEY ID> sig=<SIGNATURE>
//
// KEY ID: the 64 lower-case hex digits of the SHA-256 of the signing key's DER
// SubjectPublicKeyInfo; SIGNATURE: base64 (with padding) of the signature's DER form. A
// comment that begins "update-signature " is one of ours; its next word is the layout
// version. Text-only comments cannot hold an end-record signature, so the archive's end
// record is the same with the comment as without.
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
inline constexpr std::string_view kSignatureField = " sig=";

enum class SignatureState {
  kValid,          // by the key asked about, over exactly these bytes
  kPresent,        // a signature in this layout, not checked against any key (ReadSignature)
  kUnsigned,       // no archive comment
  kNotASignature,  // an archive comment of another kind
  kUnknownLayout,  // marked as a signature, in a layout version this program does not read
  kDamaged,        // marked as a signature, but it does not follow the layout
  kCommentMisfit,  // the comment does not end where the file does: bytes after it, or cut short
  kOtherKey,       // a signature by another key
  kMismatch,       // names the key, but is no signature by it over these bytes
  kNotAnArchive,   // no end record
  kUnreadable,     // the package could not be opened or read
  kUnchecked,      // the system's cryptography failed: nothing was decided
};

// What the state means, for pkgtool's reports.
const char* DescribeSignatureState(SignatureState state);

struct CarriedSignature {
  SignatureState state = SignatureState::kUnreadable;
  zip::EndRecordPlace end;  // where the end record lies; unset for kNotAnArchive, kUnreadable
  platform::Sha256Digest keyId{};       // kPresent only
  platform::P256Signature signature{};  // kPresent only
};

// What the archive in `source` carries: kPresent, or why it carries no signature to check
// (kUnsigned, kNotASignature, kUnknownLayout, kDamaged, kCommentMisfit, kNotAnArchive,
// kUnreadable).
CarriedSignature ReadSignature(zip::ZipSource& source);

// The digest a signature covers, for the end record at `end`, read in large pieces. False
// with `*failure` kUnreadable when a read failed, kUnchecked when the hash did.
bool SignedDigest(zip::ZipSource& source, const zip::EndRecordPlace& end,
                  platform::Sha256Digest& digest, SignatureState* failure);

// Checks what the archive in `source` carries against `key`: kValid, or why not.
SignatureState VerifyPackage(zip::ZipSource& source, const PublicKey& key);

// The archive comment that carries `signature` by the key `keyId`.
std::string SignatureComment(const platform::Sha256Digest& keyId,
                             const platform::P256Signature& signature);

// The product's key as a program carries it (signing/product_key.h).
struct ProductKeyBytes {
  const std::uint8_t* der = nullptr;  // DER SubjectPublicKeyInfo
  std::size_t size = 0;               // 0: the program has no key
};

// The launcher's gate before an install: kValid when the program has no key (every package
// installs, as before keys existed) or when the package in `source` is signed by it; `source`
// null (the package did not open) is kUnreadable.
SignatureState CheckProductSignature(zip::ZipSource* source, const ProductKeyBytes& productKey);

// Whether the launcher keeps a package it refused for the next launch: only when nothing was
// decided about it.
inline bool KeepsRefusedPackage(SignatureState state) {
  // A package that could not be read now (in use, a read that failed) is the machine's fault,
  // as is a check the system could not make: worth another try.
  return state == SignatureState::kUnchecked || state == SignatureState::kUnreadable;
}

// The log line for a package the gate refused.
template <typename Out>
void WriteRefusal(Out&& out, SignatureState state) {
  out << "update not installed: ";
  switch (state) {
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
