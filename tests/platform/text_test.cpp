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

}  // namespace
}  // namespace platform
