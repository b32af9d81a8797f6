#include "platform/text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(TextTest, Utf8RoundTripsEveryPlane) {
  const WString wide = WIDE("a\u00e9\u4e2d\U0001F600z");
  std::string utf8;
  ASSERT_TRUE(Utf16ToUtf8(wide, utf8));
  EXPECT_EQ(utf8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  WString back;
  ASSERT_TRUE(Utf8ToUtf16(utf8, back));
  EXPECT_TRUE(back == wide);
}

TEST(TextTest, InvalidUtf8IsRefusedWhole) {
  const char* const invalid[] = {
      "\xC0\xAF",          // overlong '/': would smuggle a separator past checks
      "\xE4\xB8",          // truncated sequence at the end
      "\xED\xA0\x80",      // encoded surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "a\x80",             // stray continuation byte
      "\xFF",              // never valid
  };
  for (const char* text : invalid) {
    SCOPED_TRACE(text);
    WString out = WIDE("untouched");
    EXPECT_FALSE(Utf8ToUtf16(text, out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(TextTest, LoneSurrogatesAreNotUtf8) {
  const WChar lone[] = {0x61, 0xD800, 0x62, 0};
  const WChar trailing[] = {0x61, 0xD83D, 0};
  std::string out;
  EXPECT_FALSE(Utf16ToUtf8(lone, out));
  EXPECT_FALSE(Utf16ToUtf8(trailing, out));
  EXPECT_TRUE(out.empty());
}

TEST(TextTest, Cp936ConvertsChineseAndRefusesWhatItCannotHold) {
  std::string narrow;
  ASSERT_TRUE(WideToNarrow(WIDE("\u4e2d\u6587 ok"), CodePage::kChinese, narrow));
  EXPECT_EQ(narrow, "\xD6\xD0\xCE\xC4 ok");
  WString back;
  ASSERT_TRUE(NarrowToWide(narrow, CodePage::kChinese, back));
  EXPECT_TRUE(back == WString(WIDE("\u4e2d\u6587 ok")));

  // A Hangul syllable has no place in code page 936: refused, not approximated.
  EXPECT_FALSE(WideToNarrow(WIDE("a\uac00b"), CodePage::kChinese, narrow));
  EXPECT_TRUE(narrow.empty());
  EXPECT_EQ(WideToNarrowLossy(WIDE("a\uac00b"), CodePage::kChinese), "a?b");
}

// Names compare as NTFS's uppercase table has them, on every platform: letters it folds are one
// file, and letters Unicode would fold but the table keeps apart are two.
TEST(TextTest, FoldCaseIsNtfsUppercaseTable) {
  struct Case {
    const char* why;
    WString a, b;
    bool same;
  } const cases[] = {
      {"ASCII", WIDE("Bin\\App.DLL"), WIDE("bin\\app.dll"), true},
      {"Latin-1", WIDE("\u00e9t\u00e9"), WIDE("\u00c9T\u00c9"), true},
      {"y with diaeresis leaves Latin-1", WIDE("\u00ff"), WIDE("\u0178"), true},
      {"Greek", WIDE("\u03b1"), WIDE("\u0391"), true},
      {"Cyrillic", WIDE("\u0430"), WIDE("\u0410"), true},
      {"Latin Extended-A, every other unit", WIDE("\u0101"), WIDE("\u0100"), true},
      {"dz digraph, lower to upper", WIDE("\u01c6"), WIDE("\u01c4"), true},
      {"circled letters", WIDE("\u24d0"), WIDE("\u24b6"), true},
      {"fullwidth letters", WIDE("\uff41"), WIDE("\uff21"), true},
      {"Glagolitic", WIDE("\u2c30"), WIDE("\u2c00"), true},
      // kept apart by the table, though Unicode folds them
      {"micro sign", WIDE("\u00b5"), WIDE("\u039c"), false},
      {"dotless i", WIDE("\u0131"), WIDE("I"), false},
      {"long s", WIDE("\u017f"), WIDE("S"), false},
      {"dz digraph, title case", WIDE("\u01c5"), WIDE("\u01c4"), false},
      {"Georgian Mkhedruli", WIDE("\u10d0"), WIDE("\u1c90"), false},
      {"Cherokee small letter", WIDE("\uab70"), WIDE("\u13a0"), false},
      {"long s with dot above", WIDE("\u1e9b"), WIDE("\u1e60"), false},
      {"sharp s", WIDE("\u00df"), WIDE("\u1e9e"), false},
      // a pair of surrogates is two units, each left as it is
      {"outside the basic plane", WIDE("\U00010428"), WIDE("\U00010400"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(FoldCase(c.a) == FoldCase(c.b), c.same);
  }
}

}  // namespace
}  // namespace platform
