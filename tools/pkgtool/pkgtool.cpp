#include "tools/pkgtool/pkgtool.h"

#include <cinttypes>
#include <string>

#include "update/install_transaction.h"
#include "zip/zip_extractor.h"
#include "zip/zip_time.h"

namespace pkgtool {
namespace {

using platform::WString;

// The name as the launcher sees it, or the stored bytes (non-printable ones escaped) when the
// name was refused, so a report always says which item it means.
std::string DisplayName(const zip::ZipItem& item) {
  std::string text;
  if (!item.name.empty() && platform::Utf16ToUtf8(item.name, text)) return text;
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

// Why an item would not install, in the words the package builders know.
std::string Problem(const zip::ZipItem& item, std::uint32_t result) {
  if (result == zip::ExtractUnsafeName) {
    return std::string("unsafe name (") + zip::DescribeNameVerdict(item.nameVerdict) + ")";
  }
  if (result == zip::ExtractOverlap) return zip::DescribeExtractResult(result);
  if (item.method != 0 && item.method != 8) {
    return "unsupported method " + std::to_string(item.method);
  }
  if (item.flags & 1) return "encrypted";
  if (result == zip::ExtractCorrupt || result == zip::ExtractReadFailed ||
      result == zip::ExtractInflateFailed) {
    return std::string("unreadable (") + zip::DescribeExtractResult(result) + ")";
  }
  return zip::DescribeExtractResult(result);
}

void ReportUnreadable(const WString& path, std::FILE* err) {
  std::string narrow;
  platform::Utf16ToUtf8(path, narrow);
  std::fprintf(err, "pkgtool: %s: not a readable archive\n", narrow.c_str());
}

std::unique_ptr<zip::ZipExtractor> OpenOrReport(const WString& path, const WString& root,
                                                std::FILE* err) {
  std::uint32_t rc = 0;
  auto ex = zip::ZipExtractor::Open(path, root, &rc);
  if (!ex) ReportUnreadable(path, err);
  return ex;
}

int List(const WString& path, std::FILE* out, std::FILE* err) {
  auto ex = OpenOrReport(path, WString(), err);
  if (!ex) return 2;
  int status = 0;
  for (std::uint32_t i = 0; i < ex->itemCount(); ++i) {
    zip::ZipItem item;
    const std::uint32_t rc = ex->GetItem(static_cast<std::int32_t>(i), item);
    char when[32] = "-";
    zip::FormatIsoUtc(item.modificationTime, when, sizeof when);
    std::fprintf(out, "%" PRIu32 " %02" PRIX32 " %" PRIu32 " %s %s", i, item.attributes,
                 item.uncompressedSize, when, DisplayName(item).c_str());
    if (rc != zip::ExtractOk) {
      std::fprintf(out, " [%s]", Problem(item, rc).c_str());
      status = 1;
    }
    std::fputc('\n', out);
  }
  return status;
}

int Check(const WString& path, std::FILE* out, std::FILE* err) {
  auto ex = OpenOrReport(path, WString(), err);
  if (!ex) return 2;
  int status = 0;
  for (std::uint32_t i = 0; i < ex->itemCount(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    zip::ZipItem item;
    std::uint32_t rc = ex->GetItem(index, item);
    if (rc == zip::ExtractOk) rc = ex->TestItem(index);
    if (rc == zip::ExtractOk) continue;
    std::fprintf(out, "%d %s: %s\n", index, DisplayName(item).c_str(), Problem(item, rc).c_str());
    status = 1;
  }
  return status;
}

// Collects an outcome line as UTF-8, the way the log writes it in its own code page.
struct Utf8Line {
  std::string text;
  Utf8Line& operator<<(const char* s) {
    text += s;
    return *this;
  }
  Utf8Line& operator<<(std::uint32_t n) {
    text += std::to_string(n);
    return *this;
  }
  Utf8Line& operator<<(std::int32_t n) {
    text += std::to_string(n);
    return *this;
  }
  Utf8Line& operator<<(const WString& s) {
    std::string utf8;
    platform::Utf16ToUtf8(s, utf8);
    text += utf8;
    return *this;
  }
};

int Extract(const WString& path, const WString& dest, std::FILE* out, std::FILE* err) {
  update::InstallOptions options;
  options.report = [out](const update::ItemReport& r) {
    const std::string why =
        r.reserved ? "name kept for the install's own files" : Problem(*r.item, r.result);
    std::fprintf(out, "%d %s: %s%s\n", r.index, DisplayName(*r.item).c_str(), why.c_str(),
                 r.skipped ? "; skipped" : "");
  };
  const update::InstallOutcome outcome = update::InstallPackage(path, dest, options);
  if (outcome.result == update::InstallResult::kNotAnArchive) {
    ReportUnreadable(path, err);
    return 2;
  }
  if (outcome.recovery.result != update::RecoveryResult::kNothing) {
    Utf8Line line;
    update::WriteRecovery(line, outcome.recovery);
    std::fprintf(out, "%s\n", line.text.c_str());
  }
  Utf8Line line;
  update::WriteOutcome(line, outcome);
  std::fprintf(out, "%s\n", line.text.c_str());
  return outcome.result == update::InstallResult::kInstalled && outcome.skipped == 0 ? 0 : 1;
}

void Usage(std::FILE* err) {
  std::fputs(
      "usage: pkgtool list ARCHIVE\n"
      "       pkgtool check ARCHIVE\n"
      "       pkgtool extract ARCHIVE DEST\n",
      err);
}

}  // namespace

int Run(const std::vector<WString>& args, std::FILE* out, std::FILE* err) {
  if (args.size() == 2 && args[0] == WIDE("list")) return List(args[1], out, err);
  if (args.size() == 2 && args[0] == WIDE("check")) return Check(args[1], out, err);
  if (args.size() == 3 && args[0] == WIDE("extract")) {
    if (args[2].empty()) {
      Usage(err);
      return 2;
    }
    return Extract(args[1], args[2], out, err);
  }
  Usage(err);
  return 2;
}

}  // namespace pkgtool
