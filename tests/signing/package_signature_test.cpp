// The package signature: what the check says for every way a package can come signed,
// unsigned or changed, the launcher's gate before an install, and the key files and
// encodings underneath. Runs natively (libcrypto) and under Wine (CNG). The keys are made
// by make_test_keys.sh when the tests are built.
#include "signing/package_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/update/fault_injector.h"
#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "update/install_transaction.h"
#include "update/pending_update.h"
#include "update/release_gate.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace ziptest;
using platform::P256Signature;
using platform::Sha256Digest;
using signing::KeyFileResult;
using signing::SignatureState;

std::string KeyText(const char* name) { return ReadBytes(TestKeyFolder() / name); }

bool UnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (unsigned char c : bytes)
    hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  return hex;
}

// `archive`, written without a comment, with `comment` as its comment.
std::string WithComment(std::string archive, const std::string& comment) {
  archive[archive.size() - 2] = static_cast<char>(comment.size() & 0xFF);
  archive[archive.size() - 1] = static_cast<char>(comment.size() >> 8);
  return archive + comment;
}

std::string Comment(const std::string& keyIdHex, const std::vector<std::uint8_t>& der) {
  return "update-signature v1 ecdsa-p256-sha256 key=" + keyIdHex +
         " sig=" + signing::Base64Encode(der.data(), der.size());
}

class PackageSignatureTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    if (KeyText("product.pem") == "<missing>") GTEST_SKIP() << "no test keys: run through ctest";
    ASSERT_EQ(signing::PrivateKeyFromPem(KeyText("product.pem"), product_), KeyFileResult::kOk);
    ASSERT_EQ(signing::PrivateKeyFromPem(KeyText("other.pem"), other_), KeyFileResult::kOk);
    Archive a;
    Entry stored{};
    stored.name = "app.dll";
    stored.data = "new app.dll";
    stored.method = 0;
    Entry deflated{};
    deflated.name = "data/a.txt";
    deflated.data = std::string(300, 'a');
    a.entries = {stored, deflated};
    archive_ = Build(a);
  }

  // Signs an archive written without a comment: its bytes are then exactly the signed ones,
  // so this does not lean on the digest code under test. `claimed`: the key id to write.
  std::string Sign(const std::string& archive, const signing::PrivateKey& key,
                   const signing::PrivateKey* claimed = nullptr) {
    platform::Sha256 hash;
    hash.Update(archive.data(), archive.size());
    Sha256Digest digest;
    P256Signature signature;
    EXPECT_TRUE(hash.Finish(digest));
    EXPECT_TRUE(platform::SignP256(key.scalar, key.publicKey.point, digest, signature));
    const Sha256Digest& id = (claimed != nullptr ? claimed : &key)->publicKey.id;
    return WithComment(archive, Comment(signing::HexKeyId(id), signing::SignatureToDer(signature)));
  }

  // Signs release `sequence` (as text) of `product` over an archive written without a comment,
  // building the signed line by hand, so that this does not lean on the code under test either.
  // `signedProduct`, `signedSequence`: what the line says, where a row makes them differ from
  // the comment.
  std::string SignRelease(const std::string& archive, const std::string& product,
                          const std::string& sequence, const char* signedProduct = nullptr,
                          const char* signedSequence = nullptr) {
    platform::Sha256 archiveHash;
    archiveHash.Update(archive.data(), archive.size());
    Sha256Digest digest;
    EXPECT_TRUE(archiveHash.Finish(digest));
    const std::string line = std::string("update-package v2 product=") +
                             (signedProduct ? signedProduct : product) +
                             " sequence=" + (signedSequence ? signedSequence : sequence) +
                             " sha256=" + signing::HexKeyId(digest);
    platform::Sha256 lineHash;
    lineHash.Update(line.data(), line.size());
    EXPECT_TRUE(lineHash.Finish(digest));
    P256Signature signature;
    EXPECT_TRUE(platform::SignP256(product_.scalar, product_.publicKey.point, digest, signature));
    const std::vector<std::uint8_t> der = signing::SignatureToDer(signature);
    return WithComment(archive, "update-signature v2 ecdsa-p256-sha256 product=" + product +
                                    " sequence=" + sequence +
                                    " key=" + signing::HexKeyId(product_.publicKey.id) +
                                    " sig=" + signing::Base64Encode(der.data(), der.size()));
  }

  SignatureState Check(const std::string& bytes, signing::PackageRelease* release = nullptr) {
    const fs::path path = scratch_ / "package.zip";
    EXPECT_TRUE(WriteBytes(path, bytes));
    std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(W(path));
    EXPECT_TRUE(source);
    return signing::VerifyPackage(*source, product_.publicKey, release);
  }

  // The product key as a launcher built with it carries it, for the product Veltmora.
  signing::ProductKeyBytes ProductKey() {
    const std::string pem = KeyText("product.pub.pem");
    const std::size_t begin = pem.find('\n') + 1;
    std::string body = pem.substr(begin, pem.find("-----END") - begin);
    body.erase(std::remove(body.begin(), body.end(), '\n'), body.end());
    EXPECT_TRUE(signing::Base64Decode(body, productDer_));
    return signing::ProductKeyBytes{productDer_.data(), productDer_.size(), "Veltmora"};
  }

  signing::PrivateKey product_, other_;
  std::string archive_;
  std::vector<std::uint8_t> productDer_;
};

TEST_F(PackageSignatureTest, OnlyTheProductKeysSignatureOverTheseVeryBytesIsValid) {
  const std::string valid = Sign(archive_, product_);
  const std::size_t comment = archive_.size();
  const std::string signature = valid.substr(comment);
  const std::size_t sigAt = signature.find(" sig=") + 5;
  // The signature's DER form, to build near misses of it.
  std::vector<std::uint8_t> der;
  ASSERT_TRUE(signing::Base64Decode(signature.substr(sigAt), der));
  const std::string keyId = signature.substr(42, 64);
  std::vector<std::uint8_t> paddedR = der;  // r with a zero byte it does not need
  paddedR.insert(paddedR.begin() + 4, 0);
  paddedR[1] = static_cast<std::uint8_t>(paddedR[1] + 1);
  paddedR[3] = static_cast<std::uint8_t>(paddedR[3] + 1);
  std::vector<std::uint8_t> trailing = der;  // a byte behind the two integers
  trailing.push_back(0);
  trailing[1] = static_cast<std::uint8_t>(trailing[1] + 1);
  Archive other;
  other.entries = {Entry{}};
  other.entries[0].name = "other.txt";
  other.entries[0].data = "x";
  Archive stub;
  stub.stub = "MZ a program in front of the archive";
  stub.entries = other.entries;

  struct Case {
    const char* why;
    std::string bytes;
    SignatureState expected;
  } const cases[] = {
      {"signed by the product key", valid, SignatureState::kValid},
      {"data in front of the archive is signed with it", Sign(Build(stub), product_),
       SignatureState::kValid},
      // Unsigned and foreign packages must never pass for signed ones.
      {"no comment", archive_, SignatureState::kUnsigned},
      {"another tool's comment", WithComment(archive_, "made by zip 3.0"),
       SignatureState::kNotASignature},
      {"signed by another key", Sign(archive_, other_), SignatureState::kOtherKey},
      {"another key's signature under this key's name", Sign(archive_, other_, &product_),
       SignatureState::kMismatch},
      {"a valid signature of another package",
       WithComment(archive_, Sign(Build(other), product_).substr(Build(other).size())),
       SignatureState::kMismatch},
      // Bytes the signature does not cover must not ride along.
      {"bytes after the comment", valid + "X", SignatureState::kCommentMisfit},
      // the end record's comment no longer fits the file: no end record at all
      {"comment cut short by the download", valid.substr(0, valid.size() - 1),
       SignatureState::kNotAnArchive},
      {"signature text cut short", WithComment(archive_, signature.substr(0, signature.size() - 4)),
       SignatureState::kDamaged},
      // Comments that merely look like ours: one text per signature, nothing else passes.
      {"a line break after it", WithComment(archive_, signature + "\n"), SignatureState::kDamaged},
      {"the id of no key known", WithComment(archive_, Comment(Hex(std::string(32, '\xAB')), der)),
       SignatureState::kOtherKey},
      {"upper-case hex digits",
       WithComment(archive_, signature.substr(0, 42) + "ABCDEF" + signature.substr(48)),
       SignatureState::kDamaged},
      {"another case of the mark", WithComment(archive_, "Update-" + signature.substr(7)),
       SignatureState::kNotASignature},
      {"a later layout version",
       WithComment(archive_, "update-signature v3 " + signature.substr(20)),
       SignatureState::kUnknownLayout},
      {"two blanks before sig=",
       WithComment(archive_, signature.substr(0, sigAt - 5) + " " + signature.substr(sigAt - 5)),
       SignatureState::kDamaged},
      {"r with a needless zero byte", WithComment(archive_, Comment(keyId, paddedR)),
       SignatureState::kDamaged},
      {"a byte behind r and s", WithComment(archive_, Comment(keyId, trailing)),
       SignatureState::kDamaged},
      {"not an archive", "release notes\n", SignatureState::kNotAnArchive},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(Check(c.bytes), c.expected);
  }
}

// Every byte of a signed package, changed in two ways: a bit that turns letters and digits
// into their neighbours (so hex and base64 stay well-formed) and the case bit.
TEST_F(PackageSignatureTest, AnySingleByteChangedAfterSigningIsRefused) {
  const std::string valid = Sign(archive_, product_);
  const std::size_t lengthField = archive_.size() - 2;
  const std::size_t endRecord = archive_.size() - zip::kEndRecordSize;
  for (std::size_t at = 0; at < valid.size(); ++at) {
    for (const unsigned char flip : {0x01, 0x20}) {
      std::string changed = valid;
      changed[at] = static_cast<char>(changed[at] ^ flip);
      const SignatureState state = Check(changed);
      // Local headers, data, the directory and the end record are signed; the comment
      // length and the comment are checked by their layout.
      SignatureState expected = SignatureState::kMismatch;
      if (at >= endRecord && at < endRecord + 4) expected = SignatureState::kNotAnArchive;
      if (at >= lengthField) expected = state;
      // A length that grew past the file's end leaves no end record; one that shrank leaves
      // bytes after the comment.
      const std::size_t length = static_cast<unsigned char>(changed[lengthField]) +
                                 256u * static_cast<unsigned char>(changed[lengthField + 1]);
      if (at >= lengthField && at < lengthField + 2) {
        expected = length > valid.size() - archive_.size() ? SignatureState::kNotAnArchive
                                                           : SignatureState::kCommentMisfit;
      }
      EXPECT_NE(state, SignatureState::kValid) << "byte " << at << " ^ " << int{flip};
      EXPECT_EQ(state, expected) << "byte " << at << " ^ " << int{flip};
    }
  }
}

// A v2 signature binds the product and the release number to the archive: the comment's text
// is read strictly, and a number or product changed after signing no longer verifies.
TEST_F(PackageSignatureTest, ReleaseNumbersAndProductsAreSignedWithTheArchive) {
  const std::string max = "18446744073709551615";
  const std::string longest(64, 'p');
  struct Case {
    const char* why;
    std::string bytes;
    SignatureState expected;
    std::uint64_t sequence;  // what a valid one says
  } const cases[] = {
      {"release 42", SignRelease(archive_, "Veltmora", "42"), SignatureState::kValid, 42},
      {"the largest number", SignRelease(archive_, "Veltmora", max), SignatureState::kValid,
       ~std::uint64_t{0}},
      {"a product name of 64 characters, every kind", SignRelease(archive_, "a-Z_0.9", "1"),
       SignatureState::kValid, 1},
      {"v1 stays valid, unnumbered", Sign(archive_, product_), SignatureState::kValid, 0},
      // What the comment says must be what was signed.
      {"a number raised after signing", SignRelease(archive_, "Veltmora", "43", nullptr, "42"),
       SignatureState::kMismatch, 0},
      {"a product changed after signing", SignRelease(archive_, "Veltmorb", "42", "Veltmora"),
       SignatureState::kMismatch, 0},
      {"the archive digest signed alone under a v2 comment",
       WithComment(archive_,
                   "update-signature v2 ecdsa-p256-sha256 product=Veltmora "
                   "sequence=42 key=" +
                       Sign(archive_, product_).substr(archive_.size() + 42)),
       SignatureState::kMismatch, 0},
      // One text per number: another spelling of the same number would be another comment.
      {"a leading zero", SignRelease(archive_, "Veltmora", "042"), SignatureState::kDamaged, 0},
      {"release 0, the unnumbered one's", SignRelease(archive_, "Veltmora", "0"),
       SignatureState::kDamaged, 0},
      {"one past the largest number", SignRelease(archive_, "Veltmora", "18446744073709551616"),
       SignatureState::kDamaged, 0},
      {"a sign", SignRelease(archive_, "Veltmora", "+42"), SignatureState::kDamaged, 0},
      {"no number", SignRelease(archive_, "Veltmora", ""), SignatureState::kDamaged, 0},
      {"a product with a character outside the set", SignRelease(archive_, "Velt/mora", "42"),
       SignatureState::kDamaged, 0},
      {"an empty product", SignRelease(archive_, "", "42"), SignatureState::kDamaged, 0},
      {"a product of 65 characters", SignRelease(archive_, longest + "p", "42"),
       SignatureState::kDamaged, 0},
      {"a product of 64 characters", SignRelease(archive_, longest, "42"), SignatureState::kValid,
       42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    signing::PackageRelease release;
    EXPECT_EQ(Check(c.bytes, &release), c.expected);
    EXPECT_EQ(release.sequence, c.sequence);
  }
}

// The gate's decisions over an install folder: the signature, the product, and the release
// against the record of the one installed, which the install then updates.
TEST_F(PackageSignatureTest, TheGateRefusesOlderReleasesAndOtherProducts) {
  const signing::ProductKeyBytes key = ProductKey();
  const char* const none = "<missing>";
  struct Case {
    const char* why;
    bool keyed;
    const char* record;  // update.sequence before; "/" a folder of that name
    std::string package;
    update::GateVerdict verdict;
    const char* recordAfter;
    bool packageKept;
  } const cases[] = {
      {"a first numbered release", true, none, SignRelease(archive_, "Veltmora", "42"),
       update::GateVerdict::kInstall, "42\n", false},
      {"the same release again (a retry)", true, "42\n", SignRelease(archive_, "Veltmora", "42"),
       update::GateVerdict::kInstall, "42\n", false},
      {"a newer release", true, "42\n", SignRelease(archive_, "Veltmora", "43"),
       update::GateVerdict::kInstall, "43\n", false},
      // Replays: an older signed package must not come back.
      {"an older release", true, "42\n", SignRelease(archive_, "Veltmora", "41"),
       update::GateVerdict::kOlder, "42\n", false},
      {"an unnumbered package after a numbered one", true, "42\n", Sign(archive_, product_),
       update::GateVerdict::kOlder, "42\n", false},
      {"an unnumbered package while none is numbered", true, none, Sign(archive_, product_),
       update::GateVerdict::kInstall, none, false},
      {"another product's release", true, none, SignRelease(archive_, "Other", "50"),
       update::GateVerdict::kSignature, none, false},
      // A record that cannot be trusted is never guessed low: nothing installs, the package
      // waits for a person to look.
      {"a record with a leading zero", true, "042\n", SignRelease(archive_, "Veltmora", "50"),
       update::GateVerdict::kRecordUnusable, "042\n", true},
      {"a record without its line break", true, "42", SignRelease(archive_, "Veltmora", "50"),
       update::GateVerdict::kRecordUnusable, "42", true},
      {"an empty record", true, "", Sign(archive_, product_), update::GateVerdict::kRecordUnusable,
       "", true},
      {"a folder where the record goes", true, "/", SignRelease(archive_, "Veltmora", "50"),
       update::GateVerdict::kRecordUnusable, none, true},
      // Without a key nothing was checked: nothing is compared or recorded.
      {"no key: an older release installs", false, "42\n", SignRelease(archive_, "Veltmora", "41"),
       update::GateVerdict::kInstall, "42\n", false},
      {"no key: a numbered release is not recorded", false, none,
       SignRelease(archive_, "Veltmora", "41"), update::GateVerdict::kInstall, none, false},
  };
  const signing::ProductKeyBytes noKey{nullptr, 0, "Veltmora"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const fs::path folder = scratch_ / "install";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const platform::WString root = W(folder) + platform::kPreferredSeparator;
    if (std::string(c.record) == "/") {
      fs::create_directories(folder / "update.sequence");
    } else if (c.record != none) {
      ASSERT_TRUE(WriteBytes(folder / "update.sequence", c.record));
    }
    ASSERT_TRUE(WriteBytes(folder / "update.zip", c.package));
    {
      std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(W(folder / "update.zip"));
      EXPECT_EQ(update::CheckPackage(source.get(), root, c.keyed ? key : noKey).verdict, c.verdict);
    }
    update::InstallIn(root, c.keyed ? key : noKey);
    const bool installs = c.verdict == update::GateVerdict::kInstall;
    EXPECT_EQ(ReadBytes(folder / "app.dll"), installs ? "new app.dll" : "<missing>");
    if (std::string(c.record) != "/") {
      EXPECT_EQ(ReadBytes(folder / "update.sequence"), c.recordAfter);
    }
    EXPECT_EQ(fs::exists(folder / "update.zip"), c.packageKept);
  }
}

// The launcher's gate: with a key only its packages install, and a refused one is deleted.
TEST_F(PackageSignatureTest, TheGateInstallsOnlyWhatTheProductKeySigned) {
  const signing::ProductKeyBytes key = ProductKey();
  struct Case {
    const char* why;
    signing::ProductKeyBytes key;
    std::string package;
    bool installs;
  } const cases[] = {
      {"no key: an unsigned package installs as before", {}, archive_, true},
      {"no key: so does one signed by any key", {}, Sign(archive_, other_), true},
      {"the product's package", key, Sign(archive_, product_), true},
      {"an unsigned package", key, archive_, false},
      {"another key's package", key, Sign(archive_, other_), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const fs::path folder = scratch_ / "install";
    fs::remove_all(folder);
    fs::create_directories(folder);
    ASSERT_TRUE(WriteBytes(folder / "update.zip", c.package));
    update::InstallIn(W(folder) + platform::kPreferredSeparator, c.key);
    EXPECT_EQ(ReadBytes(folder / "app.dll"), c.installs ? "new app.dll" : "<missing>");
    EXPECT_FALSE(fs::exists(folder / "update.zip"));
  }
  // A refused package must not keep a stopped install from being finished.
  const fs::path folder = scratch_ / "stopped";
  fs::create_directories(folder);
  ASSERT_TRUE(WriteBytes(folder / "app.dll", "old"));
  ASSERT_TRUE(WriteBytes(scratch_ / "first.zip", archive_));
  // Stopped as a kill would stop it, at its commit's first rename.
  std::vector<platform::FileCall> calls;
  {
    const fs::path copy = scratch_ / "count";
    fs::create_directories(copy);
    ASSERT_TRUE(WriteBytes(copy / "app.dll", "old"));
    updatetest::FaultInjector counter;
    counter.recordCalls = true;
    update::InstallPackage(W(scratch_ / "first.zip"), W(copy));
    calls = counter.kinds;
  }
  const auto rename = std::find(calls.begin(), calls.end(), platform::FileCall::kRename);
  ASSERT_NE(rename, calls.end());
  {
    updatetest::FaultInjector injector(
        {{static_cast<std::uint64_t>(rename - calls.begin()), updatetest::Fault::kStop}});
    update::InstallPackage(W(scratch_ / "first.zip"), W(folder));
    ASSERT_TRUE(injector.reached(0));
  }
  ASSERT_TRUE(fs::exists(folder / "update.journal"));
  ASSERT_TRUE(WriteBytes(folder / "update.zip", archive_));
  update::InstallIn(W(folder) + platform::kPreferredSeparator, key);
  EXPECT_EQ(ReadBytes(folder / "app.dll"), "new app.dll");  // the commit had begun: finished
  EXPECT_FALSE(fs::exists(folder / "update.journal"));
  EXPECT_FALSE(fs::exists(folder / "update.zip"));
}

TEST_F(PackageSignatureTest, KeyFilesAsOpenSslWritesThem) {
  const std::string keyId = KeyText("product.keyid").substr(0, 64);
  std::string damaged = KeyText("product.pub.pem");
  damaged[40] = '*';
  // Natively libcrypto decrypts key files; on Windows crypt32 decrypts none.
  const KeyFileResult decrypted =
      platform::kDecryptsKeyFiles ? KeyFileResult::kOk : KeyFileResult::kEncrypted;
  const KeyFileResult wrongPassphrase =
      platform::kDecryptsKeyFiles ? KeyFileResult::kWrongPassphrase : KeyFileResult::kEncrypted;
  struct Case {
    const char* why;
    std::string file;
    KeyFileResult asPublic, asPrivate;
    const char* passphrase = nullptr;
  };
  std::vector<Case> cases = {
      {"public key", KeyText("product.pub.pem"), KeyFileResult::kOk, KeyFileResult::kPublicKey},
      {"PKCS #8 private key", KeyText("product.pem"), KeyFileResult::kPrivateKey,
       KeyFileResult::kOk},
      {"SEC 1 private key after its curve block", KeyText("product-sec1.pem"),
       KeyFileResult::kPrivateKey, KeyFileResult::kOk},
      {"passphrase-protected private key", KeyText("encrypted.pem"), KeyFileResult::kPrivateKey,
       KeyFileResult::kEncrypted},
      // An encrypted key opens with its passphrase, in either of OpenSSL's forms.
      {"PKCS #8 encrypted, with its passphrase", KeyText("encrypted.pem"),
       KeyFileResult::kPrivateKey, decrypted, "secret"},
      {"SEC 1 encrypted in its header lines, with its passphrase", KeyText("encrypted-sec1.pem"),
       KeyFileResult::kPrivateKey, decrypted, "secret"},
      {"SEC 1 encrypted, without one", KeyText("encrypted-sec1.pem"), KeyFileResult::kPrivateKey,
       KeyFileResult::kEncrypted},
      // A wrong passphrase must not come out as a damaged key, or as garbage taken for a key.
      {"a wrong passphrase", KeyText("encrypted.pem"), KeyFileResult::kPrivateKey, wrongPassphrase,
       "Secret"},
      {"Ed25519 keys", KeyText("ed25519.pub.pem") + KeyText("ed25519.pem"), KeyFileResult::kNotP256,
       KeyFileResult::kNotP256},
      {"P-384 keys", KeyText("p384.pub.pem") + KeyText("p384.pem"), KeyFileResult::kNotP256,
       KeyFileResult::kNotP256},
      {"RSA keys", KeyText("rsa.pub.pem") + KeyText("rsa.pem"), KeyFileResult::kNotP256,
       KeyFileResult::kNotP256},
      // A compressed point would name the key by another id than the launcher's.
      {"a compressed point", KeyText("compressed.pub.pem"), KeyFileResult::kNotP256,
       KeyFileResult::kPublicKey},
      // No signature verifies under this; verify must say so, not "valid key".
      {"the all-zero point", KeyText("zero.pub.pem"), KeyFileResult::kOffCurve,
       KeyFileResult::kPublicKey},
      // A second text for one key: bytes after its DER.
      {"a byte after the key's DER", KeyText("junk.pub.pem"), KeyFileResult::kDamaged,
       KeyFileResult::kPublicKey},
      // Text around a block is a comment, as openssl treats it.
      {"words after the block", KeyText("product.pub.pem") + "made for the tests\n",
       KeyFileResult::kOk, KeyFileResult::kPublicKey},
      // Which of two keys is meant cannot be told: neither is taken.
      {"two keys of each kind",
       KeyText("product.pub.pem") + KeyText("other.pub.pem") + KeyText("product.pem") +
           KeyText("other.pem"),
       KeyFileResult::kSeveralKeys, KeyFileResult::kSeveralKeys},
      {"not PEM", "hello\n", KeyFileResult::kNotPem, KeyFileResult::kNotPem},
      {"damaged base64", damaged, KeyFileResult::kDamaged, KeyFileResult::kPublicKey},
  };
  // The same for a point off the curve. Windows' CNG refuses it on import as libcrypto does;
  // Wine 8's takes it unchecked, so the row cannot pass there.
  if (!UnderWine()) {
    cases.push_back({"a point off the curve", KeyText("off-curve.pub.pem"),
                     KeyFileResult::kOffCurve, KeyFileResult::kPublicKey});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    signing::PublicKey publicKey;
    signing::PrivateKey privateKey;
    EXPECT_EQ(signing::PublicKeyFromPem(c.file, publicKey), c.asPublic);
    EXPECT_EQ(signing::PrivateKeyFromPem(c.file, privateKey, c.passphrase), c.asPrivate);
    // Every form names the same key by the id openssl's own digest gives.
    if (c.asPublic == KeyFileResult::kOk) {
      EXPECT_EQ(signing::HexKeyId(publicKey.id), keyId);
    }
    if (c.asPrivate == KeyFileResult::kOk) {
      EXPECT_EQ(signing::HexKeyId(privateKey.publicKey.id), keyId);
      EXPECT_EQ(privateKey.scalar, product_.scalar);
    } else {
      EXPECT_EQ(privateKey.scalar, platform::P256Scalar{});  // nothing of a key left behind
    }
  }
}

// One text per value: a lenient decoder would let a changed signature text pass as the same.
TEST(Base64Test, OnlyTheCanonicalFormDecodes) {
  struct Case {
    const char* text;
    bool decodes;
    const char* bytes;
  } const cases[] = {
      {"", true, ""},          {"QQ==", true, "A"}, {"QUI=", true, "AB"},
      {"QUJD", true, "ABC"},   {"QQ", false, ""},  // padding left off
      {"QR==", false, ""},                         // bits the padding leaves unused are set
      {"QUJ=", false, ""},                         // the same with one padding character
      {"QQ==QUJD", false, ""},                     // padding before the end
      {"QU JD", false, ""},                        // a blank inside
      {"QUJD\n", false, ""},                       // a line break after it
      {"Q===", false, ""},                         // too much padding
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(signing::Base64Decode(c.text, out), c.decodes);
    if (c.decodes) {
      EXPECT_EQ(std::string(out.begin(), out.end()), c.bytes);
    }
  }
}

// r and s keep their value through the DER form, whatever their first bytes.
TEST(SignatureDerTest, RoundTripsEveryLengthOfRAndS) {
  const std::uint8_t firstBytes[][2] = {{0x00, 0x80}, {0x80, 0x00}, {0x01, 0x7F}, {0xFF, 0xFF}};
  for (const auto& first : firstBytes) {
    P256Signature in{};
    in.fill(0x5A);
    in[0] = first[0];
    in[1] = 0;  // a zero after the first: the integer must keep it
    in[32] = first[1];
    const std::vector<std::uint8_t> der = signing::SignatureToDer(in);
    P256Signature out{};
    EXPECT_TRUE(signing::SignatureFromDer(der.data(), der.size(), out));
    EXPECT_EQ(out, in);
  }
}

}  // namespace
