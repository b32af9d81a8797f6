// The one place that turns a stored item name into a path under the extraction root, and
// refuses every name that could end up anywhere else.
#pragma once

#include <cstddef>

#include "platform/text.h"

namespace zip {

// Longest item name in UTF-16 units, and the longest root + name; one unit of the 260-unit
// path buffer is kept for the terminator.
inline constexpr std::size_t kMaxPathUnits = 259;

enum class NameVerdict {
  kOk,
  kTooLong,            // 260 stored bytes or more, or more than 259 units once decoded
  kNotUtf8,            // not valid UTF-8 (nor, without the UTF-8 flag, the OEM code page)
  kEmpty,              // nothing left once drive and leading separators are dropped
  kAbsolute,           // starts with a separator or a drive (target names only)
  kParentStep,         // a ".." step, which would climb out of the root
  kStreamOrDrive,      // a ':' in a step: a drive or an alternate data stream on Windows
  kDeviceName,         // CON, NUL, AUX, PRN, COM/LPT 1-9 or superscript 1-3; any extension, case
  kShortName,          // 8.3 form with '~' before a digit (VELTMO~1.EXE): may alias another file
  kBadCharacter,       // a control character or one of < > " | ? * that Windows refuses
  kTrailingDotOrSpace  // Windows silently drops these, so the file would get another name
};

// A short English description of `verdict` for reports ("parent step", ...).
const char* DescribeNameVerdict(NameVerdict verdict);

// What cleaning changed in a name (bits), for the people who build packages: such an item
// installs under another name than the one it was stored with.
enum NameRewrite : unsigned {
  kDroppedDrive = 1,             // a leading drive letter and colon
  kDroppedLeadingSeparator = 2,  // a leading '/' or '\'
  kDroppedBeforeParentStep = 4,  // everything up to a "/../"-type step in the middle
};

// Decodes the stored name and cleans it: drops a leading drive letter and leading separators,
// and everything up to a "/../"-type step in the middle, again and again until none applies.
// Separators stay as stored. `out` receives the cleaned name even when the verdict is a
// refusal (for reports); only kOk names are safe. A name that is valid UTF-8 is read as
// UTF-8; one that is not, from an entry without the UTF-8 flag (`markedUtf8` false), is read
// in the OEM code page, as the zip tools of Chinese Windows write names. `rewrites`, when
// given, receives the NameRewrite bits of what was dropped.
NameVerdict CleanItemName(const char* stored, std::size_t length, platform::WString& out,
                          bool markedUtf8 = true, unsigned* rewrites = nullptr);

// Checks a relative path that will be joined to the root: every refusal above that applies
// to an already clean name, plus kAbsolute. An empty path is kOk (it names the root).
NameVerdict CheckRelativePath(platform::WStringView path);

inline bool IsSeparator(platform::WChar c) { return c == WIDE('/') || c == WIDE('\\'); }

// True when `text` equals `upper`, an ASCII text in capitals, ignoring the case of ASCII
// letters (as Windows compares the names the rules care about).
bool EqualsAsciiNoCase(platform::WStringView text, const char* upper);

}  // namespace zip
