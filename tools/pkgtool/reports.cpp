#include "tools/pkgtool/commands.h"

#include <cinttypes>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "signing/key_files.h"
#include "tools/pkgtool/name_check.h"
#include "zip/zip_extractor.h"
#include "zip/zip_time.h"

namespace pkgtool {

using platform::WString;

namespace {

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

std::string SignatureText(const signing::CarriedSignature& s) {
  if (s.state == signing::SignatureState::kPresent) {
    return "signed by key " + signing::HexKeyId(s.keyId) + " (" + DescribeRelease(s.release) +
           "; not checked: use pkgtool verify)";
  }
  return signing::DescribeSignatureState(s.state);
}

std::string SignatureJson(const signing::CarriedSignature& s) {
  using signing::SignatureState;
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
  const bool numbered = signed_ && s.release.numbered();
  return std::string("{\"state\": \"") + state +
         "\", \"key\": " + (signed_ ? JsonString(signing::HexKeyId(s.keyId)) : "null") +
         ", \"product\": " + (numbered ? JsonString(s.release.product) : "null") +
         ", \"sequence\": " + (numbered ? std::to_string(s.release.sequence) : "null") +
         ", \"text\": " + JsonString(SignatureText(s)) + "}";
}

}  // namespace

std::string Narrow(const WString& text) {
  std::string narrow;
  platform::Utf16ToUtf8(text, narrow);
  return narrow;
}

std::string DisplayName(const zip::ZipItem& item) {
  if (!item.name.empty()) return Narrow(item.name);
  return StoredText(item);
}

void ReportOpenFailure(const WString& path, std::FILE* err) {
  std::fprintf(err, "pkgtool: %s: %s\n", Narrow(path).c_str(), OpenProblem(path));
}

signing::CarriedSignature CarriedSignatureOf(const WString& path) {
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  if (!source) return {};
  return signing::ReadSignature(*source);
}

int Report(const WString& path, bool readData, bool json, std::size_t rootUnits, std::FILE* out,
           std::FILE* err) {
  std::uint32_t rc = 0;
  std::unique_ptr<zip::ZipExtractor> ex = zip::ZipExtractor::Open(path, WString(), &rc);
  if (!ex) {
    ReportOpenFailure(path, err);
    return 2;
  }
  const signing::CarriedSignature signature = CarriedSignatureOf(path);
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
    if (readData) names.Add(r.item, result, r.problems, r.warnings);
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

}  // namespace pkgtool
