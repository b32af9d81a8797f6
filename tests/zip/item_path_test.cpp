#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "tests/zip/test_support.h"
#include "zip/item_path.h"

namespace {

using zip::NameVerdict;
using ziptest::W;

struct NameCase {
  const char* stored;
  NameVerdict verdict;
  const char* cleaned;  // checked only when the verdict is kOk
};

// Every row is a name an archive may carry; the comment says what goes wrong without it.
const NameCase kNames[] = {
    {"dir/x.txt", NameVerdict::kOk, "dir/x.txt"},              // plain names pass untouched
    {"C:\\dir\\x.txt", NameVerdict::kOk, "dir\\x.txt"},        // drive letter kept -> absolute path
    {"/x/../y/z.txt", NameVerdict::kOk, "y/z.txt"},            // leading slash and mid-name parent
    {"a\\..\\b", NameVerdict::kOk, "b"},                       // backslash form of the parent step
    {"a/..\\b", NameVerdict::kOk, "b"},                        // mixed separators
    {"//server/share/x", NameVerdict::kOk, "server/share/x"},  // UNC form would leave the root
    {"C:C:/x", NameVerdict::kOk, "x"},                         // rules must repeat, not run once
    {"../evil", NameVerdict::kParentStep, ""},                 // leading parent step climbs out
    {"a/..", NameVerdict::kParentStep, ""},                    // trailing parent step
    {"..", NameVerdict::kParentStep, ""},                      // the name itself is the parent
    {"..\\..\\evil", NameVerdict::kOk, "evil"},                // a later step cuts the first
    {"a/.../b", NameVerdict::kTrailingDotOrSpace, ""},         // Windows folds "..." oddly
    {"..a/b", NameVerdict::kOk, "..a/b"},                      // near miss: dots inside a name
    {"a/file:stream", NameVerdict::kStreamOrDrive, ""},        // alternate data stream
    {"a/D:x", NameVerdict::kStreamOrDrive, ""},                // drive in a later step
    {"CON", NameVerdict::kDeviceName, ""},                     // device names open devices
    {"dir/nul.txt", NameVerdict::kDeviceName, ""},             // with an extension, any case
    {"Com1", NameVerdict::kDeviceName, ""},
    {"lpt9.log", NameVerdict::kDeviceName, ""},
    {"AUX .txt", NameVerdict::kDeviceName, ""},     // spaces before the dot ignored
    {"COM\xC2\xB9", NameVerdict::kDeviceName, ""},  // superscript one names a port too
    {"dir/com\xC2\xB2.txt", NameVerdict::kDeviceName, ""},
    {"LPT\xC2\xB3.log", NameVerdict::kDeviceName, ""},
    {"COM\xC2\xB2x", NameVerdict::kOk, "COM\xC2\xB2x"},        // near miss: longer stem
    {"COM\xE2\x81\xB4", NameVerdict::kOk, "COM\xE2\x81\xB4"},  // near miss: superscript four
    {"VELTMO~1.EXE", NameVerdict::kShortName, ""},    // 8.3 alias of Veltmora.exe on such volumes
    {"progra~1/x.txt", NameVerdict::kShortName, ""},  // in a folder step, any case
    {"VE1A2~12", NameVerdict::kShortName, ""},        // no extension, two-digit tail
    {"VELTMO~A.EXE", NameVerdict::kOk, "VELTMO~A.EXE"},      // near miss: no digit after '~'
    {"VELTMORA~1.EXE", NameVerdict::kOk, "VELTMORA~1.EXE"},  // near miss: nine-unit base
    {"a~1.text", NameVerdict::kOk, "a~1.text"},              // near miss: four-unit extension
    {"a~1.b.c", NameVerdict::kOk, "a~1.b.c"},                // near miss: two dots
    {"x.old~", NameVerdict::kOk, "x.old~"},                  // near miss: '~' without a digit
    {"COM0", NameVerdict::kOk, "COM0"},                      // near miss: not a device
    {"CONSOLE.txt", NameVerdict::kOk, "CONSOLE.txt"},        // near miss: longer stem
    {"a/b?.txt", NameVerdict::kBadCharacter, ""},            // wildcard in a name
    {"a\tb", NameVerdict::kBadCharacter, ""},                // control character
    {"name. ", NameVerdict::kTrailingDotOrSpace, ""},        // Windows drops the tail
    {"/", NameVerdict::kEmpty, ""},                          // nothing left
    {"C:", NameVerdict::kEmpty, ""},
    {"dir/", NameVerdict::kOk, "dir/"},  // folder names keep their separator
    {"\xC3\xA9t\xC3\xA9/\xE4\xB8\xAD.txt", NameVerdict::kOk, "\xC3\xA9t\xC3\xA9/\xE4\xB8\xAD.txt"},
    {"\xFF\xFE", NameVerdict::kNotUtf8, ""},  // undecodable bytes
};

TEST(ItemPathTest, CleansAndRefusesNames) {
  for (const NameCase& c : kNames) {
    platform::WString out;
    const std::string stored(c.stored);
    EXPECT_EQ(zip::CleanItemName(stored.data(), stored.size(), out), c.verdict) << c.stored;
    if (c.verdict == NameVerdict::kOk) {
      EXPECT_EQ(out, W(c.cleaned)) << c.stored;
    }
  }
}

// The OEM code page reads names that Chinese Windows zip tools write: 936 on POSIX builds,
// the system's own on Windows.
bool OemIsChinese() {
#ifdef _WIN32
  return GetOEMCP() == 936;
#else
  return true;
#endif
}

TEST(ItemPathTest, NamesWithoutTheUtf8FlagMayBeInTheOemCodePage) {
  struct Case {
    const char* stored;
    bool markedUtf8;
    NameVerdict verdict;
    const char* cleaned;  // UTF-8; checked for kOk where the OEM code page is 936
  } const cases[] = {
      // "中文.txt" in code page 936, as a Chinese zip tool stores it without the flag
      {"\xD6\xD0\xCE\xC4.txt", false, NameVerdict::kOk, "\xE4\xB8\xAD\xE6\x96\x87.txt"},
      // the same bytes claiming to be UTF-8 are not
      {"\xD6\xD0\xCE\xC4.txt", true, NameVerdict::kNotUtf8, ""},
      // valid UTF-8 stays UTF-8 whatever the flag says: never read twice
      {"\xC3\xA9.txt", false, NameVerdict::kOk, "\xC3\xA9.txt"},
      // the cleaning rules still apply to a name read in the OEM code page
      {"\xD6\xD0/../x", false, NameVerdict::kOk, "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    platform::WString out;
    const std::string stored(c.stored);
    EXPECT_EQ(zip::CleanItemName(stored.data(), stored.size(), out, c.markedUtf8), c.verdict);
    if (c.verdict == NameVerdict::kOk && OemIsChinese()) {
      EXPECT_EQ(out, W(c.cleaned));
    }
  }
  // Bytes that 936 cannot read either are refused.
  if (OemIsChinese()) {
    platform::WString out;
    EXPECT_EQ(zip::CleanItemName("\xFF\xFE", 2, out, false), NameVerdict::kNotUtf8);
  }
}

TEST(ItemPathTest, RefusesNamesBeyondThePathBuffer) {
  platform::WString out;
  // 259 bytes fit with the terminator; 260 would be cut into another name.
  const std::string fits(259, 'a'), tooLong(260, 'a');
  EXPECT_EQ(zip::CleanItemName(fits.data(), fits.size(), out), NameVerdict::kOk);
  EXPECT_EQ(zip::CleanItemName(tooLong.data(), tooLong.size(), out), NameVerdict::kTooLong);
}

TEST(ItemPathTest, ReportsWhatCleaningDropped) {
  struct Case {
    const char* stored;
    unsigned rewrites;
  } const cases[] = {
      {"dir/x.txt", 0},  // an untouched name must not warn
      {"C:\\dir\\x.txt", zip::kDroppedDrive | zip::kDroppedLeadingSeparator},  // else silent
      {"\\x", zip::kDroppedLeadingSeparator},  // backslash form of the leading separator
      {"C:x", zip::kDroppedDrive},             // a drive without a separator behind it
      {"/x/../y/z.txt", zip::kDroppedLeadingSeparator | zip::kDroppedBeforeParentStep},
      {"a/../b", zip::kDroppedBeforeParentStep},  // "a/" is lost without a word otherwise
      {"..a/b", 0},                               // near miss: dots inside a name
      {"../evil", 0},                             // refused, not rewritten
  };
  for (const auto& c : cases) {
    platform::WString out;
    unsigned rewrites = 99;
    const std::string stored(c.stored);
    zip::CleanItemName(stored.data(), stored.size(), out, true, &rewrites);
    EXPECT_EQ(rewrites, c.rewrites) << c.stored;
  }
}

TEST(ItemPathTest, TargetNamesMustBeRelative) {
  EXPECT_EQ(zip::CheckRelativePath(W("/etc/passwd")), NameVerdict::kAbsolute);
  EXPECT_EQ(zip::CheckRelativePath(W("\\x")), NameVerdict::kAbsolute);
  EXPECT_EQ(zip::CheckRelativePath(W("C:x")), NameVerdict::kStreamOrDrive);
  EXPECT_EQ(zip::CheckRelativePath(W("a/../b")), NameVerdict::kParentStep);
  EXPECT_EQ(zip::CheckRelativePath(W("a/b")), NameVerdict::kOk);
}

}  // namespace
