// The display language read from the real registry of the test's Wine prefix.
#include "launcher/language.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/win32/resources.h"

namespace {

constexpr const wchar_t* kProductKey = L"SOFTWARE\\Veltmora";
constexpr const wchar_t* kLanguageKey = L"SOFTWARE\\Veltmora\\Language";

class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kProductKey); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kProductKey); }

  static void SetValue(const char* name, const std::string& data, DWORD type = REG_SZ) {
    platform::win32::UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kLanguageKey, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, key.receive(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
  }
};

TEST_F(LanguageTest, OnlyTheExactDefaultValueEnUsSelectsEnglish) {
  struct Case {
    const char* why;
    std::optional<std::string> defaultValue;  // with its terminator unless said otherwise
    bool chinese;
  } const cases[] = {
      {"no key at all", std::nullopt, true},
      {"zh-CN", std::string("zh-CN", 6), true},
      {"en-US", std::string("en-US", 6), false},
      {"comparison is case-sensitive", std::string("en-us", 6), true},
      {"upper case", std::string("EN-US", 6), true},
      {"trailing blank", std::string("en-US ", 7), true},
      {"prefix only", std::string("en", 3), true},
      {"other Chinese", std::string("zh-TW", 6), true},
      {"stored without terminator", std::string("en-US"), false},
      {"longer than the 260-byte buffer", std::string("en-US") + std::string(300, ' '), true},
      {"exactly 260 bytes, no terminator", std::string("en-US") + std::string(255, 'x'), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    RegDeleteTreeW(HKEY_CURRENT_USER, kProductKey);
    if (c.defaultValue) SetValue("", *c.defaultValue);
    EXPECT_EQ(IsChineseLanguage(), c.chinese);
  }
}

TEST_F(LanguageTest, ANamedValueIsNotTheDefaultValue) {
  SetValue("Language", std::string("en-US", 6));
  EXPECT_TRUE(IsChineseLanguage());
}

TEST_F(LanguageTest, TheValueTypeIsNotExamined) {
  SetValue("", std::string("en-US", 6), REG_BINARY);
  EXPECT_FALSE(IsChineseLanguage());
}

TEST_F(LanguageTest, TheRegistryIsReadAfreshOnEveryCall) {
  SetValue("", std::string("en-US", 6));
  EXPECT_FALSE(IsChineseLanguage());
  SetValue("", std::string("zh-CN", 6));
  EXPECT_TRUE(IsChineseLanguage());
}

}  // namespace
