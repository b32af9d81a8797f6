#include "launcher/command_text.h"

#include <gtest/gtest.h>

#include "launcher/launch_paths.h"

namespace launcher {
namespace {

using platform::WString;

struct CommandCase {
  const char* why;
  const platform::WChar* commandText;
  bool forceRun;
  bool hasUrl;
  const platform::WChar* base;  // what the client gets before " IsAdmin" and arguments
};

const CommandCase kCommandCases[] = {
    {"prefix at the very start is removed", WIDE("forcerun:a b"), true, false, WIDE("a b")},
    {"prefix elsewhere is ordinary text", WIDE("a forcerun:b"), false, false, WIDE("a forcerun:b")},
    {"prefix is case-sensitive", WIDE("FORCERUN:x"), false, false, WIDE("FORCERUN:x")},
    {"a leading blank defeats the prefix", WIDE(" forcerun:x"), false, false, WIDE(" forcerun:x")},
    {"prefix alone leaves an empty text", WIDE("forcerun:"), true, false, WIDE("")},
    {"empty text", WIDE(""), false, false, WIDE("")},
    {"quoted URL keeps its closing quote", WIDE("\"quorvane://join/5\""), false, true,
     WIDE("join/5\"")},
    {"text before the URL is dropped", WIDE("x quorvane://a quorvane://b"), false, true,
     WIDE("a%20quorvane://b")},
    // The shell hands the handler a link in whatever case and form the page wrote it: both
    // reached the elevated client unescaped.
    {"scheme in upper case is a URL", WIDE("QUORVANE://a b"), false, true, WIDE("a%20b")},
    {"scheme without slashes is a URL", WIDE("quorvane:a b"), false, true, WIDE("a%20b")},
    {"near miss: no colon, no URL", WIDE("quorvane//a b"), false, false, WIDE("quorvane//a b")},
    {"URL after the prefix", WIDE("forcerun:quorvane://live/42"), true, true, WIDE("live/42")},
    {"text ending right after the scheme", WIDE("\"quorvane://"), false, true, WIDE("")},
    {"prefix inside a URL stays", WIDE("quorvane://forcerun:x"), false, true, WIDE("forcerun:x")},
    // A link's blanks, tabs, quotation marks and control characters would split the client's
    // command line into arguments of the link's choosing; only the shell's closing quote stays.
    {"a blank in the URL adds no argument", WIDE("\"quorvane://room/1 --evil=1\""), false, true,
     WIDE("room/1%20--evil=1\"")},
    {"a tab in the URL adds no argument", WIDE("quorvane://a\t--evil"), false, true,
     WIDE("a%09--evil")},
    {"an inner quotation mark cannot close the shell's quoting",
     WIDE("\"quorvane://a\" --evil \"b\""), false, true, WIDE("a%22%20--evil%20%22b\"")},
    {"only the one closing quotation mark stays", WIDE("\"quorvane://a\"\""), false, true,
     WIDE("a%22\"")},
    {"a forged administrator marker stays inside the URL",
     WIDE("\"quorvane://room/1 --evil=1 IsAdmin\""), false, true,
     WIDE("room/1%20--evil=1%20IsAdmin\"")},
    {"control characters, upper-case hex", WIDE("quorvane://a\r\nb\x1f\x7f"), false, true,
     WIDE("a%0D%0Ab%1F%7F")},
    {"an escape already in the URL is kept as it is", WIDE("\"quorvane://a%41b%20c\""), false, true,
     WIDE("a%41b%20c\"")},
    // (In UTF-8, which holds every character; the code pages' rows are below.)
    {"non-ASCII text passes unchanged", WIDE("\"quorvane://live/\u76f4\u3000\u00a0\""), false, true,
     WIDE("live/\u76f4\u3000\u00a0\"")},
    {"text without a URL keeps its blanks and quotes", WIDE("a \"b\"\tc"), false, false,
     WIDE("a \"b\"\tc")},
};

TEST(CommandTextTest, ReadsPrefixAndUrlAsTheShellPassesThem) {
  for (const CommandCase& c : kCommandCases) {
    SCOPED_TRACE(c.why);
    const CommandText command = ParseCommandText(c.commandText);
    EXPECT_EQ(command.forceRun, c.forceRun);
    EXPECT_EQ(command.schemePosition.has_value(), c.hasUrl);
    EXPECT_TRUE(ParameterBase(command, platform::CodePage::kUtf8) == WString(c.base));
  }
}

// The pages of the two Windows test passes, named by number: each row runs in both builds and
// both passes, whatever the system's own ANSI code page.
constexpr auto kWestern = static_cast<platform::CodePage>(1252);
constexpr auto kChinese = platform::CodePage::kChinese;

TEST(CommandTextTest, ALinkCannotAddArgumentsWhateverItsSpellingOrCodePage) {
  struct Row {
    const char* why;
    platform::CodePage page;
    const platform::WChar* commandText;
    const platform::WChar* base;
  } const rows[] = {
      // the client's argv got IsAdmin and "y" as arguments of their own
      {"upper-case scheme", kWestern, WIDE("\"QUORVANE://x\" IsAdmin \"y\""),
       WIDE("x%22%20IsAdmin%20%22y\"")},
      {"scheme without slashes", kWestern, WIDE("\"quorvane:x\" IsAdmin \"y\""),
       WIDE("x%22%20IsAdmin%20%22y\"")},
      {"mixed case, one slash kept as the URL's", kWestern, WIDE("qUoRvAnE:/x"), WIDE("/x")},
      // best fit made blanks of these in an ANSI client: "x\u2002IsAdmin" gave it "x IsAdmin"
      {"en space under 1252", kWestern, WIDE("quorvane://x\u2002IsAdmin"),
       WIDE("x%E2%80%82IsAdmin")},
      {"ideographic space under 1252", kWestern, WIDE("quorvane://x\u3000IsAdmin"),
       WIDE("x%E3%80%80IsAdmin")},
      // ... and a quotation mark, which closed the shell's quoting
      {"fullwidth quotation mark under 1252", kWestern, WIDE("quorvane://x\uff02 IsAdmin"),
       WIDE("x%EF%BC%82%20IsAdmin")},
      {"fullwidth reverse solidus under 1252", kWestern, WIDE("quorvane://x\uff3c"),
       WIDE("x%EF%BC%BC")},
      {"Chinese under 1252", kWestern, WIDE("quorvane://\u76f4"), WIDE("%E7%9B%B4")},
      {"near miss: a character 1252 holds passes", kWestern, WIDE("quorvane://caf\u00e9\u00a0"),
       WIDE("caf\u00e9\u00a0")},
      {"a character outside the BMP under 1252", kWestern, WIDE("quorvane://\U0001F600"),
       WIDE("%F0%9F%98%80")},
      {"a lone surrogate becomes the replacement character", kWestern,
       WIDE("quorvane://a\xD800") WIDE("b"), WIDE("a%EF%BF%BDb")},
      {"Chinese under 936 passes unchanged", kChinese, WIDE("\"quorvane://live/\u76f4\u64ad\""),
       WIDE("live/\u76f4\u64ad\"")},
      {"ideographic space under 936 is held and passes", kChinese, WIDE("quorvane://\u3000"),
       WIDE("\u3000")},
      {"en space under 936", kChinese, WIDE("quorvane://x\u2002y"), WIDE("x%E2%80%82y")},
      {"Hangul under 936", kChinese, WIDE("quorvane://\uac00"), WIDE("%EA%B0%80")},
      // the client's parser read \" as a quotation mark inside the argument
      {"a URL part ending in a backslash", kWestern, WIDE("\"quorvane://x\\\""), WIDE("x%5C\"")},
      {"a backslash inside the URL part", kChinese, WIDE("quorvane://a\\b"), WIDE("a%5Cb")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const CommandText command = ParseCommandText(row.commandText);
    ASSERT_TRUE(command.schemePosition.has_value());
    EXPECT_TRUE(ParameterBase(command, row.page) == WString(row.base));
  }
}

// The one place that says whether a code page holds text exactly, for every page the launcher
// meets: the system's own ANSI page, 1252 and 936 by number, UTF-8.
TEST(CommandTextTest, CodePageHoldsOnlyWhatRoundTripsExactly) {
  struct Row {
    const char* why;
    platform::CodePage page;
    WString text;
    bool holds;
  } const rows[] = {
      {"ASCII in 1252", kWestern, WIDE("a \"\\"), true},
      {"e acute in 1252", kWestern, WIDE("\u00e9"), true},
      // best fit would give ' ', ' ' and '"'
      {"en space not in 1252", kWestern, WIDE("\u2002"), false},
      {"ideographic space not in 1252", kWestern, WIDE("\u3000"), false},
      {"fullwidth quotation mark not in 1252", kWestern, WIDE("\uff02"), false},
      {"one foreign character in a held text", kWestern, WIDE("ab\u4e2dc"), false},
      {"Chinese in 936", kChinese, WIDE("\u76f4\u64ad"), true},
      {"Hangul not in 936", kChinese, WIDE("\uac00"), false},
      {"a lone surrogate in no page", platform::CodePage::kUtf8, WString(1, 0xD800), false},
      {"a pair in UTF-8", platform::CodePage::kUtf8, WIDE("\U0001F600"), true},
      {"empty text in any page", kWestern, WIDE(""), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(platform::CodePageHolds(row.text, row.page), row.holds);
  }
}

TEST(CommandTextTest, SchemePositionCountsFromTheTextWithoutThePrefix) {
  const CommandText command = ParseCommandText(WIDE("forcerun:ab quorvane://x"));
  ASSERT_TRUE(command.schemePosition.has_value());
  EXPECT_EQ(*command.schemePosition, 3u);
}

struct ParameterCase {
  const char* why;
  const platform::WChar* commandText;
  bool adminKeys;
  std::vector<WString> args;
  const platform::WChar* expected;
  std::size_t budget = kCommandLineLimitUnits;
  std::size_t partsLeftOut = 0;
};

TEST(CommandTextTest, BuildsTheClientParameterString) {
  const ParameterCase cases[] = {
      {"marker then each argument behind one blank",
       WIDE("a b"),
       true,
       {WIDE("x"), WIDE("y")},
       WIDE("a b IsAdmin x y")},
      {"no marker without both keys", WIDE("a"), false, {WIDE("x")}, WIDE("a x")},
      {"empty text still gets the marker", WIDE(""), true, {}, WIDE(" IsAdmin")},
      {"arguments are neither quoted nor trimmed",
       WIDE("u"),
       false,
       {WIDE("two words"), WIDE("")},
       WIDE("u two words ")},
      {"URL part is the base",
       WIDE("\"quorvane://live/42\""),
       false,
       {WIDE("-z")},
       WIDE("live/42\" -z")},
      // The system cut the command line wherever its limit fell: a cut URL opens the wrong
      // thing, a cut argument means another value. Parts are kept whole or left out.
      {"exactly the budget passes whole", WIDE("abc"), false, {WIDE("de")}, WIDE("abc de"), 6},
      {"one unit over leaves the last argument out, not cut",
       WIDE("abc"),
       false,
       {WIDE("de")},
       WIDE("abc"),
       5,
       1},
      {"a base that cannot fit is left out whole; marker and arguments follow",
       WIDE("quorvane://0123456789abc"),
       true,
       {WIDE("x")},
       WIDE(" IsAdmin x"),
       12,
       1},
      {"arguments stop at the first that does not fit, though a later one would",
       WIDE(""),
       false,
       {WIDE("a"), WIDE("bbbbbb"), WIDE("c")},
       WIDE(" a"),
       5,
       2},
      {"a marker that does not fit is left out; arguments are still tried",
       WIDE("abcd"),
       true,
       {WIDE("x")},
       WIDE("abcd x"),
       6,
       1},
      {"nothing fits", WIDE("abc"), true, {WIDE("x")}, WIDE(""), 0, 3},
  };
  for (const ParameterCase& c : cases) {
    SCOPED_TRACE(c.why);
    const ParameterString built =
        BuildParameterString(ParseCommandText(c.commandText), c.adminKeys, c.args, c.budget);
    EXPECT_TRUE(built.text == WString(c.expected));
    EXPECT_EQ(built.partsLeftOut, c.partsLeftOut);
    EXPECT_EQ(built.wantedUnits == built.text.size(), c.partsLeftOut == 0);
  }
}

TEST(CommandTextTest, TheBudgetLeavesRoomForTheQuotedClientPath) {
  struct Case {
    const char* why;
    const platform::WChar* installFolder;
    std::size_t budget;
  } const cases[] = {
      // 32767 less the terminator, two quotation marks, the blank and "C:\app\Veltmora.exe"
      {"folder without a trailing separator", WIDE("C:\\app"), 32767 - 4 - 19},
      {"drive root keeps its one separator", WIDE("C:\\"), 32767 - 4 - 15},
      {"unknown folder counts as the longest path", WIDE(""), 32767 - 4 - 259},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(ParameterBudget(c.installFolder), c.budget);
  }
  EXPECT_EQ(ParameterBudget(WString(32767, WIDE('d'))), 0u);
}

TEST(LaunchPathsTest, PathsUpToTheBufferAreFormattedLongerOnesRefused) {
  const WString suffix = WIDE("//ProductConfig.xml");
  const WString fits(kPathBufferUnits - 1 - suffix.size(), WIDE('d'));
  ASSERT_TRUE(ConfigurationPath(fits).has_value());
  EXPECT_EQ(ConfigurationPath(fits)->size(), kPathBufferUnits - 1);
  EXPECT_TRUE(*ConfigurationPath(WIDE("C:\\")) == WString(WIDE("C:\\//ProductConfig.xml")));
  // One unit more would need 261 units with the terminator: never a cut path.
  EXPECT_FALSE(ConfigurationPath(fits + WIDE('d')).has_value());

  EXPECT_TRUE(*IconPath(WIDE("C:\\app"), WIDE("Veltmora")) ==
              WString(WIDE("C:\\app//Veltmora.ico")));
  const WString iconFits(kPathBufferUnits - 1 - 2 - 8 - 4, WIDE('d'));
  EXPECT_TRUE(IconPath(iconFits, WIDE("Veltmora")).has_value());
  EXPECT_FALSE(IconPath(iconFits + WIDE('d'), WIDE("Veltmora")).has_value());
}

// The client's command line: its quoted path, then its parameters; never cut.
TEST(LaunchPathsTest, TheClientCommandLineIsWholeOrRefused) {
  struct Case {
    const char* why;
    const platform::WChar* parameters;
    std::size_t bufferUnits;
    const platform::WChar* expected;  // null: refused, the buffer left empty
  } const cases[] = {
      {"quoted path, blank, parameters", WIDE("a b"), 64, WIDE("\"C:\\app\\V.exe\" a b")},
      // the blank alone would make an empty argument no client ever got
      {"no parameters, no blank", WIDE(""), 64, WIDE("\"C:\\app\\V.exe\"")},
      // "C:\app\V.exe" is 12 units: quotes, blank, "a b" and the terminator make 19
      {"exactly the buffer", WIDE("a b"), 19, WIDE("\"C:\\app\\V.exe\" a b")},
      {"one unit short: refused, never cut", WIDE("a b"), 18, nullptr},
      {"no buffer at all", WIDE(""), 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<platform::WChar> buffer(c.bufferUnits + 1, WIDE('#'));
    EXPECT_EQ(
        FormatClientCommandLine(WIDE("C:\\app\\V.exe"), c.parameters, buffer.data(), c.bufferUnits),
        c.expected != nullptr);
    if (c.bufferUnits > 0) {
      EXPECT_TRUE(WString(buffer.data()) == WString(c.expected != nullptr ? c.expected : WIDE("")));
    }
    EXPECT_EQ(buffer[c.bufferUnits], WIDE('#')) << "written past the buffer";
  }
}

TEST(LaunchPathsTest, TheClientIsNamedWholeInItsFolderOrNotAtAll) {
  struct Case {
    const char* why;
    WString folder;
    std::size_t bufferUnits;
    const platform::WChar* expected;  // null: refused, the buffer left empty
  } const cases[] = {
      {"folder and one separator", WIDE("C:\\app"), 64, WIDE("C:\\app\\Veltmora.exe")},
      {"a drive root keeps its one separator", WIDE("C:\\"), 64, WIDE("C:\\Veltmora.exe")},
      // "C:\app\Veltmora.exe" is 19 units and its terminator
      {"exactly the buffer", WIDE("C:\\app"), 20, WIDE("C:\\app\\Veltmora.exe")},
      {"one unit short: refused, never cut", WIDE("C:\\app"), 19, nullptr},
      // a bare name would be searched for, and the search finds other programs
      {"an unknown folder names no client", WIDE(""), 64, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<platform::WChar> buffer(c.bufferUnits, WIDE('#'));
    EXPECT_EQ(FormatClientPath(c.folder, buffer.data(), buffer.size()), c.expected != nullptr);
    EXPECT_TRUE(WString(buffer.data()) == WString(c.expected != nullptr ? c.expected : WIDE("")));
  }
}

}  // namespace
}  // namespace launcher
