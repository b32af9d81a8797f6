#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/text.h"

namespace platform {
namespace {

// Owns one iconv conversion descriptor.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (valid()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; false on any character that has no exact representation.
  bool Convert(const char* in, std::size_t inLen, std::string& out) {
    out.assign(inLen * 2 + 8, '\0');
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = inLen;
    std::size_t done = 0;
    for (;;) {
      char* dst = out.data() + done;
      std::size_t dstLeft = out.size() - done;
      const std::size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      done = out.size() - dstLeft;
      if (rc != static_cast<std::size_t>(-1)) {
        // A non-zero count means irreversible (inexact) conversions.
        if (rc != 0) return false;
        break;
      }
      if (errno != E2BIG) return false;
      out.resize(out.size() * 2);
    }
    out.resize(done);
    return true;
  }

 private:
  iconv_t cd_;
};

// The OEM page stands for 936 here, so that names from Chinese zip tools read the same.
bool IsChinese(CodePage page) { return page == CodePage::kChinese || page == CodePage::kOem; }

}  // namespace

bool WideToNarrow(WStringView in, CodePage page, std::string& out) {
  if (!IsChinese(page)) return Utf16ToUtf8(in, out);
  out.clear();
  if (in.empty()) return true;
  Iconv cv("CP936", "UTF-16LE");
  std::string bytes;
  bytes.reserve(in.size() * 2);
  for (const WChar c : in) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  if (!cv.valid() || !cv.Convert(bytes.data(), bytes.size(), out)) {
    out.clear();
    return false;
  }
  return true;
}

std::string WideToNarrowLossy(WStringView in, CodePage page) {
  std::string out;
  if (WideToNarrow(in, page, out)) return out;
  // Convert character by character so that only the unrepresentable ones become '?'.
  out.clear();
  std::string piece;
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::size_t n = 1;
    if (in[i] >= 0xD800 && in[i] <= 0xDBFF && i + 1 < in.size()) n = 2;
    if (WideToNarrow(in.substr(i, n), page, piece)) {
      out += piece;
    } else {
      out += '?';
    }
    i += n - 1;
  }
  return out;
}

bool CodePageHolds(WStringView text, CodePage page) {
  std::string narrow;
  // The ANSI page is UTF-8 here.
  if (page == CodePage::kAnsi || page == CodePage::kUtf8) return Utf16ToUtf8(text, narrow);
  if (IsChinese(page)) {
    WString back;
    return WideToNarrow(text, page, narrow) && NarrowToWide(narrow, page, back) && back == text;
  }
  if (text.empty()) return true;
  const std::string name = "CP" + std::to_string(static_cast<unsigned>(page));
  Iconv to(name.c_str(), "UTF-16LE");
  Iconv from("UTF-16LE", name.c_str());
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const WChar c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  std::string back;
  // iconv takes a lone surrogate as it comes; no Windows page holds one.
  std::string utf8;
  return Utf16ToUtf8(text, utf8) && to.valid() && from.valid() &&
         to.Convert(bytes.data(), bytes.size(), narrow) &&
         from.Convert(narrow.data(), narrow.size(), back) && back == bytes;
}

bool NarrowToWide(std::string_view in, CodePage page, WString& out) {
  if (!IsChinese(page)) return Utf8ToUtf16(in, out);
  out.clear();
  if (in.empty()) return true;
  Iconv cv("UTF-16LE", "CP936");
  std::string bytes;
  if (!cv.valid() || !cv.Convert(in.data(), in.size(), bytes) || bytes.size() % 2 != 0)
    return false;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    out += static_cast<WChar>(static_cast<unsigned char>(bytes[i]) |
                              (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return true;
}

}  // namespace platform
