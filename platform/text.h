// Wide text is UTF-16 on every platform. On Windows the unit is wchar_t, so strings pass
// straight to the W functions; elsewhere it is char16_t. Lengths are always in UTF-16 units.
#pragma once

#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
using WChar = wchar_t;
#define WIDE(s) L##s
#else
using WChar = char16_t;
#define WIDE(s) u##s
#endif
using WString = std::basic_string<WChar>;
using WStringView = std::basic_string_view<WChar>;

// The code pages the launcher meets. kAnsi is the system's ANSI code page on Windows and
// UTF-8 elsewhere; kOem the system's OEM code page on Windows (the one zip tools of the
// system write names in) and code page 936 elsewhere, the OEM page of Chinese Windows.
enum class CodePage : unsigned { kAnsi = 0, kOem = 1, kChinese = 936, kUtf8 = 65001 };

// Converts UTF-16 to `page`. Returns false and leaves `out` empty when a character has no
// exact representation in `page` (no best-fit substitutes) or the input is not valid UTF-16.
bool WideToNarrow(WStringView in, CodePage page, std::string& out);

// Converts UTF-16 to `page`: characters without an exact representation become the code
// page's default character ('?'), never a best-fit look-alike. Never fails.
std::string WideToNarrowLossy(WStringView in, CodePage page);

// Whether `page` holds `text` exactly: every character converts without the default character
// or a best-fit look-alike and converts back to itself. Lone surrogates are held by no page;
// empty text by every page. `page` may also be a code page number the enumerators do not name
// (1252, say), taken as that page on every platform.
bool CodePageHolds(WStringView text, CodePage page);

// Converts text in `page` to UTF-16. Returns false and leaves `out` empty on invalid input.
bool NarrowToWide(std::string_view in, CodePage page, WString& out);

// Strict UTF-8 <-> UTF-16, identical on every platform (surrogates must pair, no overlong
// forms). The code-page functions above use these for CodePage::kUtf8.
bool Utf16ToUtf8(WStringView in, std::string& out);
bool Utf8ToUtf16(std::string_view in, WString& out);

// `text` with each unit in upper case as NTFS compares file names (its uppercase table, unit by
// unit, whatever the locale or the running system): two names that give the same text here
// name the same file there.
WString FoldCase(WStringView text);

}  // namespace platform
