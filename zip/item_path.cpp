#include "zip/item_path.h"

#include <string>

namespace zip {
namespace {

using platform::WChar;
using platform::WString;
using platform::WStringView;

bool IsDeviceName(WStringView step) {
  // Windows maps these names to devices whatever follows the first dot, and ignores spaces
  // before it.
  WStringView stem = step.substr(0, step.find(WIDE('.')));
  while (!stem.empty() && stem.back() == WIDE(' ')) stem.remove_suffix(1);
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* n : kNames) {
    if (EqualsAsciiNoCase(stem, n)) return true;
  }
  if (stem.size() == 4 && (EqualsAsciiNoCase(stem.substr(0, 3), "COM") ||
                           EqualsAsciiNoCase(stem.substr(0, 3), "LPT"))) {
    // Windows counts the superscript digits one, two and three among the port numbers.
    const WChar n = stem[3];
    return (n >= WIDE('1') && n <= WIDE('9')) || n == 0x00B9 || n == 0x00B2 || n == 0x00B3;
  }
  return false;
}

bool IsDigit(WChar c) { return c >= WIDE('0') && c <= WIDE('9'); }

// A step of 8.3 shape (up to eight units, then at most one dot and three more) with a '~'
// before a digit may be the short name of another file on a volume that makes short names:
// VELTMO~1.EXE can be Veltmora.exe itself.
bool IsShortNameForm(WStringView step) {
  const std::size_t dot = step.find(WIDE('.'));
  const WStringView base = step.substr(0, dot);
  if (base.size() > 8) return false;
  if (dot != WStringView::npos) {
    const WStringView extension = step.substr(dot + 1);
    if (extension.size() > 3 || extension.find(WIDE('.')) != WStringView::npos) return false;
  }
  for (std::size_t i = 0; i + 1 < base.size(); ++i) {
    if (base[i] == WIDE('~') && IsDigit(base[i + 1])) return true;
  }
  return false;
}

NameVerdict CheckStep(WStringView step) {
  if (step.empty() || step == WIDE(".")) return NameVerdict::kOk;
  if (step == WIDE("..")) return NameVerdict::kParentStep;
  for (WChar c : step) {
    if (c == WIDE(':')) return NameVerdict::kStreamOrDrive;
    if (c < 0x20 || c == WIDE('<') || c == WIDE('>') || c == WIDE('"') || c == WIDE('|') ||
        c == WIDE('?') || c == WIDE('*')) {
      return NameVerdict::kBadCharacter;
    }
  }
  if (step.back() == WIDE('.') || step.back() == WIDE(' ')) return NameVerdict::kTrailingDotOrSpace;
  if (IsDeviceName(step)) return NameVerdict::kDeviceName;
  if (IsShortNameForm(step)) return NameVerdict::kShortName;
  return NameVerdict::kOk;
}

}  // namespace

bool EqualsAsciiNoCase(WStringView text, const char* upper) {
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const WChar c = text[i];
    const WChar folded = (c >= WIDE('a') && c <= WIDE('z')) ? static_cast<WChar>(c - 32) : c;
    if (upper[i] == '\0' || folded != static_cast<WChar>(upper[i])) return false;
  }
  return upper[i] == '\0';
}

const char* DescribeNameVerdict(NameVerdict verdict) {
  switch (verdict) {
    case NameVerdict::kOk:
      return "ok";
    case NameVerdict::kTooLong:
      return "name too long";
    case NameVerdict::kNotUtf8:
      return "name is not UTF-8";
    case NameVerdict::kEmpty:
      return "empty name";
    case NameVerdict::kAbsolute:
      return "absolute path";
    case NameVerdict::kParentStep:
      return "parent folder step";
    case NameVerdict::kStreamOrDrive:
      return "drive or stream colon";
    case NameVerdict::kDeviceName:
      return "device name";
    case NameVerdict::kShortName:
      return "8.3 short name form";
    case NameVerdict::kBadCharacter:
      return "character not allowed in names";
    case NameVerdict::kTrailingDotOrSpace:
      return "step ends in a dot or space";
  }
  return "unknown";
}

NameVerdict CleanItemName(const char* stored, std::size_t length, WString& out, bool markedUtf8,
                          unsigned* rewrites) {
  unsigned dropped = 0;
  if (rewrites) *rewrites = 0;
  out.clear();
  if (length > kMaxPathUnits) return NameVerdict::kTooLong;
  const std::string_view bytes(stored, length);
  if (!platform::Utf8ToUtf16(bytes, out) &&
      (markedUtf8 || !platform::NarrowToWide(bytes, platform::CodePage::kOem, out))) {
    out.clear();
    return NameVerdict::kNotUtf8;
  }
  if (out.size() > kMaxPathUnits) return NameVerdict::kTooLong;

  static const WChar* const kParentPatterns[] = {WIDE("\\..\\"), WIDE("\\../"), WIDE("/../"),
                                                 WIDE("/..\\")};
  for (;;) {
    if (out.size() >= 2 && out[1] == WIDE(':')) {
      out.erase(0, 2);
      dropped |= kDroppedDrive;
      continue;
    }
    if (!out.empty() && IsSeparator(out[0])) {
      out.erase(0, 1);
      dropped |= kDroppedLeadingSeparator;
      continue;
    }
    bool cut = false;
    for (const WChar* pattern : kParentPatterns) {
      const std::size_t at = out.find(pattern);
      if (at != WString::npos) {
        out.erase(0, at + 4);
        dropped |= kDroppedBeforeParentStep;
        cut = true;
        break;
      }
    }
    if (!cut) break;
  }
  if (rewrites) *rewrites = dropped;
  if (out.empty()) return NameVerdict::kEmpty;
  return CheckRelativePath(out);
}

NameVerdict CheckRelativePath(WStringView path) {
  if (path.size() > kMaxPathUnits) return NameVerdict::kTooLong;
  if (!path.empty() && IsSeparator(path[0])) return NameVerdict::kAbsolute;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const NameVerdict v = CheckStep(path.substr(start, end - start));
    if (v != NameVerdict::kOk) return v;
    start = end + 1;
  }
  return NameVerdict::kOk;
}

}  // namespace zip
