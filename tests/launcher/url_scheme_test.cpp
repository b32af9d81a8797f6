// The "quorvane://" registration written to the real registry of the test's Wine prefix.
#include "launcher/url_scheme.h"

#include "launcher/launch_paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/resources.h"

#include "tests/e2e/support/launch_harness.h"

namespace {

using platform::win32::UniqueRegKey;

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

std::optional<RegValue> ReadValue(const wchar_t* path, const wchar_t* name) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  RegValue value;
  DWORD size = 0;
  RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size);
  value.data.resize(size);
  const LSTATUS status =
      RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return value;
}

std::optional<RegValue> ReadCommand() { return ReadValue(L"quorvane\\shell\\open\\command", L""); }

// Browsers hand a link to the handler only when the scheme key has it: an empty REG_SZ.
void ExpectUrlProtocol() {
  const std::optional<RegValue> value = ReadValue(L"quorvane", L"URL Protocol");
  ASSERT_TRUE(value.has_value()) << "no URL Protocol value";
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(value->data, std::vector<BYTE>(2, 0));
}

std::wstring CommandText(const RegValue& value) {
  return std::wstring(reinterpret_cast<const wchar_t*>(value.data.data()));
}

DWORD ValueCount(const wchar_t* path) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS) {
    return 99;
  }
  DWORD values = 0;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                   nullptr, nullptr, nullptr, nullptr);
  return values;
}

void SetCommand(const std::wstring& text) {
  UniqueRegKey key;
  RegCreateKeyExW(HKEY_CLASSES_ROOT, L"quorvane\\shell\\open\\command", 0, nullptr, 0,
                  KEY_SET_VALUE, nullptr, key.receive(), nullptr);
  RegSetValueExW(key.get(), L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class UrlSchemeTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CLASSES_ROOT, L"quorvane"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CLASSES_ROOT, L"quorvane"); }
};

TEST_F(UrlSchemeTest, CommandQuotesThePathAndThePlaceholder) {
  EXPECT_EQ(launcher::SchemeOpenCommand(L"D:\\apps\\x\\launcher.exe").value_or(L"<none>"),
            L"\"D:\\apps\\x\\launcher.exe\" \"%1\"");
  // 252 + 7 characters and the terminator fill the 260-unit buffer exactly.
  EXPECT_TRUE(launcher::SchemeOpenCommand(std::wstring(252, L'p')).has_value());
  EXPECT_FALSE(launcher::SchemeOpenCommand(std::wstring(253, L'p')).has_value());
}

TEST_F(UrlSchemeTest, WritesTheWholeZeroFilledBufferAndTheUrlProtocolValueOnly) {
  {
    UniqueRegKey scheme;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"quorvane", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, scheme.receive(), nullptr),
              ERROR_SUCCESS);
  }

  WriteRegFun();

  const std::optional<RegValue> value = ReadCommand();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  ASSERT_EQ(value->data.size(), 520u);
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  const std::wstring expected = L"\"" + std::wstring(module) + L"\" \"%1\"";
  EXPECT_EQ(CommandText(*value), expected);
  const auto* units = reinterpret_cast<const wchar_t*>(value->data.data());
  for (std::size_t i = expected.size(); i < 260; ++i) ASSERT_EQ(units[i], L'\0') << i;

  ExpectUrlProtocol();
  EXPECT_EQ(ValueCount(L"quorvane"), 1u);
  EXPECT_EQ(ValueCount(L"quorvane\\shell"), 0u);
  EXPECT_EQ(ValueCount(L"quorvane\\shell\\open"), 0u);
  EXPECT_EQ(ValueCount(L"quorvane\\shell\\open\\command"), 1u);
}

TEST_F(UrlSchemeTest, EveryLaunchPointsTheSchemeAtTheLauncherWhereItNowIs) {
  SetCommand(L"\"C:\\old\\launcher.exe\" \"%1\"");
  // Each launch from another folder; the last one Chinese, as in the product's main market:
  // the value is written wide, whatever the ANSI code page.
  for (const wchar_t* folder : {L"", L"", L"\u5b89\u88c5\u76ee\u5f55"}) {
    SCOPED_TRACE(e2e::ToUtf8(folder));
    e2e::InstallFolder install(true, folder);
    ASSERT_EQ(install.Launch(L"forcerun:").exitCode, 0u);
    const std::optional<RegValue> value = ReadCommand();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(CommandText(*value), L"\"" + install.launcher() + L"\" \"%1\"");
    ExpectUrlProtocol();
  }
}

TEST_F(UrlSchemeTest, AModulePathTooLongForTheCommandLeavesTheValueAlone) {
  const std::wstring previous = L"\"C:\\old\\launcher.exe\" \"%1\"";
  SetCommand(previous);
  e2e::InstallFolder probe;
  // launcher.exe path of 255 units: a valid module path, but 262 units as a command.
  const std::size_t folderUnits = 255 - 13;
  std::wstring sub;
  while (probe.path().size() + 1 + sub.size() < folderUnits) {
    if (!sub.empty()) sub += L"\\";
    sub += std::wstring(
        std::min<std::size_t>(40, folderUnits - probe.path().size() - 1 - sub.size()), L'd');
  }
  e2e::InstallFolder install(true, sub);
  ASSERT_EQ(install.launcher().size(), 255u);
  EXPECT_EQ(install.Launch(L"forcerun:").exitCode, 0u);
  // The launch went on: the client was started all the same.
  EXPECT_TRUE(install.WaitForFile(L"veltmora-params.txt").has_value());
  EXPECT_EQ(CommandText(ReadCommand().value()), previous);
}

}  // namespace
