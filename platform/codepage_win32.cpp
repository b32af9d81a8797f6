#include <windows.h>

#include <climits>

#include "platform/text.h"

namespace platform {
namespace {

UINT ToWin32(CodePage page) {
  if (page == CodePage::kAnsi) return CP_ACP;
  if (page == CodePage::kOem) return CP_OEMCP;
  return static_cast<UINT>(page);
}

// Best-fit mapping would turn characters a code page lacks into look-alikes it holds (a
// fullwidth solidus into '/'): text the user never wrote, path separators among it. UTF-8
// has nothing to fit and refuses the flag, also when it is the ANSI code page.
DWORD NoBestFit(CodePage page) {
  const UINT cp = page == CodePage::kAnsi ? GetACP() : static_cast<UINT>(page);
  return cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
}

}  // namespace

bool WideToNarrow(WStringView in, CodePage page, std::string& out) {
  if (page == CodePage::kUtf8) return Utf16ToUtf8(in, out);
  out.clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX / 4) return false;
  const int inLen = static_cast<int>(in.size());
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(ToWin32(page), NoBestFit(page), in.data(), inLen, nullptr, 0,
                                       nullptr, &usedDefault);
  if (size <= 0 || usedDefault) return false;
  out.resize(static_cast<std::size_t>(size));
  if (WideCharToMultiByte(ToWin32(page), NoBestFit(page), in.data(), inLen, out.data(), size,
                          nullptr, &usedDefault) != size ||
      usedDefault) {
    out.clear();
    return false;
  }
  return true;
}

std::string WideToNarrowLossy(WStringView in, CodePage page) {
  std::string out;
  if (in.empty() || in.size() > INT_MAX / 4) return out;
  const UINT cp = ToWin32(page);
  const DWORD flags = NoBestFit(page);
  const int inLen = static_cast<int>(in.size());
  const int size = WideCharToMultiByte(cp, flags, in.data(), inLen, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return out;
  out.resize(static_cast<std::size_t>(size));
  const int written =
      WideCharToMultiByte(cp, flags, in.data(), inLen, out.data(), size, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

bool CodePageHolds(WStringView text, CodePage page) {
  if (text.empty()) return true;
  const UINT cp = page == CodePage::kAnsi ? GetACP() : ToWin32(page);
  std::string narrow;
  if (cp == CP_UTF8) return Utf16ToUtf8(text, narrow);
  if (text.size() > INT_MAX / 4) return false;
  const int inLen = static_cast<int>(text.size());
  // The default-character flag catches what the page lacks; the way back catches a character
  // the conversion changed all the same (a look-alike some page has no flag for).
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, text.data(), inLen, nullptr, 0,
                                       nullptr, &usedDefault);
  if (size <= 0 || usedDefault) return false;
  narrow.resize(static_cast<std::size_t>(size));
  if (WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, text.data(), inLen, narrow.data(), size,
                          nullptr, &usedDefault) != size ||
      usedDefault) {
    return false;
  }
  WString back;
  return NarrowToWide(narrow, static_cast<CodePage>(cp), back) && back == text;
}

bool NarrowToWide(std::string_view in, CodePage page, WString& out) {
  if (page == CodePage::kUtf8) return Utf8ToUtf16(in, out);
  out.clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX) return false;
  const int inLen = static_cast<int>(in.size());
  const int size =
      MultiByteToWideChar(ToWin32(page), MB_ERR_INVALID_CHARS, in.data(), inLen, nullptr, 0);
  if (size <= 0) return false;
  out.resize(static_cast<std::size_t>(size));
  if (MultiByteToWideChar(ToWin32(page), MB_ERR_INVALID_CHARS, in.data(), inLen, out.data(),
                          size) != size) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace platform
