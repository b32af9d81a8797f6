#include "tools/pkgtool/pkgtool.h"

#include <algorithm>
#include <cinttypes>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "update/install_plan.h"
#include "update/install_transaction.h"
#include "update/item_names.h"
#include "update/package_signature.h"
#include "update/signing_key.h"
#include "zip/zip_extractor.h"
#include "zip/zip_time.h"

namespace pkgtool {
namespace {

using platform::WString;

const char kUsage[] =
    "usage: pkgtool list [--json] ARCHIVE\n"
    "       pkgtool check [--json] [--install-folder DIR] ARCHIVE\n"
    "       pkgtool extract ARCHIVE DEST\n"
    "       pkgtool recover DEST\n"
    "       pkgtool sign --key PRIVATE.pem ARCHIVE\n"
    "       pkgtool verify --key PUBLIC.pem ARCHIVE\n"
    "       pkgtool --help | --version\n";

const char kHelp[] =
    "\n"
    "Reads update packages with the launcher's own zip code.\n"
    "\n"
    "  list     one line per item: index, attributes, size, modification time (UTC), name\n"
    "  check    reads every item through to its CRC-32 and says what the launcher does with\n"
    "           it: refused, reserved and too long names are skipped, a later item of the\n"
    "           same name (as Windows compares names) replaces an earlier one; problems and\n"
    "           warnings on standard error, a one-line summary on standard output\n"
    "  extract  installs the items into DEST exactly as the launcher's update step does,\n"
    "           finishing or undoing an interrupted install there first\n"
    "  recover  finishes or undoes an interrupted install in DEST, as the next launch would\n"
    "  sign     signs the archive with the product's ECDSA P-256 key (a PEM file, PKCS #8 or\n"
    "           SEC 1, unencrypted, as openssl writes it; an encrypted key signs with openssl,\n"
    "           see docs/update-packages.md): the signature goes into the archive's comment,\n"
    "           replacing any comment or signature there; the archive is rewritten under a\n"
    "           temporary name and renamed over the old one\n"
    "  verify   checks the archive's signature against the product's public key (PEM)\n"
    "  --json   list or check as one JSON object: the signature and one object per item\n"
    "  --install-folder DIR\n"
    "           check full paths against the install folder DIR: every item's path, the\n"
    "           folder's included, must stay within 259 units (without it, a folder of three\n"
    "           units such as C:\\ is assumed, so only names too long for any folder show)\n"
    "\n"
    "list and check say whether the archive carries a signature; verify checks it.\n"
    "\n"
    "Exit codes: 0 every item is fine (check), was installed (extract), nothing was left to\n"
    "end (recover), the archive was signed (sign) or its signature is valid (verify); 1 an\n"
    "item has a problem or failed, an interrupted install could not be ended yet, the archive\n"
    "is unsigned or its signature invalid (verify), or it cannot be signed as it is (sign);\n"
    "2 a usage error, a key file that does not read, or an archive that does not open.\n";

std::string Narrow(const WString& text) {
  std::string narrow;
  platform::Utf16ToUtf8(text, narrow);
  return narrow;
}

// The stored bytes as text: as they stand when they are UTF-8 without control characters,
// otherwise with every byte outside printable ASCII, and '\', written as \xNN.
std::string StoredText(const zip::ZipItem& item) {
  WString decoded;
  bool plain = platform::Utf8ToUtf16(item.storedName, decoded);
  for (unsigned char c : item.storedName) plain = plain && c >= 0x20 && c != 0x7F;
  if (plain) return item.storedName;
  std::string text;
  for (unsigned char c : item.storedName) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      text += esc;
    }
  }
  return text;
}

// The name as the launcher sees it, or the stored bytes when the name was refused, so a
// report always says which item it means.
std::string DisplayName(const zip::ZipItem& item) {
  if (!item.name.empty()) return Narrow(item.name);
  return StoredText(item);
}

// What the name rules changed in an installable item's name; empty when nothing.
std::string Rewrites(const zip::ZipItem& item) {
  WString cleaned;
  unsigned dropped = 0;
  zip::CleanItemName(item.storedName.data(), item.storedName.size(), cleaned,
                     (item.flags & zip::kFlagUtf8Name) != 0, &dropped);
  std::string text;
  const auto add = [&text](const char* what) {
    if (!text.empty()) text += ", ";
    text += what;
  };
  if (dropped & zip::kDroppedDrive) add("drive letter dropped");
  if (dropped & zip::kDroppedLeadingSeparator) add("leading separator dropped");
  if (dropped & zip::kDroppedBeforeParentStep) add("everything before a parent step dropped");
  return text;
}

std::vector<std::string> AttributeWords(std::uint32_t attributes) {
  static const struct {
    std::uint32_t bit;
    const char* word;
  } kWords[] = {{platform::kAttrFolder, "folder"},
                {platform::kAttrReadOnly, "readonly"},
                {platform::kAttrHidden, "hidden"},
                {platform::kAttrSystem, "system"},
                {platform::kAttrArchive, "archive"}};
  std::vector<std::string> words;
  for (const auto& w : kWords) {
    if (attributes & w.bit) words.push_back(w.word);
  }
  return words;
}

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04X", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (const std::string& t : texts) out += (out.size() > 1 ? ", " : "") + JsonString(t);
  return out + "]";
}

// One item as a report sees it.
struct ItemReport {
  zip::ZipItem item;
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
};

void PrintJson(std::FILE* out, const ItemReport& r, bool first) {
  const zip::ZipItem& item = r.item;
  char when[32];
  const bool haveTime = zip::FormatIsoUtc(item.modificationTime, when, sizeof when);
  std::fprintf(out,
               "%s {\"index\": %d, \"name\": %s, \"stored_name\": %s, \"size\": %" PRIu32
               ", \"compressed_size\": %" PRIu32
               ", \"attributes\": %s, \"mtime\": %s, \"problems\": %s, \"warnings\": %s}\n",
               first ? "" : ",", item.index,
               item.name.empty() ? "null" : JsonString(Narrow(item.name)).c_str(),
               JsonString(StoredText(item)).c_str(), item.uncompressedSize, item.compressedSize,
               JsonList(AttributeWords(item.attributes)).c_str(),
               haveTime ? JsonString(when).c_str() : "null", JsonList(r.problems).c_str(),
               JsonList(r.warnings).c_str());
}

// Why an archive that did not open does not, in the words of the people who build packages.
const char* OpenProblem(const WString& path) {
  if (!platform::Exists(path)) return "no such file";
  if (platform::IsFolder(path)) return "is a folder";
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  if (!source) return "cannot be read";
  zip::OpenFailure failure = zip::OpenFailure::kNone;
  zip::ZipArchive::Open(std::move(source), nullptr, &failure);
  switch (failure) {
    case zip::OpenFailure::kNone:
      break;
    case zip::OpenFailure::kEmpty:
      return "empty file";
    case zip::OpenFailure::kTruncated:
      return "truncated (the end of the archive is missing)";
    case zip::OpenFailure::kNotZip:
      return "not a zip archive";
    case zip::OpenFailure::kZip64:
      return "ZIP64 archive (unsupported: sizes, offsets and counts must fit the 32-bit fields)";
    case zip::OpenFailure::kSpanned:
      return "part of a spanned or split archive (unsupported: make one single file)";
    case zip::OpenFailure::kInconsistent:
      return "damaged (the end record does not match the central directory)";
  }
  return "cannot be opened";
}

void ReportOpenFailure(const WString& path, std::FILE* err) {
  std::fprintf(err, "pkgtool: %s: %s\n", Narrow(path).c_str(), OpenProblem(path));
}

// "1 item", "2 items".
std::string Items(std::uint32_t n) { return std::to_string(n) + (n == 1 ? " item" : " items"); }

void ReportItem(std::FILE* err, const WString& path, const ItemReport& r) {
  for (const std::string& p : r.problems) {
    std::fprintf(err, "pkgtool: %s: item %d %s: %s\n", Narrow(path).c_str(), r.item.index,
                 DisplayName(r.item).c_str(), p.c_str());
  }
  for (const std::string& w : r.warnings) {
    std::fprintf(err, "pkgtool: %s: warning: item %d %s: %s\n", Narrow(path).c_str(), r.item.index,
                 StoredText(r.item).c_str(), w.c_str());
  }
}

// What the launcher does with items for their names, as check reports it: a later item of
// a name replaces the earlier one, and a file and a folder of one name cannot both install.
// The plan of the install decides with the same ItemNames.
class NameCheck {
 public:
  NameCheck(std::size_t rootUnits, std::size_t items) : rootUnits_(rootUnits), names_(items, 0) {}

  void Add(const zip::ZipItem& item, std::uint32_t result, ItemReport& r) {
    WString relative;
    switch (update::DecideName(item, result, rootUnits_, WString(), relative)) {
      case update::NameDecision::kUnsafe:
        return;  // reported as the item's own problem
      case update::NameDecision::kReserved:
        r.problems.push_back("name kept for the install's own files; skipped");
        return;
      case update::NameDecision::kTooLong:
        r.problems.push_back("path too long: " + std::to_string(rootUnits_ + relative.size()) +
                             " units with the install folder, at most " +
                             std::to_string(zip::kMaxPathUnits) + "; skipped");
        return;
      case update::NameDecision::kInstall:
        break;
    }
    if (relative.empty()) return;
    names_.Take(relative);
    const bool folder = (item.attributes & platform::kAttrFolder) != 0;
    // Every folder on the way is a folder of the package's too.
    for (std::size_t i = 0; i < names_.steps(); ++i) {
      const bool isFolder = folder || i + 1 < names_.steps();
      std::uint32_t earlier = 0;
      switch (names_.Meet(i, isFolder, earlier)) {
        case update::ItemNames::Meeting::kNew:
          names_.Add(i, isFolder, static_cast<std::uint32_t>(item.index));
          break;
        case update::ItemNames::Meeting::kSameFolder:
          break;
        case update::ItemNames::Meeting::kSameFile:
          r.warnings.push_back("replaces item " + std::to_string(earlier) +
                               " (the same name as Windows compares names)");
          break;
        case update::ItemNames::Meeting::kFileAndFolder:
          r.problems.push_back("a " + std::string(isFolder ? "file" : "folder") + " of item " +
                               std::to_string(earlier) + " has the same name");
          break;
      }
    }
  }

 private:
  std::size_t rootUnits_;
  update::ItemNames names_;
};

// What the archive carries for a signature, unchecked: list and check tell it, verify checks
// it.
update::CarriedSignature CarriedSignatureOf(const WString& path) {
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  if (!source) return {};
  return update::ReadSignature(*source);
}

std::string SignatureText(const update::CarriedSignature& s) {
  if (s.state == update::SignatureState::kPresent) {
    return "signed by key " + update::HexKeyId(s.keyId) + " (not checked: use pkgtool verify)";
  }
  return update::DescribeSignatureState(s.state);
}

std::string SignatureJson(const update::CarriedSignature& s) {
  using update::SignatureState;
  const char* state = "damaged";
  switch (s.state) {
    case SignatureState::kPresent:
      state = "signed";
      break;
    case SignatureState::kUnsigned:
      state = "unsigned";
      break;
    case SignatureState::kNotASignature:
      state = "comment";
      break;
    case SignatureState::kUnknownLayout:
      state = "unknown layout";
      break;
    default:
      break;
  }
  const bool signed_ = s.state == SignatureState::kPresent;
  return std::string("{\"state\": \"") + state +
         "\", \"key\": " + (signed_ ? JsonString(update::HexKeyId(s.keyId)) : "null") +
         ", \"text\": " + JsonString(SignatureText(s)) + "}";
}

// list and check: every item's record, and with `readData` its data through to the CRC-32
// and what the launcher would do with its name in an install folder of `rootUnits`; then
// what the archive carries for a signature.
int Report(const WString& path, bool readData, bool json, std::size_t rootUnits, std::FILE* out,
           std::FILE* err) {
  std::uint32_t rc = 0;
  std::unique_ptr<zip::ZipExtractor> ex = zip::ZipExtractor::Open(path, WString(), &rc);
  if (!ex) {
    ReportOpenFailure(path, err);
    return 2;
  }
  const update::CarriedSignature signature = CarriedSignatureOf(path);
  if (json) {
    std::fprintf(out, "{\"signature\": %s,\n \"items\": [\n", SignatureJson(signature).c_str());
  }
  std::uint32_t failed = 0;
  std::uint64_t bytes = 0;
  NameCheck names(rootUnits, ex->itemCount());
  for (std::uint32_t i = 0; i < ex->itemCount(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    ItemReport r;
    std::uint32_t result = ex->GetItem(index, r.item);
    r.item.index = index;
    if (readData) names.Add(r.item, result, r);
    if (result == zip::ExtractOk && readData) result = ex->TestItem(index);
    if (result != zip::ExtractOk) r.problems.push_back(zip::DescribeItemProblem(r.item, result));
    const std::string rewrites = result == zip::ExtractOk ? Rewrites(r.item) : std::string();
    if (!rewrites.empty()) r.warnings.push_back(rewrites + ", installs as " + Narrow(r.item.name));
    bytes += r.item.uncompressedSize;
    if (!r.problems.empty()) ++failed;

    if (json) {
      PrintJson(out, r, i == 0);
    } else if (!readData) {
      char when[32] = "-";
      zip::FormatIsoUtc(r.item.modificationTime, when, sizeof when);
      std::string words;
      for (const std::string& w : AttributeWords(r.item.attributes)) {
        words += (words.empty() ? "" : ",") + w;
      }
      std::fprintf(out, "%d %s %" PRIu32 " %s %s\n", index, words.empty() ? "-" : words.c_str(),
                   r.item.uncompressedSize, when, DisplayName(r.item).c_str());
    }
    ReportItem(err, path, r);
  }
  if (json) std::fputs(" ]}\n", out);
  if (failed != 0) {
    std::fprintf(err, "pkgtool: %s: %" PRIu32 " of %s would not install\n", Narrow(path).c_str(),
                 failed, Items(ex->itemCount()).c_str());
  } else if (readData && !json) {
    std::fprintf(out, "%s, %" PRIu64 " bytes, all installable\n", Items(ex->itemCount()).c_str(),
                 bytes);
  }
  if (!json) std::fprintf(out, "signature: %s\n", SignatureText(signature).c_str());
  return failed != 0 ? 1 : 0;
}

// Collects an outcome line as UTF-8, the way the launcher's log writes it in its code page.
struct Utf8Line {
  std::string text;
  Utf8Line& operator<<(const char* s) {
    text += s;
    return *this;
  }
  template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
  Utf8Line& operator<<(Number n) {
    text += std::to_string(n);
    return *this;
  }
  Utf8Line& operator<<(const WString& s) {
    text += Narrow(s);
    return *this;
  }
};

// Installs the package through the launcher's own install transaction: each item skipped for
// its name, or that rolled the install back, on `err`; the outcome line the launcher logs on
// `out` when the package installed, on `err` when it did not.
int InstallPackage(const WString& path, const WString& dest, std::FILE* out, std::FILE* err) {
  update::InstallOptions options;
  options.report = [&](const update::ItemReport& r) {
    const std::string why =
        r.fate == update::ItemFate::kReserved  ? "name kept for the install's own files"
        : r.fate == update::ItemFate::kTooLong ? "path too long in DEST (more than 259 units)"
                                               : zip::DescribeItemProblem(*r.item, r.result);
    std::fprintf(err, "pkgtool: %s: item %d %s: %s%s\n", Narrow(path).c_str(), r.index,
                 DisplayName(*r.item).c_str(), why.c_str(), r.skipped() ? "; skipped" : "");
  };
  const update::InstallOutcome outcome = update::InstallPackage(path, dest, options);
  const bool reopens = (outcome.result == update::InstallResult::kNotAnArchive ||
                        outcome.result == update::InstallResult::kUnreadable) &&
                       zip::ZipExtractor::Open(path, dest, nullptr) != nullptr;
  if (outcome.result == update::InstallResult::kUnreadable && !reopens) {
    ReportOpenFailure(path, err);
    return 2;
  }
  // One that opens now could not be read a moment ago: the disk's doing, told as the launcher
  // tells it below.
  if (outcome.result == update::InstallResult::kNotAnArchive) {
    if (reopens) {
      // The archive opens: it is the destination that does not fit the path buffer.
      std::fprintf(err, "pkgtool: %s: destination path too long\n", Narrow(dest).c_str());
    } else {
      ReportOpenFailure(path, err);
    }
    return 2;
  }
  if (outcome.recovery.result != update::RecoveryResult::kNothing) {
    Utf8Line line;
    update::WriteRecovery(line, outcome.recovery);
    std::fprintf(out, "%s\n", line.text.c_str());
  }
  Utf8Line line;
  // The fate the launcher would give the package, so that a team reads the same line.
  update::WriteOutcome(line, outcome, update::PackageFate(outcome));
  const bool installed = outcome.result == update::InstallResult::kInstalled;
  std::fprintf(installed ? out : err, "%s\n", line.text.c_str());
  if (outcome.result == update::InstallResult::kUnreadable) return 2;
  return installed && outcome.skipped == 0 ? 0 : 1;
}

// Finishes or undoes an interrupted install in `dest` as the launcher's next launch would.
int Recover(const WString& dest, std::FILE* out, std::FILE* err) {
  const update::RecoveryOutcome r = update::RecoverInterruptedInstall(dest);
  Utf8Line line;
  update::WriteRecovery(line, r);
  const bool ended =
      r.result != update::RecoveryResult::kIncomplete && r.result != update::RecoveryResult::kBusy;
  std::fprintf(ended ? out : err, "%s\n", line.text.c_str());
  return ended ? 0 : 1;
}

// A key file's text; false when it does not read or is too large to be a key.
bool ReadKeyFile(const WString& path, std::string& text) {
  constexpr std::uint64_t kLargestKeyFile = 1 << 16;
  platform::File file = platform::File::OpenForRead(path);
  std::uint64_t size = 0;
  if (!file || !file.Size(size) || size > kLargestKeyFile) return false;
  text.assign(static_cast<std::size_t>(size), '\0');
  return file.ReadAt(0, text.data(), text.size()) == static_cast<std::int64_t>(size);
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

// sign: the signature over the archive without its comment goes into a copy of it, which
// replaces the archive only once it checks out, so a failure at any point leaves the archive
// as it was.
int Sign(const WString& keyFile, const WString& path, std::FILE* out, std::FILE* err) {
  std::string pem;
  if (!ReadKeyFile(keyFile, pem)) return KeyFileError(err, keyFile, "cannot be read");
  update::PrivateKey key;
  const update::KeyFileResult keyRead = update::PrivateKeyFromPem(pem, key);
  pem.assign(pem.size(), '\0');
  if (keyRead != update::KeyFileResult::kOk) {
    return KeyFileError(err, keyFile, update::DescribeKeyFileResult(keyRead));
  }
  if (!OpensAsArchive(path, err)) return 2;
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  const update::CarriedSignature carried =
      source ? update::ReadSignature(*source) : update::CarriedSignature{};
  const std::string at = "pkgtool: " + Narrow(path) + ": ";
  switch (carried.state) {
    case update::SignatureState::kCommentMisfit:
      // Bytes behind the archive would stay unsigned, or be lost: the archive's maker must say.
      std::fprintf(err,
                   "%snot signed: the archive's comment does not end where the file does "
                   "(bytes after the archive, or a comment cut short)\n",
                   at.c_str());
      return 1;
    case update::SignatureState::kUnreadable:
    case update::SignatureState::kNotAnArchive:
      std::fprintf(err, "%s%s\n", at.c_str(), update::DescribeSignatureState(carried.state));
      return 2;
    case update::SignatureState::kUnsigned:
      break;
    case update::SignatureState::kPresent:
      std::fprintf(err, "%swarning: the signature by key %s is replaced\n", at.c_str(),
                   update::HexKeyId(carried.keyId).c_str());
      break;
    default:
      std::fprintf(err, "%swarning: the archive's comment is replaced by the signature\n",
                   at.c_str());
      break;
  }
  platform::Sha256Digest digest;
  platform::P256Signature signature;
  if (!update::SignedDigest(*source, carried.end, digest, nullptr)) {
    std::fprintf(err, "%scannot be read\n", at.c_str());
    return 2;
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
  const std::string comment = update::SignatureComment(key.publicKey.id, signature);
  bool done = WriteSigned(*source, carried.end, comment, temporary);
  source.reset();  // the rename must find the archive closed
  if (done) {
    std::unique_ptr<zip::ZipSource> written = zip::ZipSource::Open(temporary);
    done =
        written && update::VerifyPackage(*written, key.publicKey) == update::SignatureState::kValid;
  }
  if (!done || !platform::RenameFile(temporary, path, true)) {
    platform::RemoveFile(temporary);
    std::fprintf(err, "%sthe signed archive could not be written; the archive is unchanged\n",
                 at.c_str());
    return 2;
  }
  std::fprintf(out, "signed by key %s\n", update::HexKeyId(key.publicKey.id).c_str());
  return 0;
}

int Verify(const WString& keyFile, const WString& path, std::FILE* out, std::FILE* err) {
  std::string pem;
  if (!ReadKeyFile(keyFile, pem)) return KeyFileError(err, keyFile, "cannot be read");
  update::PublicKey key;
  const update::KeyFileResult keyRead = update::PublicKeyFromPem(pem, key);
  if (keyRead != update::KeyFileResult::kOk) {
    return KeyFileError(err, keyFile, update::DescribeKeyFileResult(keyRead));
  }
  if (!OpensAsArchive(path, err)) return 2;
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  const update::SignatureState state =
      source ? update::VerifyPackage(*source, key) : update::SignatureState::kUnreadable;
  const std::string at = "pkgtool: " + Narrow(path) + ": ";
  switch (state) {
    case update::SignatureState::kValid:
      std::fprintf(out, "signature valid: signed by key %s\n", update::HexKeyId(key.id).c_str());
      return 0;
    case update::SignatureState::kOtherKey:
      std::fprintf(err, "%s%s (%s), not by %s\n", at.c_str(), update::DescribeSignatureState(state),
                   update::HexKeyId(CarriedSignatureOf(path).keyId).c_str(),
                   update::HexKeyId(key.id).c_str());
      return 1;
    case update::SignatureState::kUnreadable:
    case update::SignatureState::kNotAnArchive:
    case update::SignatureState::kUnchecked:
      std::fprintf(err, "%s%s\n", at.c_str(), update::DescribeSignatureState(state));
      return 2;
    default:
      std::fprintf(err, "%s%s\n", at.c_str(), update::DescribeSignatureState(state));
      return 1;
  }
}

int UsageError(std::FILE* err, const char* what) {
  if (what) std::fprintf(err, "pkgtool: %s\n", what);
  std::fputs(kUsage, err);
  return 2;
}

}  // namespace

int Run(const std::vector<WString>& args, std::FILE* out, std::FILE* err) {
  bool json = false;
  std::optional<WString> installFolder;
  std::optional<WString> keyFile;
  std::vector<WString> operands;
  bool optionsEnd = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const WString& arg = args[i];
    if (optionsEnd || arg.empty() || arg[0] != WIDE('-') || arg == WIDE("-")) {
      operands.push_back(arg);
    } else if (arg == WIDE("--install-folder")) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        return UsageError(err, "--install-folder needs a folder");
      }
      installFolder = args[++i];
    } else if (arg == WIDE("--")) {
      optionsEnd = true;
    } else if (arg == WIDE("--help") || arg == WIDE("-h")) {
      std::fputs(kUsage, out);
      std::fputs(kHelp, out);
      return 0;
    } else if (arg == WIDE("--version")) {
      std::fputs("pkgtool " LAUNCHER_VERSION "\n", out);
      return 0;
    } else if (arg == WIDE("--json")) {
      json = true;
    } else if (arg == WIDE("--key")) {
      if (i + 1 == args.size()) return UsageError(err, "--key needs a file");
      keyFile = args[++i];
    } else if (arg.rfind(WIDE("--key="), 0) == 0) {
      keyFile = arg.substr(6);
    } else {
      return UsageError(err, ("unknown option " + Narrow(arg)).c_str());
    }
  }
  if (operands.empty()) return UsageError(err, nullptr);
  const WString& command = operands[0];
  const bool report = command == WIDE("list") || command == WIDE("check");
  const bool signing = command == WIDE("sign") || command == WIDE("verify");
  if (!report && !signing && command != WIDE("extract") && command != WIDE("recover")) {
    return UsageError(err, ("unknown command " + Narrow(command)).c_str());
  }
  if (keyFile.has_value() != signing) {
    return UsageError(err, signing ? "--key is needed" : "--key is for sign and verify only");
  }
  if (keyFile && keyFile->empty()) return UsageError(err, "the key file must not be empty");
  if (installFolder && command != WIDE("check")) {
    return UsageError(err, "--install-folder goes with check only");
  }
  if (report && operands.size() == 2) {
    // The folder with the separator the install adds; a drive root such as C:\ without one.
    std::size_t rootUnits = 3;
    if (installFolder) {
      rootUnits = installFolder->size() + (zip::IsSeparator(installFolder->back()) ? 0 : 1);
    }
    return Report(operands[1], command == WIDE("check"), json, rootUnits, out, err);
  }
  if (command == WIDE("extract") && operands.size() == 3 && !json) {
    if (operands[2].empty()) return UsageError(err, "DEST must not be empty");
    return InstallPackage(operands[1], operands[2], out, err);
  }
  if (command == WIDE("recover") && operands.size() == 2 && !json) {
    if (operands[1].empty()) return UsageError(err, "DEST must not be empty");
    return Recover(operands[1], out, err);
  }
  if (signing && operands.size() == 2 && !json) {
    return command == WIDE("sign") ? Sign(*keyFile, operands[1], out, err)
                                   : Verify(*keyFile, operands[1], out, err);
  }
  return UsageError(err, nullptr);
}

}  // namespace pkgtool
