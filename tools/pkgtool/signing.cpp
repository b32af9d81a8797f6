#include "tools/pkgtool/commands.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "signing/key_files.h"
#include "signing/package_signature.h"
#include "zip/zip_reader.h"

namespace pkgtool {

using platform::WString;

namespace {

// A key file's text, wiped when it goes; false when it does not read or is too large to be a
// key.
bool ReadKeyFile(const WString& path, platform::WipedBytes& text) {
  constexpr std::uint64_t kLargestKeyFile = 1 << 16;
  platform::File file = platform::File::OpenForRead(path);
  std::uint64_t size = 0;
  if (!file || !file.Size(size) || size > kLargestKeyFile) return false;
  text.Reset(static_cast<std::size_t>(size));
  return file.ReadAt(0, text.data(), text.size()) == static_cast<std::int64_t>(size);
}

std::string_view Text(platform::WipedBytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The passphrase in the environment variable `name`, copied so that it can be wiped. A CI
// system hands secrets over this way; a command line is visible to every user of the machine.
bool ReadPassphrase(const WString& name, platform::WipedBytes& passphrase) {
  // Only where key files can be decrypted: elsewhere the key's own message says what to do.
  if (!platform::kDecryptsKeyFiles) return true;
  const char* value = std::getenv(Narrow(name).c_str());
  if (!value || *value == '\0') return false;
  const std::size_t length = std::strlen(value);
  passphrase.Reset(length + 1);
  std::memcpy(passphrase.data(), value, length);
  return true;
}

int KeyFileError(std::FILE* err, const WString& keyFile, const char* why) {
  std::fprintf(err, "pkgtool: %s: %s\n", Narrow(keyFile).c_str(), why);
  return 2;
}

// An archive that sign or verify cannot read as one: what list and check would say.
bool OpensAsArchive(const WString& path, std::FILE* err) {
  if (zip::ZipArchive::Open(zip::ZipSource::Open(path))) return true;
  ReportOpenFailure(path, err);
  return false;
}

// Writes the archive in `source` up to its comment-length field, then `comment` behind it,
// to `to` (a new file), and waits until it is on the disk.
bool WriteSigned(zip::ZipSource& source, const zip::EndRecordPlace& end, const std::string& comment,
                 const WString& to) {
  platform::File file = platform::File::CreateNew(to, 0);
  if (!file) return false;
  constexpr std::size_t kPiece = 1 << 20;
  std::vector<unsigned char> buffer(kPiece);
  const std::uint64_t lengthField = end.position + zip::kEndRecordSize - 2;
  for (std::uint64_t offset = 0; offset < lengthField;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, lengthField - offset));
    if (!source.ReadAt(offset, buffer.data(), piece, zip::ZipSource::kDataWindow) ||
        !file.Write(buffer.data(), piece)) {
      return false;
    }
    offset += piece;
  }
  const unsigned char length[2] = {static_cast<unsigned char>(comment.size() & 0xFF),
                                   static_cast<unsigned char>(comment.size() >> 8)};
  return file.Write(length, sizeof length) && file.Write(comment.data(), comment.size()) &&
         file.Flush() && file.Close();
}

}  // namespace

// sign: the signature over the archive without its comment goes into a copy of it, which
// replaces the archive only once it checks out, so a failure at any point leaves the archive
// as it was.
int Sign(const WString& keyFile, const WString* passphraseEnv,
         const signing::PackageRelease& release, const WString& path, std::FILE* out,
         std::FILE* err) {
  platform::WipedBytes passphrase;
  if (passphraseEnv && !ReadPassphrase(*passphraseEnv, passphrase)) {
    std::fprintf(err, "pkgtool: the environment variable %s is not set\n",
                 Narrow(*passphraseEnv).c_str());
    return 2;
  }
  platform::WipedBytes pem;
  if (!ReadKeyFile(keyFile, pem)) return KeyFileError(err, keyFile, "cannot be read");
  signing::PrivateKey key;
  const signing::KeyFileResult keyRead = signing::PrivateKeyFromPem(
      Text(pem), key,
      passphrase.size() > 0 ? reinterpret_cast<const char*>(passphrase.data()) : nullptr);
  if (keyRead != signing::KeyFileResult::kOk) {
    return KeyFileError(err, keyFile, signing::DescribeKeyFileResult(keyRead));
  }
  if (!OpensAsArchive(path, err)) return 2;
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  const signing::CarriedSignature carried =
      source ? signing::ReadSignature(*source) : signing::CarriedSignature{};
  const std::string at = "pkgtool: " + Narrow(path) + ": ";
  switch (carried.state) {
    case signing::SignatureState::kCommentMisfit:
      // Bytes behind the archive would stay unsigned, or be lost: the archive's maker must say.
      std::fprintf(err,
                   "%snot signed: the archive's comment does not end where the file does "
                   "(bytes after the archive, or a comment cut short)\n",
                   at.c_str());
      return 1;
    case signing::SignatureState::kUnreadable:
    case signing::SignatureState::kNotAnArchive:
      std::fprintf(err, "%s%s\n", at.c_str(), signing::DescribeSignatureState(carried.state));
      return 2;
    case signing::SignatureState::kUnsigned:
      break;
    case signing::SignatureState::kPresent:
      std::fprintf(err, "%swarning: the signature by key %s (%s) is replaced\n", at.c_str(),
                   signing::HexKeyId(carried.keyId).c_str(),
                   DescribeRelease(carried.release).c_str());
      break;
    default:
      std::fprintf(err, "%swarning: the archive's comment is replaced by the signature\n",
                   at.c_str());
      break;
  }
  platform::Sha256Digest archive;
  platform::Sha256Digest digest;
  platform::P256Signature signature;
  if (!signing::SignedDigest(*source, carried.end, archive, nullptr)) {
    std::fprintf(err, "%scannot be read\n", at.c_str());
    return 2;
  }
  if (!signing::ReleaseDigest(release, archive, digest)) {
    return KeyFileError(err, keyFile, "the system refused to sign with this key");
  }
  if (!platform::SignP256(key.scalar, key.publicKey.point, digest, signature)) {
    return KeyFileError(err, keyFile, "the system refused to sign with this key");
  }
  // A hand-made file may pair a private key with another's public key: its signatures would
  // never verify.
  if (platform::VerifyP256(key.publicKey.point, digest, signature) !=
      platform::SignatureCheck::kValid) {
    return KeyFileError(err, keyFile, "its public key does not belong to its private key");
  }

  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".sign~%08x",
                static_cast<unsigned>(platform::UniqueNumber() & 0xFFFFFFFF));
  WString temporary = path;
  for (const char* c = suffix; *c != '\0'; ++c) temporary += static_cast<platform::WChar>(*c);
  const std::string comment = signing::SignatureComment(key.publicKey.id, signature, release);
  bool done = WriteSigned(*source, carried.end, comment, temporary);
  source.reset();  // the rename must find the archive closed
  if (done) {
    std::unique_ptr<zip::ZipSource> written = zip::ZipSource::Open(temporary);
    signing::PackageRelease readBack;
    done = written &&
           signing::VerifyPackage(*written, key.publicKey, &readBack) ==
               signing::SignatureState::kValid &&
           readBack.sequence == release.sequence && readBack.product == release.product;
  }
  if (!done || !platform::RenameFile(temporary, path, true)) {
    platform::RemoveFile(temporary);
    std::fprintf(err, "%sthe signed archive could not be written; the archive is unchanged\n",
                 at.c_str());
    return 2;
  }
  std::fprintf(out, "signed by key %s (%s)\n", signing::HexKeyId(key.publicKey.id).c_str(),
               DescribeRelease(release).c_str());
  return 0;
}

int ReadPublicKey(const WString& keyFile, signing::PublicKey& key, std::FILE* err) {
  platform::WipedBytes pem;
  if (!ReadKeyFile(keyFile, pem)) return KeyFileError(err, keyFile, "cannot be read");
  const signing::KeyFileResult keyRead = signing::PublicKeyFromPem(Text(pem), key);
  if (keyRead != signing::KeyFileResult::kOk) {
    return KeyFileError(err, keyFile, signing::DescribeKeyFileResult(keyRead));
  }
  return 0;
}

std::string DescribeRelease(const signing::PackageRelease& release) {
  if (!release.numbered()) return "unnumbered";
  return "product " + release.product + ", sequence " + std::to_string(release.sequence);
}

int Verify(const WString& keyFile, const WString& path, std::FILE* out, std::FILE* err) {
  signing::PublicKey key;
  if (const int code = ReadPublicKey(keyFile, key, err); code != 0) return code;
  if (!OpensAsArchive(path, err)) return 2;
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  signing::PackageRelease release;
  const signing::SignatureState state = source ? signing::VerifyPackage(*source, key, &release)
                                               : signing::SignatureState::kUnreadable;
  const std::string at = "pkgtool: " + Narrow(path) + ": ";
  switch (state) {
    case signing::SignatureState::kValid:
      std::fprintf(out, "signature valid: signed by key %s (%s)\n",
                   signing::HexKeyId(key.id).c_str(), DescribeRelease(release).c_str());
      return 0;
    case signing::SignatureState::kOtherKey:
      std::fprintf(err, "%s%s (%s), not by %s\n", at.c_str(),
                   signing::DescribeSignatureState(state),
                   signing::HexKeyId(CarriedSignatureOf(path).keyId).c_str(),
                   signing::HexKeyId(key.id).c_str());
      return 1;
    case signing::SignatureState::kUnreadable:
    case signing::SignatureState::kNotAnArchive:
    case signing::SignatureState::kUnchecked:
      std::fprintf(err, "%s%s\n", at.c_str(), signing::DescribeSignatureState(state));
      return 2;
    default:
      std::fprintf(err, "%s%s\n", at.c_str(), signing::DescribeSignatureState(state));
      return 1;
  }
}

}  // namespace pkgtool
