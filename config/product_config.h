// Reading "ProductConfig.xml": the desktop shortcut names and the configured arguments.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/text.h"

struct ShortcutNames {
  platform::WString shortcut_cn;      // current link name (no ".lnk"), Chinese display language
  platform::WString shortcut_en;      // current link name, English display language
  platform::WString shortcut_new_cn;  // name the link is to have from now on, Chinese
  platform::WString shortcut_new_en;  // name the link is to have from now on, English
};

// Size of the text buffers below, terminator included: a value holds at most 259 units (bytes).
inline constexpr std::size_t kConfigTextUnits = 260;

// Files larger than this are refused rather than loaded whole into memory.
inline constexpr long long kMaxConfigFileBytes = 1024 * 1024;

// Returns true when the file at `path` exists, loads and parses, and has a root element.
// Fills `names` (a later element replaces an earlier value) and appends to `args` in
// document order; on false neither is touched. A null path, a path that has no exact code
// page 936 form or needs more than 259 bytes in it, and a file over kMaxConfigFileBytes give
// false. A value that is not valid UTF-8 or needs 260 or more UTF-16 units is skipped whole.
bool ReadProductConfig(const platform::WChar* path, ShortcutNames& names,
                       std::vector<platform::WString>& args);

// Converts null-terminated UTF-8 `utf8` into `out`. Null input: false, `out` untouched.
// Otherwise `out` is always terminated: it holds the whole value, or is empty when the input
// is not valid UTF-8 or its UTF-16 form needs 260 or more units (never a value cut short).
// Returns true when `out` is non-empty.
bool Utf8ToWide(const char* utf8, platform::WChar (&out)[kConfigTextUnits]);

// Converts null-terminated `wide` to code page 936 into `out`. Null input: false, `out`
// untouched. Otherwise `out` is always terminated: it holds the whole text, or is empty when
// a character has no exact code page 936 form or the text needs more than 259 bytes.
// Returns true when `out` is non-empty.
bool WideToCp936(const platform::WChar* wide, char (&out)[kConfigTextUnits]);
